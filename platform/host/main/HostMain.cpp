// On the host there is no loader and no wide start-up: main with byte strings enters the driver.
#include "platform/host/HostPlatform.h"
#include "startup/DriverMain.h"

int main(int argc, char** argv) {
    host::StartProcess();
    return QueltaMain(argc, argv);
}
