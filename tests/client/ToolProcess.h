// Runs the built quelta program as a separate process, as users run it, and collects what it
// prints and its exit code. The object namespace reaches it through the environment.
#pragma once

#include <string>
#include <vector>

namespace clienttest {

struct ToolRun {
    int exitCode;  // 128 + signal when it was killed
    std::string out;
    std::string err;
};

ToolRun Quelta(const std::vector<std::string>& arguments, const std::string& input = "");

}  // namespace clienttest
