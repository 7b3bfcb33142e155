// quelta-rtss-run IMAGE [options of the image]: runs a cross-built target image, such as
// quelta-driver.rtss, in this 32-bit process on the host backend and the simulated machine, as the
// platform's process loader runs it on the target. The host settings are those of quelta-driver
// (QUELTA_SIM, QUELTA_SIM_TRACE, RTSS_NAMESPACE, RTSS_OBJECT_MODE, RTSS_REALTIME, RTSS_FAULTS).
// An image that cannot be loaded is named with the reason on one line, exit code 2.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "platform/loader/Image.h"
#include "platform/loader/StandIns.h"
#include "platform/loader/Traps.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: quelta-rtss-run IMAGE [options of the image]\n", stderr);
        return 2;
    }
    host::StartProcess();
    const std::string path = argv[1];
    std::unique_ptr<loader::LoadedImage> image;
    try {
        image = loader::LoadedImage::Load(loader::ReadImageFile(path),
                                          {.libraries = loader::StandInPlatform()});
    } catch (const loader::LoadError& error) {
        std::fprintf(stderr, "quelta-rtss-run: %s: %s\n", path.c_str(), error.what());
        return 2;
    }
    loader::InstallTraps();
    // The image's own name comes first in its argument vector, as the platform's loader gives it.
    loader::SetImageCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    const std::uint32_t result = loader::EnterImage(*image);
    std::fprintf(stderr, "quelta-rtss-run: %s: the image's entry came back with 0x%X\n",
                 path.c_str(), static_cast<unsigned>(result));
    ExitProcess(1);
}
