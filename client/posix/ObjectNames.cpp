#include "client/posix/ObjectNames.h"

#include "client/Error.h"
#include "platform/host/PosixNames.h"

namespace quelta {
namespace {

void CheckNamespace() {
    if (const std::string problem = posix_names::NamespaceProblem(); !problem.empty()) {
        throw Error(ErrorCode::InvalidArgument, problem);
    }
}

}  // namespace

std::string ObjectNamespace() {
    CheckNamespace();
    return posix_names::Namespace();
}

std::string PosixObjectName(std::string_view platformName) {
    CheckNamespace();
    return posix_names::ObjectName(platformName);
}

}  // namespace quelta
