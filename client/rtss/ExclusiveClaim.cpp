// The target's client backend has no claim yet: a program there that asks for one is told so
// rather than given an exclusion that does not hold.
#include "client/ExclusiveClaim.h"

#include "client/Error.h"

namespace quelta {

ExclusiveClaim::ExclusiveClaim(const std::string& fullName) {
    throw Error(ErrorCode::SystemError,
                fullName + ": an exclusive open is not available on this platform");
}

ExclusiveClaim::ExclusiveClaim(ExclusiveClaim&& other) noexcept : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
}

ExclusiveClaim& ExclusiveClaim::operator=(ExclusiveClaim&& other) noexcept {
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
    return *this;
}

ExclusiveClaim::~ExclusiveClaim() = default;

void ExclusiveClaim::Release() {}

}  // namespace quelta
