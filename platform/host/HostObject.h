// Every handle the host backend gives out points at a HostObject; RtCloseHandle closes it
// whatever its kind.
#pragma once

namespace host {

class HostObject {
public:
    HostObject() = default;
    HostObject(const HostObject&) = delete;
    HostObject& operator=(const HostObject&) = delete;
    virtual ~HostObject() = default;
};

}  // namespace host
