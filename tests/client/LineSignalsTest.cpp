#include "client/LineSignals.h"

#include <gtest/gtest.h>

namespace {

TEST(LineSignals, ModemStatusBitsDecodeToTheirFlags) {
    struct Case {
        std::uint8_t raw;
        bool ctsChanged, dsrChanged, ringEnded, dcdChanged, cts, dsr, ring, dcd;
    };
    const Case cases[] = {
        {0x00, false, false, false, false, false, false, false, false},
        {0x01, true, false, false, false, false, false, false, false},
        {0x02, false, true, false, false, false, false, false, false},
        {0x04, false, false, true, false, false, false, false, false},
        {0x08, false, false, false, true, false, false, false, false},
        {0x10, false, false, false, false, true, false, false, false},
        {0x20, false, false, false, false, false, true, false, false},
        {0x40, false, false, false, false, false, false, true, false},
        {0x80, false, false, false, false, false, false, false, true},
        {0xB1, true, false, false, false, true, true, false, true},
    };
    for (const Case& c : cases) {
        const quelta::ModemStatus s = quelta::ModemStatus::Decode(c.raw);
        SCOPED_TRACE(static_cast<int>(c.raw));
        EXPECT_EQ(s.raw, c.raw);
        EXPECT_EQ(s.ctsChanged, c.ctsChanged);
        EXPECT_EQ(s.dsrChanged, c.dsrChanged);
        EXPECT_EQ(s.ringEnded, c.ringEnded);
        EXPECT_EQ(s.dcdChanged, c.dcdChanged);
        EXPECT_EQ(s.cts, c.cts);
        EXPECT_EQ(s.dsr, c.dsr);
        EXPECT_EQ(s.ring, c.ring);
        EXPECT_EQ(s.dcd, c.dcd);
    }
}

TEST(LineSignals, LineStatusBitsDecodeToTheirFlags) {
    struct Case {
        std::uint8_t raw;
        bool dataReady, overrun, parity, framing, brk, holdingEmpty, transmitterEmpty, fifoError;
    };
    const Case cases[] = {
        {0x01, true, false, false, false, false, false, false, false},
        {0x02, false, true, false, false, false, false, false, false},
        {0x04, false, false, true, false, false, false, false, false},
        {0x08, false, false, false, true, false, false, false, false},
        {0x10, false, false, false, false, true, false, false, false},
        {0x20, false, false, false, false, false, true, false, false},
        {0x40, false, false, false, false, false, false, true, false},
        {0x80, false, false, false, false, false, false, false, true},
        {0x61, true, false, false, false, false, true, true, false},
    };
    for (const Case& c : cases) {
        const quelta::LineStatus s = quelta::LineStatus::Decode(c.raw);
        SCOPED_TRACE(static_cast<int>(c.raw));
        EXPECT_EQ(s.dataReady, c.dataReady);
        EXPECT_EQ(s.overrun, c.overrun);
        EXPECT_EQ(s.parityError, c.parity);
        EXPECT_EQ(s.framingError, c.framing);
        EXPECT_EQ(s.breakReceived, c.brk);
        EXPECT_EQ(s.holdingEmpty, c.holdingEmpty);
        EXPECT_EQ(s.transmitterEmpty, c.transmitterEmpty);
        EXPECT_EQ(s.fifoError, c.fifoError);
    }
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
