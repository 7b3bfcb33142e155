// A pyserial program on a running driver through the quelta:// URL handler (python/), run by the
// system's interpreter, which has pyserial; then what it left in the driver, seen from C++.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "client/Device.h"
#include "tests/system/RunningDriver.h"

namespace {

using namespace systemtest;

TEST(PyserialUrl, ProgramDrivesTheNullModemPair) {
    RunningDriver driver(DefaultBoard);
    RunningDriver::Open("Serial0");  // the driver serves its devices from here on
    FILE* python =
        popen("PYTHONPATH='" QUELTA_PYTHON_DIR "' QUELTA_CLIENT_LIBRARY='" QUELTA_CLIENT_SHARED
              "' /usr/bin/python3 '" QUELTA_PYSERIAL_SCRIPT "' 2>&1",
              "r");
    ASSERT_NE(python, nullptr);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, python) != nullptr) output += buffer;
    EXPECT_EQ(pclose(python), 0) << output;
    EXPECT_NE(output.find("\n23 checks passed\n"), std::string::npos) << output;

    // The handler's handles are gone, the ports stay open: a C++ client attaches to them.
    quelta::Device a("Serial0", {.mode = quelta::OpenMode::Attach});
    quelta::Device b("Serial1", {.mode = quelta::OpenMode::Attach});
    const quelta::LineSettings applied = a.GetSettings().settings;
    EXPECT_EQ(applied.baudRate, 921600);
    EXPECT_EQ(applied.flowControl, FlowControl::RtsCts);
    const quelta::ErrorCounts counts = b.GetErrorCounts();
    EXPECT_EQ(counts.breaks, 1u);
    EXPECT_EQ(counts.ringOverruns, 0u);
    EXPECT_EQ(
        quelta::Device("Serial6", {.mode = quelta::OpenMode::Attach}).GetSettings().receiveTrigger,
        8);
}

}  // namespace
