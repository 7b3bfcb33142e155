// The target's client backend has no lock to claim a device with: shared opens go on as they
// always have, and a program that asks for an exclusive one is told so rather than given an
// exclusion that does not hold.
#include "client/DeviceClaim.h"

#include "client/Error.h"

namespace quelta {

DeviceClaim::DeviceClaim(const std::string& fullName, ClaimKind kind) {
    if (kind == ClaimKind::Exclusive) {
        throw Error(ErrorCode::SystemError,
                    fullName + ": an exclusive open is not available on this platform");
    }
}

DeviceClaim::DeviceClaim(DeviceClaim&& other) noexcept : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
}

DeviceClaim& DeviceClaim::operator=(DeviceClaim&& other) noexcept {
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
    return *this;
}

DeviceClaim::~DeviceClaim() = default;

void DeviceClaim::Release() {}

}  // namespace quelta
