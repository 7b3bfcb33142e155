// An advisory exclusive open, as a tty's TIOCEXCL or pyserial's exclusive=True: while one client
// holds the claim on a device, a second claim fails with DeviceBusy naming the holder's process.
// Clients that do not claim are not kept out, and the driver knows nothing of it. The claim goes
// with its owner, also when the process dies.
#pragma once

#include <string>

namespace quelta {

class ExclusiveClaim {
public:
    ExclusiveClaim() = default;
    // fullName: "\RtDevice\Quelta\Serial0". Throws DeviceBusy while another client holds it.
    explicit ExclusiveClaim(const std::string& fullName);
    ExclusiveClaim(ExclusiveClaim&& other) noexcept;
    ExclusiveClaim& operator=(ExclusiveClaim&& other) noexcept;
    ~ExclusiveClaim();

private:
    void Release();
    int descriptor_ = -1;
};

}  // namespace quelta
