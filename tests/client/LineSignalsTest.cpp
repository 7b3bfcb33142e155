#include "client/LineSignals.h"

#include <gtest/gtest.h>

namespace {

TEST(LineSignals, StatusBytesDecodeToTheirFlags) {
    // CTS, DSR and DCD up, CTS changed since the last read.
    const quelta::ModemStatus modem = quelta::ModemStatus::Decode(0xB1);
    EXPECT_EQ(modem.raw, 0xB1);
    EXPECT_TRUE(modem.cts && modem.dsr && modem.dcd && modem.ctsChanged);
    EXPECT_FALSE(modem.ring || modem.dsrChanged || modem.ringEnded || modem.dcdChanged);
    const quelta::ModemStatus ring = quelta::ModemStatus::Decode(0x44);
    EXPECT_TRUE(ring.ring && ring.ringEnded);
    EXPECT_FALSE(ring.cts || ring.dcd);

    // A byte waiting and the transmitter idle; then every error bit.
    const quelta::LineStatus idle = quelta::LineStatus::Decode(0x61);
    EXPECT_TRUE(idle.dataReady && idle.holdingEmpty && idle.transmitterEmpty);
    EXPECT_FALSE(idle.overrun || idle.parityError || idle.framingError || idle.breakReceived ||
                 idle.fifoError);
    const quelta::LineStatus errors = quelta::LineStatus::Decode(0x9E);
    EXPECT_TRUE(errors.overrun && errors.parityError && errors.framingError &&
                errors.breakReceived && errors.fifoError);
    EXPECT_FALSE(errors.dataReady || errors.holdingEmpty || errors.transmitterEmpty);
}

TEST(LineSignals, ModemControlAndLineErrorsDecode) {
    EXPECT_TRUE(quelta::ModemControl::Decode(0x01).dtr);
    EXPECT_FALSE(quelta::ModemControl::Decode(0x01).rts);
    EXPECT_TRUE(quelta::ModemControl::Decode(0x02).rts);
    EXPECT_FALSE(quelta::ModemControl::Decode(0x02).dtr);

    const quelta::LineErrors errors = quelta::LineErrors::Decode(0x9E);
    EXPECT_TRUE(errors.overrun && errors.parityError && errors.framingError &&
                errors.breakReceived && errors.fifoError);
    EXPECT_TRUE(errors.Any());
    EXPECT_FALSE(quelta::LineErrors::Decode(0).Any());
    const quelta::LineErrors parityOnly = quelta::LineErrors::Decode(0x04);
    EXPECT_TRUE(parityOnly.parityError);
    EXPECT_FALSE(parityOnly.overrun || parityOnly.framingError || parityOnly.breakReceived ||
                 parityOnly.fifoError);
}

TEST(LineSignals, FlagListNamesTheSetBits) {
    EXPECT_EQ(quelta::FlagList(0xB0, quelta::ModemStatusFlags()), "cts, dsr, dcd");
    EXPECT_EQ(quelta::FlagList(0x0A, quelta::LineErrorFlags()), "overrun, framing-error");
    EXPECT_EQ(quelta::FlagList(0x00, quelta::LineErrorFlags()), "none");
    EXPECT_EQ(quelta::FlagList(0x03, quelta::ModemControlFlags()), "dtr, rts");
    EXPECT_EQ(quelta::FlagList(0x60, quelta::LineStatusFlags()), "holding-empty, transmitter-empty");
}

TEST(LineSignals, EveryBitHasOneName) {
    for (const auto& table : {quelta::ModemStatusFlags(), quelta::LineStatusFlags()}) {
        unsigned seen = 0;
        for (const quelta::FlagName& flag : table) {
            EXPECT_EQ(seen & flag.bit, 0U) << flag.name;
            seen |= flag.bit;
        }
        EXPECT_EQ(seen, 0xFFU);
    }
}

}  // namespace
