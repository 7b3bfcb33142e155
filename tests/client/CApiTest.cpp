// The C API over the same fake driver: the operations, their outputs, and error codes with
// messages instead of exceptions.
#include "client/quelta_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "tests/client/FakeDriver.h"

namespace {

class CApi : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(quelta_open("Serial0", QUELTA_OPEN_RESET, 0, &device_), QUELTA_OK)
            << quelta_last_error_message();
    }
    void TearDown() override { quelta_close(device_); }

    fake::FakeDriver driver_{1};
    quelta_device* device_ = nullptr;
};

TEST_F(CApi, OpenNamesThePort) {
    EXPECT_STREQ(quelta_device_name(device_), "\\RtDevice\\Quelta\\Serial0");
    EXPECT_EQ(quelta_port_index(device_), 0);
    quelta_device* attached = nullptr;
    ASSERT_EQ(quelta_open("Serial0", QUELTA_OPEN_ATTACH, 500, &attached), QUELTA_OK);
    quelta_close(attached);
    driver_.WithPort(0, [](fake::PortModel& model) { EXPECT_EQ(model.opens, 1); });
}

TEST_F(CApi, WriteAndReadReportCounts) {
    size_t count = 99;
    ASSERT_EQ(quelta_write(device_, "abcdef", 6, &count), QUELTA_OK);
    EXPECT_EQ(count, 6U);
    driver_.WithPort(0, [](fake::PortModel& model) { model.received = {'x', 'y'}; });
    char buffer[8] = {};
    ASSERT_EQ(quelta_read(device_, buffer, sizeof buffer, &count), QUELTA_OK);
    EXPECT_EQ(count, 2U);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    ASSERT_EQ(quelta_read_some(device_, buffer, sizeof buffer, 10, &count), QUELTA_OK);
    EXPECT_EQ(count, 0U);
}

TEST_F(CApi, TransfersThatRunOutOfTimeGiveTheCountAndTheCode) {
    driver_.WithPort(0, [](fake::PortModel& model) {
        model.sendRoom = 4;
        model.received = {'q'};
    });
    size_t count = 0;
    EXPECT_EQ(quelta_write_all(device_, "0123456789", 10, 20, &count), QUELTA_ERR_TIMED_OUT);
    EXPECT_EQ(count, 4U);
    EXPECT_NE(std::strstr(quelta_last_error_message(), "took 4 of 10 bytes"), nullptr)
        << quelta_last_error_message();
    char buffer[3];
    EXPECT_EQ(quelta_read_exact(device_, buffer, 3, 20, &count), QUELTA_ERR_TIMED_OUT);
    EXPECT_EQ(count, 1U);
    EXPECT_EQ(quelta_read_exact(device_, buffer, 0, 20, nullptr), QUELTA_OK);
}

TEST_F(CApi, ConfigureSendsTheRecordOrRefuses) {
    quelta_line_config config;
    quelta_default_line_config(&config);
    EXPECT_EQ(config.baud_rate, 9600);
    EXPECT_EQ(config.parity, 'n');
    config.baud_rate = 19200;
    config.data_bits = 7;
    config.parity = 'e';
    config.flow_control = QUELTA_FLOW_AUTO_RTS | QUELTA_FLOW_AUTO_CTS;
    ASSERT_EQ(quelta_configure(device_, &config), QUELTA_OK) << quelta_last_error_message();
    driver_.WithPort(0, [](fake::PortModel& model) {
        EXPECT_EQ(model.config.baudRate, 19200);
        EXPECT_EQ(model.config.dataBits, 7);
        EXPECT_EQ(model.config.parity, 'e');
        EXPECT_EQ(model.config.flowControl, 0x03);
        EXPECT_EQ(model.config.xonChar, 0x11);
    });
    config.baud_rate = 1;
    EXPECT_EQ(quelta_configure(device_, &config), QUELTA_ERR_CONFIG_REFUSED);
    config.baud_rate = 9600;
    config.parity = 'N';
    EXPECT_EQ(quelta_configure(device_, &config), QUELTA_ERR_CONFIG_REFUSED);
    EXPECT_NE(std::strstr(quelta_last_error_message(), "not sent"), nullptr);
}

TEST_F(CApi, StatusRecordsCarryRawAndFlags) {
    driver_.WithPort(0, [](fake::PortModel& model) {
        model.msr = 0x90;
        model.lsr = 0x61;
        model.lineErrors = 0x02;
        model.received.assign(70000 % 8192, 1);
    });
    ASSERT_EQ(quelta_set_rts(device_, 1), QUELTA_OK);
    quelta_modem_status modem;
    ASSERT_EQ(quelta_get_modem_status(device_, &modem), QUELTA_OK);
    EXPECT_EQ(modem.raw, 0x90);
    EXPECT_TRUE(modem.cts && modem.dcd);
    EXPECT_FALSE(modem.dsr || modem.ring || modem.cts_changed);
    quelta_line_status line;
    ASSERT_EQ(quelta_get_line_status(device_, &line), QUELTA_OK);
    EXPECT_TRUE(line.data_ready && line.holding_empty && line.transmitter_empty);
    EXPECT_FALSE(line.overrun);
    quelta_modem_control control;
    ASSERT_EQ(quelta_get_modem_control(device_, &control), QUELTA_OK);
    EXPECT_TRUE(control.rts);
    EXPECT_FALSE(control.dtr);
    quelta_line_errors errors;
    ASSERT_EQ(quelta_get_line_errors(device_, &errors), QUELTA_OK);
    EXPECT_TRUE(errors.overrun);
    EXPECT_FALSE(errors.parity_error);
    uint32_t waiting = 0;
    ASSERT_EQ(quelta_get_rx_count(device_, &waiting), QUELTA_OK);
    EXPECT_EQ(waiting, 70000U % 8192);
}

TEST_F(CApi, SignalsAndClose) {
    EXPECT_EQ(quelta_set_dtr(device_, 1), QUELTA_OK);
    EXPECT_EQ(quelta_set_break(device_, 1), QUELTA_OK);
    EXPECT_EQ(quelta_set_break(device_, 0), QUELTA_OK);
    EXPECT_EQ(quelta_close_port(device_), QUELTA_OK);
    driver_.WithPort(0, [](fake::PortModel& model) {
        const std::vector<std::uint32_t> expected = {SerialOpen, SerialSetDtr, SerialSetBreak,
                                                     SerialClearBreak, SerialClose};
        EXPECT_EQ(model.requests, expected);
    });
}

TEST_F(CApi, ErrorsComeAsCodesWithMessages) {
    quelta_device* none = reinterpret_cast<quelta_device*>(0x1);
    EXPECT_EQ(quelta_open("Serial4", QUELTA_OPEN_RESET, 0, &none), QUELTA_ERR_NO_SUCH_DEVICE);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(std::string(quelta_last_error_message()).find("Serial4"), std::string::npos);
    EXPECT_EQ(quelta_open("a/b", QUELTA_OPEN_RESET, 0, &none), QUELTA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quelta_open(nullptr, QUELTA_OPEN_RESET, 0, &none), QUELTA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quelta_open("Serial0", static_cast<quelta_open_mode>(3), 0, &none),
              QUELTA_ERR_INVALID_ARGUMENT);
    size_t count;
    EXPECT_EQ(quelta_read(nullptr, &count, 1, &count), QUELTA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quelta_read(device_, nullptr, 5, &count), QUELTA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quelta_get_rx_count(device_, nullptr), QUELTA_ERR_INVALID_ARGUMENT);
    driver_.ForceStatus(RequestNotImplemented);
    EXPECT_EQ(quelta_set_dtr(device_, 0), QUELTA_ERR_NOT_IMPLEMENTED);
    driver_.ForceStatus(RequestInvalidPort);
    EXPECT_EQ(quelta_set_dtr(device_, 0), QUELTA_ERR_INVALID_PORT);
    driver_.ForceStatus(0);
    EXPECT_EQ(quelta_set_dtr(device_, 0), QUELTA_OK);
    EXPECT_STREQ(quelta_last_error_message(), "");
}

TEST(CApiText, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int code = QUELTA_ERR_SYSTEM; code <= QUELTA_OK; ++code) {
        texts.insert(quelta_error_string(code));
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(1 - QUELTA_ERR_SYSTEM));
    EXPECT_STREQ(quelta_error_string(-99), "unknown error");
}

}  // namespace
