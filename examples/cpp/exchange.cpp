// Sends a text from one port and reads it back on another (a null-modem pair such as Serial1
// and Serial0 of the default machine) through the C++ API of the Quelta client library, after
// listing the devices that the driver publishes.
//
//     cmake -S . -B build && cmake --build build    (find_package(quelta): quelta::client)
//     build/exchange Serial1 Serial0 hello
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "client/Device.h"
#include "client/DeviceName.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: exchange FROM TO TEXT\n");
        return 2;
    }
    const std::string text = argv[3];
    try {
        std::printf("devices:");
        for (const std::string& name : quelta::ListDevices()) {
            std::printf(" %s", quelta::ShortDeviceName(name).c_str());
        }
        std::printf("\n");

        const quelta::OpenOptions options{.mode = quelta::OpenMode::AttachOrReset};
        quelta::Device from(argv[1], options);
        quelta::Device to(argv[2], options);
        for (quelta::Device* port : {&from, &to}) port->Configure({.baudRate = 115200});
        to.Flush(quelta::FlushSide::Receive);

        from.WriteAll(text, std::chrono::seconds(2));
        std::vector<std::uint8_t> received(text.size());
        to.ReadExact(received, std::chrono::seconds(2));
        if (std::string(received.begin(), received.end()) != text) {
            std::fprintf(stderr, "exchange: %s received other bytes than %s sent\n", argv[2],
                         argv[1]);
            return 1;
        }
        const quelta::PortSettings settings = to.GetSettings();
        std::printf("%s received \"%s\" from %s at %u baud\n", argv[2], text.c_str(), argv[1],
                    settings.actualBaud);
        return 0;
    } catch (const quelta::Error& error) {
        std::fprintf(stderr, "exchange: %s\n", error.what());
        return 1;
    }
}
