// The client library and the tool against the driver's own request path: real device channels
// whose handler is DispatchRequest (scriptable), over ports whose registers live on the scripted
// register fake. Serial0 and Serial1 reach ports 0 and 1 (Serial1 with a small data area, so that
// transfers take several requests), Serial5 is named for a port the board does not have, and the
// driver has no name record at all for Serial9.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/Device.h"
#include "hw/BoardClock.h"
#include "port/PortEvents.h"
#include "server/DeviceNames.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestPorts.h"

namespace clienttest {

using namespace std::literals;
using quelta::ErrorCode;

inline std::string FullName(int n) { return DeviceNamePrefix + "Serial"s + std::to_string(n); }

// The error an action throws; SystemError "none" (never expected) when it throws none.
inline quelta::Error Thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const quelta::Error& error) {
        return error;
    }
    return quelta::Error(ErrorCode::SystemError, "none");
}

// What the receive service puts into the ring, in an interrupt section as it does, and what it
// tells the waiters after.
inline void Arrive(std::uint8_t port, std::string_view bytes) {
    const InterruptState state = DisableInterrupts();
    PortRecord& rx = *PortTable[port];
    for (const char byte : bytes) {
        rx.rxRing[rx.rxHead] = static_cast<std::uint8_t>(byte);
        rx.rxHead = (rx.rxHead + 1) % RingSize;
        ++rx.rxCount;
    }
    RestoreInterrupts(state);
    RaisePortEvents(port, PortEvent::Received);
}

// What the port has been handed to send since it was opened (the transmit ring from its start).
inline std::string Sent(std::uint8_t port) {
    return {PortTable[port]->txRing, PortTable[port]->txRing + PortTable[port]->txCount.load()};
}

// Dispatch scripts (testsupport::Script): a forced status or result count, or every request
// held.
using Count = std::optional<std::uint32_t>;
inline testsupport::DispatchScript Forced(Count status, Count resultCount = {}, bool hold = false) {
    return {status, resultCount, hold, {}};
}

// A null-modem wire with the interrupt service at both ends, as far as `to` has room: a thread
// moves what `from` has to send over to `to` (at most `perTurn` bytes each `turn`, each byte
// XORed with `flip`) and raises the events the interrupt service would: room only once the
// transmit ring is at most half full.
class Wire {
public:
    explicit Wire(std::uint8_t from, std::uint8_t to, std::uint8_t flip = 0,
                  std::uint32_t perTurn = RingSize, std::chrono::milliseconds turn = 1ms)
        : thread_([=](const std::stop_token& stop) {
              for (; !stop.stop_requested(); std::this_thread::sleep_for(turn)) {
                  std::string moved;
                  const InterruptState state = DisableInterrupts();
                  PortRecord& tx = *PortTable[from];
                  while (moved.size() < perTurn && tx.txCount.load() > 0 &&
                         PortTable[to]->rxCount.load() + moved.size() < RingSize) {
                      moved += static_cast<char>(tx.txRing[tx.txTail] ^ flip);
                      tx.txTail = (tx.txTail + 1) % RingSize;
                      --tx.txCount;
                  }
                  const std::uint32_t left = tx.txCount.load();
                  RestoreInterrupts(state);
                  if (moved.empty()) continue;
                  Arrive(to, moved);
                  RaisePortEvents(from, (left <= TransmitRoomLevel ? PortEvent::TransmitRoom : 0) |
                                            (left == 0 ? PortEvent::TransmitRingEmpty : 0));
              }
          }) {}

private:
    std::jthread thread_;
};

class LiveServer : public testing::Test {
protected:
    void SetUp() override {
        boardClockHz = 14'745'600;
        for (const int serial : {0, 1, 5, 9}) {
            const auto port = static_cast<std::uint8_t>(serial);
            if (serial != 9) {
                FullName(serial).copy(DeviceNameTable[port].deviceName, DeviceNameSize - 1);
                DeviceNameTable[port].portIndex = port;
            }
            regs_.Set(LSR, 0x60, port);  // the transmitter idle
            channels_.push_back(std::make_unique<testsupport::TestChannel>(
                FullName(serial), testsupport::ScriptedDispatch,
                serial == 1 ? 1000 : DefaultDataAreaSize));
            ASSERT_NE(channels_.back()->Get(), nullptr) << serial;
            if (serial < 2) {
                ports_.Add(port, regs_.Window(port));
                ASSERT_TRUE(CreatePortEvents(port, FullName(serial).c_str())) << serial;
            }
        }
    }

    void TearDown() override {
        for (const int port : {0, 1})
            testsupport::DestroyPortEvents(static_cast<std::uint8_t>(port));
        channels_.clear();
        std::memset(DeviceNameTable, 0, sizeof DeviceNameTable);
    }

    fake::ScriptedRegisters regs_;
    fake::TestPorts ports_;
    std::vector<std::unique_ptr<testsupport::TestChannel>> channels_;
};

}  // namespace clienttest
