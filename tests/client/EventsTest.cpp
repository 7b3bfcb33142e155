// The library's waits on a device's events, over the driver's request path and event objects:
// what wakes each, several waiters at once, time-outs and cancels, and the waiter slots as
// clients share them.
#include <unistd.h>

#include <deque>
#include <future>

#include "port/PortOps.h"
#include "tests/client/LiveServer.h"
#include "tests/support/Eventually.h"

namespace {

using namespace clienttest;
using Events = LiveServer;
using testsupport::Eventually;

// Long enough that a wait that is not woken fails the test rather than passing by its time-out.
constexpr auto Never = 20s;

std::uint32_t ArmedSlots(std::uint8_t port) {
    std::uint32_t armed = 0;
    for (EventSlot& slot : EventObjects[port].block->slots) armed += EventWord(slot.armed).load();
    return armed;
}

// Each waiting call sleeps until what it waits for is signalled: received bytes, room in the
// ring (here made by a flush), a change of the asked-for modem line (reported by a status request
// that consumed it as well as by the interrupt service), or a cancel, which ends the wait in
// progress or else the next one. A wait that nothing ends returns at its time-out. The interrupt
// service's own events, the emptied ring and line errors among them:
// EndToEnd.EventsWakeWaitersAndOutliveARestart.
TEST_F(Events, EachKindWakesItsWaiter) {
    quelta::Device port("Serial0");  // its waits in one thread, its requests in another
    std::vector<std::uint8_t> buffer(8);
    const std::tuple<const char*, std::function<std::string()>, std::function<void()>, std::string>
        cases[] = {
            {"read", [&] { return std::to_string(port.ReadSome(buffer, Never)); },
             [] { Arrive(0, "xy"); }, "2"},
            {"write",
             [&] {
                 return port.WriteAll(std::string(RingSize + 10, 'w'), Never),
                        std::to_string(PortTable[0]->txCount.load());
             },
             [] { FlushPort(0, false, true); },  // as a flush by another client: room at once
             "10"},
            {"modem line",
             [&] {
                 return quelta::FlagList(port.WaitModemChange(quelta::ModemLine::Cts, Never)->raw,
                                         quelta::ModemStatusFlags());
             },
             [&] {
                 regs_.Set(MSR, Msr::Dsr | Msr::DeltaDsr);  // not asked for
                 port.GetModemStatus();
                 regs_.Set(MSR, Msr::Cts | Msr::Dsr | Msr::DeltaCts);
                 port.GetModemStatus();
             },
             "cts, dsr, cts-changed, dsr-changed"},
            {"cancel",
             [&] {
                 Arrive(0, "z");
                 const quelta::Error error = Thrown([&] { port.ReadExact(buffer, Never); });
                 return quelta::ErrorCodeName(error.Code()) + std::to_string(error.Transferred());
             },
             [&] { port.CancelWait(); }, "cancelled1"},
        };
    for (const auto& [name, wait, signal, outcome] : cases) {
        auto waiting = std::async(std::launch::async, wait);
        ASSERT_TRUE(Eventually([] { return ArmedSlots(0) == 1; })) << name;
        signal();
        EXPECT_EQ(waiting.get(), outcome) << name;
    }
    port.CancelWait();
    EXPECT_EQ(port.WaitEvents(PortEvent::Received, Never).happened, PortEvent::Cancelled);
    EXPECT_EQ(port.WaitEvents(PortEvent::Received, 20ms).happened, 0u) << "a cancel ends one";
    EXPECT_EQ(port.ReadSome(buffer, 20ms), 0u);
}

// Every waiter of a port hears of an event, each in its own slot. A client takes a free slot or
// that of an owner that has ended; with every slot held by living clients it polls, and
// WaitEvents, which needs a slot, is refused.
TEST_F(Events, WaitersShareTheSlotsOfAPort) {
    std::deque<quelta::Device> handles;
    std::vector<std::future<std::uint32_t>> waits;
    for (int i = 0; i < 3; ++i) {
        handles.emplace_back("Serial0",
                             quelta::OpenOptions{.mode = quelta::OpenMode::AttachOrReset});
        waits.push_back(std::async(std::launch::async, [&port = handles.back()] {
            return port.WaitEvents(PortEvent::Received, Never).happened;
        }));
    }
    ASSERT_TRUE(Eventually([] { return ArmedSlots(0) == 3; }));
    Arrive(0, "a");
    for (auto& wait : waits) EXPECT_EQ(wait.get(), PortEvent::Received);
    EventSlot(&slots)[EventWaiterSlots] = EventObjects[0].block->slots;
    for (EventSlot& slot : slots) slot.owner = static_cast<std::uint32_t>(getppid());
    quelta::Device late("Serial0", {.mode = quelta::OpenMode::Attach});
    EXPECT_EQ(Thrown([&] { late.WaitEvents(PortEvent::Received, 1ms); }).Code(),
              ErrorCode::DeviceBusy);
    std::vector<std::uint8_t> buffer(1);
    auto polled = std::async(std::launch::async, [&] { return late.ReadSome(buffer, Never); });
    Arrive(0, "p");
    EXPECT_EQ(polled.get(), 1u);
    slots[5].owner = 0x3FFFFFFF;  // above every process ID: an owner that has ended
    EXPECT_EQ(late.WaitEvents(PortEvent::Received, 1ms).happened, 0u);
    EXPECT_EQ(slots[5].owner, static_cast<std::uint32_t>(getpid()));
}

}  // namespace
