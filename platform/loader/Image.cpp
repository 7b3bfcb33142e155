#include "platform/loader/Image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/loader/Traps.h"

namespace loader {
namespace {

// The PE format's numbers that the loader reads.
constexpr std::uint16_t DosSignature = 0x5A4D;  // "MZ"
constexpr std::uint32_t DosNewHeaderField = 0x3C;
constexpr std::uint32_t DosHeaderSize = 0x40;
constexpr std::uint32_t PeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint32_t CoffHeaderSize = 20;
constexpr std::uint16_t MachineI386 = 0x014C;
constexpr std::uint16_t RelocationsStripped = 0x0001;  // file characteristics
constexpr std::uint16_t Pe32Magic = 0x010B;
constexpr std::uint32_t Pe32DirectoriesAt = 96;  // offset of the data directories
constexpr std::uint32_t SectionHeaderSize = 40;
constexpr std::uint32_t SectionExecutable = 0x20000000;
constexpr std::uint32_t SectionReadable = 0x40000000;
constexpr std::uint32_t SectionWritable = 0x80000000;
constexpr std::uint32_t ExportDirectory = 0;
constexpr std::uint32_t ImportDirectory = 1;
constexpr std::uint32_t RelocationDirectory = 5;
constexpr std::uint32_t ImportDescriptorSize = 20;
constexpr std::uint32_t ImportByOrdinal = 0x80000000;
constexpr std::uint16_t RelocationPadding = 0;  // IMAGE_REL_BASED_ABSOLUTE
constexpr std::uint16_t RelocationHighLow = 3;  // a whole 32-bit address

constexpr std::uint32_t PageSize = 0x1000;
constexpr std::uint32_t LargestImage = 256u << 20;

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::uint32_t PageAligned(std::uint64_t size) {
    return static_cast<std::uint32_t>((size + PageSize - 1) / PageSize * PageSize);
}

// Little-endian fields of the file or of the loaded image, each read checked against the end.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::uint64_t size, const char* whole)
        : data_(data), size_(size), whole_(whole) {}

    std::uint64_t Size() const { return size_; }
    template <typename T>
    T At(std::uint64_t offset, const std::string& field) const {
        Need(offset, sizeof(T), field);
        T value;
        std::memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    void Need(std::uint64_t offset, std::uint64_t length, const std::string& field) const {
        if (offset + length > size_) {
            throw LoadError(field + " at " + Hex(offset) + " ends beyond the " + Hex(size_) +
                            " bytes of the " + whole_);
        }
    }
    // A terminated string that lies wholly inside.
    std::string_view String(std::uint64_t offset, const std::string& field) const {
        Need(offset, 1, field);
        const auto* start = reinterpret_cast<const char*>(data_ + offset);
        const std::size_t length = strnlen(start, static_cast<std::size_t>(size_ - offset));
        Need(offset, length + 1, field);
        return {start, length};
    }

private:
    const std::uint8_t* data_;
    std::uint64_t size_;
    const char* whole_;  // "file" or "image"
};

struct Directory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct Section {
    std::string name;
    std::uint32_t rva;
    std::uint32_t extent;  // bytes in memory
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
    std::uint32_t characteristics;
};

struct Headers {
    std::uint32_t imageBase;
    std::uint32_t imageSize;
    std::uint32_t headerSize;
    std::uint32_t entryRva;
    bool relocationsStripped;
    Directory directories[RelocationDirectory + 1];
    std::vector<Section> sections;
};

Headers ReadHeaders(std::span<const std::uint8_t> file) {
    const Bytes bytes(file.data(), file.size(), "file");
    if (file.size() < 2 || bytes.At<std::uint16_t>(0, "") != DosSignature) {
        throw LoadError("not a PE image (no MZ signature)");
    }
    const auto pe = bytes.At<std::uint32_t>(DosNewHeaderField, "truncated: the DOS header");
    bytes.Need(pe, 4, "truncated: the PE signature");
    if (pe < DosHeaderSize || bytes.At<std::uint32_t>(pe, "") != PeSignature) {
        throw LoadError("not a PE image (no PE signature at " + Hex(pe) + ")");
    }
    const std::uint64_t coff = std::uint64_t{pe} + 4;
    const auto machine = bytes.At<std::uint16_t>(coff, "truncated: the COFF header");
    if (machine != MachineI386) {
        throw LoadError("not an image for i386 (machine " + Hex(machine) + ")");
    }
    const auto sectionCount = bytes.At<std::uint16_t>(coff + 2, "truncated: the COFF header");
    const auto optionalSize = bytes.At<std::uint16_t>(coff + 16, "truncated: the COFF header");
    const auto characteristics = bytes.At<std::uint16_t>(coff + 18, "truncated: the COFF header");
    const std::uint64_t optional = coff + CoffHeaderSize;
    const char* const inOptional = "truncated: the optional header";
    const auto magic = bytes.At<std::uint16_t>(optional, inOptional);
    if (magic != Pe32Magic) {
        throw LoadError("not a PE32 image (optional header magic " + Hex(magic) + ")");
    }
    if (optionalSize < Pe32DirectoriesAt) {
        throw LoadError("not a PE32 image (an optional header of " + std::to_string(optionalSize) +
                        " bytes)");
    }
    Headers headers{};
    headers.entryRva = bytes.At<std::uint32_t>(optional + 16, inOptional);
    headers.imageBase = bytes.At<std::uint32_t>(optional + 28, inOptional);
    const auto sectionAlignment = bytes.At<std::uint32_t>(optional + 32, inOptional);
    headers.imageSize = bytes.At<std::uint32_t>(optional + 56, inOptional);
    headers.headerSize = bytes.At<std::uint32_t>(optional + 60, inOptional);
    headers.relocationsStripped = (characteristics & RelocationsStripped) != 0;
    const auto directoryCount = std::min<std::uint32_t>(
        bytes.At<std::uint32_t>(optional + 92, inOptional), (optionalSize - Pe32DirectoriesAt) / 8);
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(directoryCount, RelocationDirectory + 1);
         ++i) {
        headers.directories[i] = {
            bytes.At<std::uint32_t>(optional + Pe32DirectoriesAt + 8 * i, inOptional),
            bytes.At<std::uint32_t>(optional + Pe32DirectoriesAt + 8 * i + 4, inOptional)};
    }
    if (sectionAlignment % PageSize != 0 || headers.imageBase % PageSize != 0) {
        throw LoadError("sections aligned to " + Hex(sectionAlignment) + " at base " +
                        Hex(headers.imageBase) +
                        " cannot be given protections of their own (pages are 0x1000)");
    }
    if (headers.imageSize == 0 || headers.imageSize > LargestImage ||
        headers.headerSize > headers.imageSize || headers.entryRva >= headers.imageSize) {
        throw LoadError("image size " + Hex(headers.imageSize) + ", headers " +
                        Hex(headers.headerSize) + " and entry point " + Hex(headers.entryRva) +
                        " do not fit one another");
    }
    const std::uint64_t table = optional + optionalSize;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const std::uint64_t at = table + std::uint64_t{i} * SectionHeaderSize;
        bytes.Need(at, SectionHeaderSize, "truncated: the section table");
        Section section;
        section.name.assign(reinterpret_cast<const char*>(file.data() + at),
                            strnlen(reinterpret_cast<const char*>(file.data() + at), 8));
        const auto virtualSize = bytes.At<std::uint32_t>(at + 8, "");
        section.rva = bytes.At<std::uint32_t>(at + 12, "");
        section.rawSize = bytes.At<std::uint32_t>(at + 16, "");
        section.rawOffset = bytes.At<std::uint32_t>(at + 20, "");
        section.characteristics = bytes.At<std::uint32_t>(at + 36, "");
        section.extent = virtualSize != 0 ? virtualSize : section.rawSize;
        if (section.rva % PageSize != 0 || section.rva < headers.headerSize ||
            std::uint64_t{section.rva} + section.extent > headers.imageSize) {
            throw LoadError("section " + section.name + " at " + Hex(section.rva) +
                            " does not lie in the image");
        }
        if (section.rawSize != 0) {
            bytes.Need(section.rawOffset, section.rawSize, "truncated: section " + section.name);
        }
        headers.sections.push_back(section);
    }
    if (std::none_of(headers.sections.begin(), headers.sections.end(), [&](const Section& s) {
            return (s.characteristics & SectionExecutable) && headers.entryRva >= s.rva &&
                   headers.entryRva - s.rva < s.extent;
        })) {
        throw LoadError("the entry point " + Hex(headers.entryRva) +
                        " does not lie in an executable section");
    }
    bytes.Need(0, headers.headerSize, "truncated: the headers");
    return headers;
}

// The base relocations: each one checked to lie in the image, and applied by `delta`. Returns
// the offsets of the words they rewrite, ascending.
std::vector<std::uint32_t> Relocate(std::uint8_t* base, const Bytes& image, const Directory& table,
                                    std::uint32_t delta) {
    std::vector<std::uint32_t> words;
    for (std::uint64_t block = table.rva; block + 8 <= std::uint64_t{table.rva} + table.size;) {
        const auto page = image.At<std::uint32_t>(block, "a relocation block");
        const auto blockSize = image.At<std::uint32_t>(block + 4, "a relocation block");
        if (blockSize < 8 || block + blockSize > std::uint64_t{table.rva} + table.size) {
            throw LoadError("relocation block at " + Hex(block) + " has a size of " +
                            Hex(blockSize) + " that does not fit the relocation table");
        }
        for (std::uint64_t entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
            const auto value = image.At<std::uint16_t>(entry, "a relocation");
            const int type = value >> 12;
            const std::uint64_t target = std::uint64_t{page} + (value & 0xFFF);
            if (type == RelocationPadding) continue;
            if (type != RelocationHighLow) {
                throw LoadError("relocation of type " + std::to_string(type) + " at " +
                                Hex(target) + ": a PE32 image for i386 has only type 3");
            }
            if (target + 4 > image.Size()) {
                throw LoadError("relocation outside the image: " + Hex(target) + " (block at " +
                                Hex(block) + ")");
            }
            std::uint32_t address;
            std::memcpy(&address, base + target, sizeof address);
            address += delta;
            std::memcpy(base + target, &address, sizeof address);
            words.push_back(static_cast<std::uint32_t>(target));
        }
        block += blockSize;
    }
    std::sort(words.begin(), words.end());
    return words;
}

const Library* FindLibrary(std::span<const Library> libraries, std::string_view name) {
    for (const Library& library : libraries) {
        if (library.name.size() == name.size() &&
            strncasecmp(library.name.data(), name.data(), name.size()) == 0) {
            return &library;
        }
    }
    return nullptr;
}

void BindImports(std::uint8_t* base, const Bytes& image, const Directory& table,
                 std::span<const Library> libraries) {
    for (std::uint64_t descriptor = table.rva;; descriptor += ImportDescriptorSize) {
        const auto lookup = image.At<std::uint32_t>(descriptor, "an import descriptor");
        const auto nameRva = image.At<std::uint32_t>(descriptor + 12, "an import descriptor");
        const auto slots = image.At<std::uint32_t>(descriptor + 16, "an import descriptor");
        if (nameRva == 0 && slots == 0) return;
        const std::string_view libraryName = image.String(nameRva, "an imported library's name");
        const Library* library = FindLibrary(libraries, libraryName);
        const std::uint32_t names = lookup != 0 ? lookup : slots;
        for (std::uint64_t i = 0;; ++i) {
            const auto entry = image.At<std::uint32_t>(names + 4 * i, "an import entry");
            if (entry == 0) break;
            if (entry & ImportByOrdinal) {
                throw LoadError("imports ordinal " + std::to_string(entry & 0xFFFF) + " from " +
                                std::string(libraryName) + ": only imports by name can be bound");
            }
            const std::string_view name = image.String(std::uint64_t{entry} + 2, "an import name");
            const Export* found = nullptr;
            for (const Export& candidate :
                 library != nullptr ? library->exports : std::span<const Export>{}) {
                if (candidate.name == name) found = &candidate;
            }
            if (found == nullptr) {
                throw LoadError("imports " + std::string(name) + " from " +
                                std::string(libraryName) +
                                ", which the stand-in platform does not have");
            }
            const auto address = static_cast<std::uint32_t>(found->address);
            image.Need(std::uint64_t{slots} + 4 * i, 4, "an import address slot");
            std::memcpy(base + slots + 4 * i, &address, sizeof address);
        }
    }
}

int Protection(std::uint32_t characteristics) {
    int protection = PROT_NONE;
    if (characteristics & SectionReadable) protection |= PROT_READ;
    if (characteristics & SectionWritable) protection |= PROT_WRITE;
    if (characteristics & SectionExecutable) protection |= PROT_EXEC | PROT_READ;
    return protection;
}

}  // namespace

std::unique_ptr<LoadedImage> LoadedImage::Load(std::span<const std::uint8_t> file,
                                               const LoadOptions& options) {
    const Headers headers = ReadHeaders(file);
    std::unique_ptr<LoadedImage> loaded(new LoadedImage);
    loaded->preferredBase_ = headers.imageBase;
    loaded->size_ = headers.imageSize;
    loaded->entryRva_ = headers.entryRva;
    loaded->exportRva_ = headers.directories[ExportDirectory].rva;
    loaded->exportSize_ = headers.directories[ExportDirectory].size;

    // At the preferred base where it is free, else wherever the system puts it.
    constexpr int Flags = MAP_PRIVATE | MAP_ANONYMOUS;
    auto* preferred = reinterpret_cast<void*>(loaded->preferredBase_);
    void* at =
        mmap(preferred, loaded->size_, PROT_READ | PROT_WRITE, Flags | MAP_FIXED_NOREPLACE, -1, 0);
    if (at != MAP_FAILED && at != preferred) munmap(at, loaded->size_);
    if (at != preferred) {
        at = mmap(nullptr, loaded->size_, PROT_READ | PROT_WRITE, Flags, -1, 0);
        if (at == MAP_FAILED) {
            throw LoadError("cannot map " + Hex(loaded->size_) + " bytes: " + strerror(errno));
        }
    }
    loaded->base_ = reinterpret_cast<std::uintptr_t>(at);
    auto* base = static_cast<std::uint8_t*>(at);
    const auto delta = static_cast<std::uint32_t>(loaded->base_ - loaded->preferredBase_);
    if (delta != 0 &&
        (headers.relocationsStripped || headers.directories[RelocationDirectory].size == 0)) {
        throw LoadError("the preferred base " + Hex(loaded->preferredBase_) +
                        " is taken and the image carries no relocations");
    }

    std::memcpy(base, file.data(), std::min<std::size_t>(headers.headerSize, file.size()));
    for (const Section& section : headers.sections) {
        std::memcpy(base + section.rva, file.data() + section.rawOffset,
                    std::min(section.rawSize, section.extent));
    }
    const Bytes image(base, loaded->size_, "image");
    const std::vector<std::uint32_t> relocated =
        Relocate(base, image, headers.directories[RelocationDirectory], delta);
    if (headers.directories[ImportDirectory].size != 0) {
        BindImports(base, image, headers.directories[ImportDirectory], options.libraries);
    }

    LoadedCode code{base, {}, relocated};
    for (const Section& section : headers.sections) {
        if (section.characteristics & SectionExecutable) {
            code.executable.emplace_back(section.rva, section.rva + section.extent);
        }
    }
    loaded->routines_ = PatchRoutines(code, options.redirectCalls);

    if (mprotect(base, loaded->size_, PROT_READ) != 0) {
        throw LoadError(std::string("cannot protect the image: ") + strerror(errno));
    }
    for (const Section& section : headers.sections) {
        if (mprotect(base + section.rva, PageAligned(section.extent),
                     Protection(section.characteristics)) != 0) {
            throw LoadError("cannot protect section " + section.name + ": " + strerror(errno));
        }
    }
    if (!RegisterImage(loaded.get())) {
        throw LoadError("too many images are loaded in this process");
    }
    return loaded;
}

LoadedImage::~LoadedImage() {
    UnregisterImage(this);
    if (base_ != 0) munmap(reinterpret_cast<void*>(base_), size_);
}

std::uintptr_t LoadedImage::Exported(std::string_view name) const {
    auto* base = reinterpret_cast<const std::uint8_t*>(base_);
    const Bytes image(base, size_, "image");
    try {
        if (exportSize_ == 0) return 0;
        const auto functionCount = image.At<std::uint32_t>(exportRva_ + 20, "");
        const auto nameCount = image.At<std::uint32_t>(exportRva_ + 24, "");
        const auto functions = image.At<std::uint32_t>(exportRva_ + 28, "");
        const auto names = image.At<std::uint32_t>(exportRva_ + 32, "");
        const auto ordinals = image.At<std::uint32_t>(exportRva_ + 36, "");
        for (std::uint32_t i = 0; i < nameCount; ++i) {
            if (image.String(image.At<std::uint32_t>(names + 4 * i, ""), "") != name) continue;
            const auto index = image.At<std::uint16_t>(ordinals + 2 * i, "");
            if (index >= functionCount) return 0;
            return base_ + image.At<std::uint32_t>(functions + 4 * index, "");
        }
    } catch (const LoadError&) {
        // An export table that does not lie in the image exports nothing.
    }
    return 0;
}

std::vector<std::uint8_t> ReadImageFile(const std::string& path) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        const std::string reason = descriptor < 0 ? strerror(errno) : "not a regular file";
        if (descriptor >= 0) close(descriptor);
        throw LoadError("cannot read it: " + reason);
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(descriptor, bytes.data() + done, bytes.size() - done);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            const std::string reason = got < 0 ? strerror(errno) : "it became shorter";
            close(descriptor);
            throw LoadError("cannot read it: " + reason);
        }
        done += static_cast<std::size_t>(got);
    }
    close(descriptor);
    return bytes;
}

}  // namespace loader
