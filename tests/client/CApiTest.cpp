// The C API over the driver's request path: each operation's outputs, and error codes with
// messages instead of exceptions.
#include "client/quelta_client.h"

#include <unistd.h>

#include <set>
#include <tuple>

#include "port/PortReport.h"
#include "tests/client/LiveServer.h"

namespace {

using namespace clienttest;
using CApi = LiveServer;

TEST_F(CApi, RoundTripErrorCodesAndMessages) {
    DeviceNameTable[0].portIndex = 1;  // the driver, not the name, tells the port
    quelta_device* port = nullptr;
    ASSERT_EQ(quelta_open("Serial0", QUELTA_OPEN_RESET, 0, &port), QUELTA_OK);
    EXPECT_EQ(quelta_port_index(port), 1);
    quelta_line_config config;
    quelta_default_line_config(&config);
    config.data_bits = 7;
    config.flow_control = QUELTA_FLOW_AUTO_RTS | QUELTA_FLOW_AUTO_CTS;  // raises DTR and RTS
    EXPECT_EQ(quelta_configure(port, &config), QUELTA_OK);
    EXPECT_EQ(quelta::LineSettings::FromWire(PortTable[1]->config),
              (quelta::LineSettings{.dataBits = 7, .flowControl = FlowControl::RtsCts}));
    quelta_port_settings inForce{};
    EXPECT_EQ(quelta_get_settings(port, &inForce), QUELTA_OK);
    EXPECT_EQ(std::make_tuple(inForce.opened, inForce.config.data_bits, inForce.config.flow_control,
                              inForce.divisor, inForce.actual_baud),
              std::make_tuple(1, 7, 3, PortReports[1].divisor, 9600u));
    // An exclusive open is refused while another handle has the device open.
    quelta_device* taker = nullptr;
    EXPECT_EQ(quelta_open_exclusive("Serial0", QUELTA_OPEN_ATTACH, 0, &taker),
              QUELTA_ERR_DEVICE_BUSY);
    EXPECT_EQ(quelta_last_error_message(),
              "Serial0: busy: held by PID " + std::to_string(getpid()));
    EXPECT_EQ(quelta_set_dtr(port, 0) | quelta_set_break(port, 1), QUELTA_OK);
    EXPECT_EQ((regs_.Latch(MCR, 1) & Mcr::SignalMask) | (regs_.Latch(LCR, 1) & Lcr::Break), 0x42);
    std::size_t count = 0;
    EXPECT_EQ(quelta_write(port, "abc", 3, &count), QUELTA_OK);
    Arrive(1, Sent(1).substr(1));
    char buffer[4] = {};
    EXPECT_EQ(quelta_read_exact(port, buffer, 3, 50, &count), QUELTA_ERR_TIMED_OUT);
    EXPECT_EQ(buffer + std::to_string(count), "bc2");
    EXPECT_EQ(quelta_write_all(port, "def", 3, 50, &count), QUELTA_OK);
    Arrive(1, Sent(1).substr(3));
    std::uint32_t waiting = 0;
    EXPECT_EQ(quelta_get_rx_count(port, &waiting), QUELTA_OK);
    EXPECT_EQ(quelta_read(port, buffer, 1, &count), QUELTA_OK);
    EXPECT_EQ(quelta_read_some(port, buffer + 1, 3, 50, &count), QUELTA_OK);
    EXPECT_EQ(std::string(buffer, 3) + std::to_string(waiting) + std::to_string(count), "def32");
    quelta_events idle{};
    EXPECT_EQ(quelta_set_receive_trigger(port, 8) | quelta_get_settings(port, &inForce) |
                  quelta_wait_events(port, QUELTA_EVENT_LINE_ERROR, 1, &idle),
              QUELTA_OK);
    EXPECT_EQ(inForce.receive_trigger + idle.happened + quelta_has_events(port), 9u);
    quelta_transmit_state sending{};
    EXPECT_EQ(quelta_get_transmit_state(port, &sending), QUELTA_OK);
    EXPECT_EQ(sending.queued + sending.transmitter_empty, 7u) << "six bytes in the ring, idle";
    EXPECT_STREQ(quelta_device_name(port), FullName(0).c_str());
    // Every value of each status register comes back with each flag taken from its own bit.
    const auto bits = [](std::initializer_list<int> flags) {
        unsigned mask = 0;
        unsigned bit = 0;
        for (const int flag : flags) mask |= (flag != 0 ? 1U : 0U) << bit++;
        return mask;
    };
    for (unsigned raw = 0; raw < 256; ++raw) {
        const auto value = static_cast<std::uint8_t>(raw);
        for (const RegOffset reg : {MSR, LSR, MCR}) regs_.Set(reg, value, 1);
        PortTable[1]->lineErrors = value;
        auto [m, l, c, e] = std::tuple<quelta_modem_status, quelta_line_status,
                                       quelta_modem_control, quelta_line_errors>{};
        ASSERT_EQ(quelta_get_modem_status(port, &m) | quelta_get_line_status(port, &l) |
                      quelta_get_modem_control(port, &c) | quelta_get_line_errors(port, &e),
                  QUELTA_OK);
        EXPECT_EQ(bits({m.cts_changed, m.dsr_changed, m.ring_ended, m.dcd_changed, m.cts, m.dsr,
                        m.ring, m.dcd}),
                  raw);
        EXPECT_EQ(bits({l.data_ready, l.overrun, l.parity_error, l.framing_error, l.break_received,
                        l.holding_empty, l.transmitter_empty, l.fifo_error}),
                  raw);
        EXPECT_EQ(bits({0, e.overrun, e.parity_error, e.framing_error, e.break_received, 0, 0,
                        e.fifo_error}),
                  raw & 0x9E);
        EXPECT_EQ(bits({c.dtr, c.rts}), raw & 0x03);
        EXPECT_TRUE(m.raw == raw && l.raw == raw && e.raw == raw && c.raw == (raw & 0x03)) << raw;
    }
    EXPECT_STREQ(quelta_last_error_message(), "");
    // Errors come as codes, with the reason of the last failed call on this thread.
    quelta_device* none = port;  // every failed open must clear it
    const auto open = [&none](const char* name, int mode, std::uint32_t timeout = 0) {
        return quelta_open(name, static_cast<quelta_open_mode>(mode), timeout, &none);
    };
    const quelta_line_config slow{10, 8, 'n', 1, 0, 0x11, 0x13, 0, 0};
    quelta_modem_status changed{};
    // clang-format off
    std::tuple<testsupport::DispatchScript, std::function<int()>, int, const char*> cases[] = {
        {{}, [&] { return open("Serial7", 0); }, QUELTA_ERR_NO_SUCH_DEVICE, "Serial7"},
        {{}, [&] { return open("a/b", 0); }, QUELTA_ERR_INVALID_ARGUMENT, "'/'"},
        {{}, [&] { return open("Serial0", 3); }, QUELTA_ERR_INVALID_ARGUMENT, "open mode"},
        {{}, [&] { return open("Serial1", 1); }, QUELTA_ERR_NOT_OPENED, "no client has opened"},
        {{}, [&] { return quelta_configure_now(port, &slow); }, QUELTA_ERR_CONFIG_REFUSED,
         "10 baud"},
        {{}, [&] { return quelta_drain(port, 10); }, QUELTA_ERR_TIMED_OUT, "did not drain"},
        {{}, [&] { return quelta_set_receive_trigger(port, 57); }, QUELTA_ERR_CONFIG_REFUSED,
         "trigger 57"},
        {{}, [&] { return quelta_wait_modem_change(port, QUELTA_MODEM_CTS, 1, &changed); },
         QUELTA_ERR_TIMED_OUT, "no modem line"},
        {{}, [&] { return quelta_cancel_wait(port) | quelta_read_exact(port, buffer, 3, 10000,
                                                                        &count); },
         QUELTA_ERR_CANCELLED, "cancelled"},
        {{}, [&] { return quelta_set_dtr(nullptr, 1); }, QUELTA_ERR_INVALID_ARGUMENT, "null"},
        {{}, [&] { return quelta_read(port, nullptr, 1, &count); }, QUELTA_ERR_INVALID_ARGUMENT,
         "null buffer"},
        {{}, [&] { return quelta_get_rx_count(port, nullptr); }, QUELTA_ERR_INVALID_ARGUMENT,
         "null device or output"},
        {Forced(87), [&] { return quelta_close_port(port); }, QUELTA_ERR_INVALID_PORT, "87"},
        {Forced(120), [&] { return quelta_set_rts(port, 1); }, QUELTA_ERR_NOT_IMPLEMENTED, "120"},
        {Forced(5), [&] { return quelta_set_break(port, 1); }, QUELTA_ERR_PROTOCOL, "status 5"},
        {Forced({}, {}, true), [&] { return open("Serial0", 0, 100); }, QUELTA_ERR_NOT_ANSWERING,
         "not answer"},
    };
    // clang-format on
    for (const auto& [reply, call, code, message] : cases) {
        testsupport::Script(reply);
        EXPECT_EQ(call(), code) << message;
        EXPECT_NE(std::string(quelta_last_error_message()).find(message), std::string::npos)
            << quelta_last_error_message();
    }
    EXPECT_EQ(none, nullptr);
    std::set<std::string> texts;
    for (int c = QUELTA_ERR_CANCELLED; c <= QUELTA_OK; ++c) texts.insert(quelta_error_string(c));
    EXPECT_EQ(texts.size(), 14U) << "codes share a text";
    EXPECT_STREQ(quelta_error_string(-99), "unknown error");
    quelta_close(port);
}

}  // namespace
