// A client in a process of its own, for the tests across processes. It works in the namespace the
// test gives it (RTSS_NAMESPACE is inherited) and reports on standard output, a line per event.
//
//   requests NAME COUNT   COUNT line-error requests through the client library; "ok" or the error
//   hold NAME             takes the device's mutex as a request does, prints "holding", parks
//   open NAME             opens the device through the library (a shared claim), prints "open",
//                         parks
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/Device.h"
#include "client/DeviceName.h"
#include "client/RequestChannel.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each line goes out as it is said
    try {
        if (mode == "requests" && argc == 4) {
            quelta::Device device(argv[2], {.mode = quelta::OpenMode::AttachOrReset});
            for (int i = std::atoi(argv[3]); i > 0; --i) (void)device.GetLineErrors();
            std::puts("ok");
            return 0;
        }
        if (mode == "open" && argc == 3) {
            const quelta::Device device(argv[2], {.mode = quelta::OpenMode::AttachOrReset});
            std::puts("open");
            for (;;) pause();
        }
        if (mode == "hold" && argc == 3) {
            quelta::RequestChannel channel(quelta::FullDeviceName(argv[2]), std::chrono::seconds(2),
                                           std::chrono::microseconds(0));
            const quelta::RequestChannel::Session session(channel);
            std::puts("holding");
            for (;;) pause();
        }
    } catch (const quelta::Error& error) {
        std::puts(error.what());
        return 1;
    }
    return 2;
}
