// Every open of a device through the library holds a claim on it, as opens of a tty do under
// TIOCEXCL: shared claims coexist, and an exclusive claim (pyserial's exclusive=True) is taken
// only while no other claim is held and then keeps every other open out, shared ones included.
// A refusal is DeviceBusy naming the holders' processes. Raw clients of the request block are not
// bound by it, and the driver knows nothing of it. A claim goes with its owner, also when the
// process dies.
#pragma once

#include <string>

namespace quelta {

enum class ClaimKind { Shared, Exclusive };

class DeviceClaim {
public:
    DeviceClaim() = default;
    // fullName: "\RtDevice\Quelta\Serial0", whose objects the caller has opened. Throws
    // DeviceBusy while a claim that excludes this one is held.
    DeviceClaim(const std::string& fullName, ClaimKind kind);
    DeviceClaim(DeviceClaim&& other) noexcept;
    DeviceClaim& operator=(DeviceClaim&& other) noexcept;
    ~DeviceClaim();

private:
    void Release();
    int descriptor_ = -1;
};

}  // namespace quelta
