// The host settings a driver takes from its environment, checked once at its start: a setting
// that cannot be used ends the process with exit code 2 before anything is created, rather than
// being ignored or bent into something else (a mode that grants more than was meant, names that
// cannot be made and a set-up failure that does not say why).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/HostPlatform.h"
#include "platform/host/NameClaims.h"
#include "platform/host/PosixNames.h"

namespace host {

std::string ArmFaultsFromEnvironment();

namespace {

std::string RealTimeProblem() {
    const char* text = std::getenv("RTSS_REALTIME");  // RealTimeRequested() takes only "1"
    if (text == nullptr || *text == '\0' || std::strcmp(text, "0") == 0 ||
        std::strcmp(text, "1") == 0) {
        return {};
    }
    return "RTSS_REALTIME: 1 gives real-time priorities, 0 or unset normal scheduling";
}

}  // namespace

void TakeHostSettings() {
    for (const std::string& problem : {posix_names::NamespaceProblem(), ObjectModeProblem(),
                                       RealTimeProblem(), ArmFaultsFromEnvironment()}) {
        if (!problem.empty()) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            std::_Exit(2);
        }
    }
}

}  // namespace host
