// A cross-built target image (a PE32 image for i386, such as quelta-driver.rtss) taken into this
// 32-bit process as the platform's process loader takes it: the sections mapped with their
// protections, the base relocations applied wherever the image has to sit, the imports bound by
// library and name to what the stand-in platform offers, and the calls of the image's interrupt
// flag and register routines sent straight to the host (Routines.h). Loading runs nothing of the
// image; Traps.h covers what its instructions do once they run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/loader/Routines.h"

namespace loader {

// What is wrong with an image, in one line; a load that throws it has mapped nothing.
class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A routine the stand-in platform offers under a library's name.
struct Export {
    std::string_view name;
    std::uintptr_t address;
};

// A library as images import it; its name is compared without regard to case, as Windows does.
struct Library {
    std::string_view name;
    std::span<const Export> exports;
};

struct LoadOptions {
    std::span<const Library> libraries;
    // Calls of the recognised routines go straight to the host; false leaves every privileged
    // instruction and register access to the traps (for tests and the benchmark's comparison).
    bool redirectCalls = true;
};

class LoadedImage {
public:
    // Throws LoadError for a file that is not a PE32 i386 image, a truncated one, a relocation
    // outside the image, an import by ordinal or one that no library offers.
    static std::unique_ptr<LoadedImage> Load(std::span<const std::uint8_t> file,
                                             const LoadOptions& options);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    std::uintptr_t Base() const { return base_; }
    std::uintptr_t PreferredBase() const { return preferredBase_; }
    std::uint32_t Size() const { return size_; }
    std::uintptr_t EntryPoint() const { return base_ + entryRva_; }
    bool Contains(std::uintptr_t address) const {
        return address >= base_ && address - base_ < size_;
    }
    // The address of a routine the image exports by this name, or 0.
    std::uintptr_t Exported(std::string_view name) const;
    const std::vector<Recognised>& Routines() const { return routines_; }

private:
    LoadedImage() = default;
    std::uintptr_t base_ = 0;
    std::uintptr_t preferredBase_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t entryRva_ = 0;
    std::uint32_t exportRva_ = 0;
    std::uint32_t exportSize_ = 0;
    std::vector<Recognised> routines_;
};

// The whole file, or LoadError naming why it cannot be read.
std::vector<std::uint8_t> ReadImageFile(const std::string& path);

}  // namespace loader
