// A client process drives a port end to end: its requests cross the real POSIX objects to a
// service thread of this process, which dispatches them onto a port of the scripted register fake.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hw/BoardClock.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"
#include "tests/server/support/ChannelUnderTest.h"
#include "tests/server/support/PeerProcess.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

namespace {

TEST(ClientProcess, DrivesAPortThroughTheDispatch) {
    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
    for (std::uint8_t i = 0; i < 4; ++i) {
        ports.Add(i, regs.Window(i));
        std::snprintf(DeviceNameTable[i].deviceName, DeviceNameSize, "\\RtDevice\\Quelta\\Serial%d",
                      10 + i);
        DeviceNameTable[i].portIndex = i;
    }
    boardClockHz = 14'745'600;
    regs.Set(MCR, 0x08, 2);
    {
        const std::string name = "\\RtDevice\\Quelta\\Serial12";
        servertest::ChannelUnderTest channel(name, DispatchRequest);
        ASSERT_NE(channel.Get(), nullptr);

        servertest::PeerProcess first({"requests", name, "1", "9", "7", "13", "17", "18"});
        EXPECT_EQ(first.ReadLine(), "0 0 2 0 0 0 0") << "SerialOpen: port 2, resultCount alone";
        EXPECT_EQ(first.ReadLine(), "0 0 2 0 0 0 0") << "SerialSetDtr";
        EXPECT_EQ(first.ReadLine(), "0 0 2 0 0 0 0") << "SerialSetRts";
        EXPECT_EQ(first.ReadLine(), "0 1 2 3 0 0 0") << "SerialGetModemControl: DTR and RTS";
        EXPECT_EQ(first.ReadLine(), "0 4 2 0 0 0 0") << "SerialGetRxCount of an empty ring";
        EXPECT_EQ(first.ReadLine(), "120 4 2 0 0 0 0") << "code 18 answers 120, touches nothing";
        first.Wait();

        // Bytes arrive while no client is there; the next client finds the port still open.
        PortRecord& port = *PortTable[2];
        port.rxCount = 300;
        port.rxHead = 300;
        servertest::PeerProcess second({"requests", name, "17"});
        EXPECT_EQ(second.ReadLine(), "0 4 2 44 1 0 0");
    }
    std::memset(DeviceNameTable, 0, sizeof DeviceNameTable);
    boardClockHz = 0;
}

}  // namespace
