// The loader against the probe image (images/Probe.cpp) in every build type: the routines found
// by their code, the image's own interrupt sections and register accesses acting on the host
// with and without the redirected calls, relocation away from a taken base, the one-line refusal
// of every kind of bad image, and quelta-rtss-run entering an image as the platform does.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdarg>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/HostPlatform.h"
#include "platform/loader/Image.h"
#include "platform/loader/StandIns.h"
#include "platform/loader/Traps.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedRegisters.h"

namespace {

using loader::LoadedImage;

const char* const BuildTypes[] = {"Debug", "MinSizeRel", "RelWithDebInfo", "Release"};

std::string ProbePath(const std::string& type) {
    return std::string(QUELTA_PROBE_DIR) + "/probe-" + type + ".rtss";
}

std::vector<std::uint8_t> Probe(const std::string& type = "Release") {
    return loader::ReadImageFile(ProbePath(type));
}

std::unique_ptr<LoadedImage> Load(const std::vector<std::uint8_t>& file, bool redirect = true) {
    loader::InstallTraps();
    return LoadedImage::Load(file,
                             {.libraries = loader::StandInPlatform(), .redirectCalls = redirect});
}

// The probe's exports, called with the C calling convention as the image defines them.
using Observer = std::uint32_t (*)();
using SectionsRoutine = std::uint32_t (*)(Observer);
using CopyRoutine = void (*)(volatile std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t);
using MovesRoutine = void (*)(volatile std::uint8_t*, std::uint32_t*);

template <typename Routine>
Routine Exported(const LoadedImage& image, const char* name) {
    const std::uintptr_t address = image.Exported(name);
    if (address == 0) throw std::runtime_error(std::string("the probe exports no ") + name);
    return reinterpret_cast<Routine>(address);
}

std::uint32_t DisabledHere() { return host::InterruptsDisabledOnThisThread() ? 1 : 0; }

// The image in both ways of running: its calls redirected, and everything left to the traps.
template <typename Body>
void ForEveryBuildAndWay(Body body) {
    for (const char* type : BuildTypes) {
        const std::vector<std::uint8_t> file = Probe(type);
        for (const bool redirect : {true, false}) {
            SCOPED_TRACE(std::string(type) + (redirect ? ", redirected" : ", trapped"));
            body(*Load(file, redirect));
        }
    }
}

TEST(Loader, FindsTheFourRoutinesInEveryBuildType) {
    for (const char* type : BuildTypes) {
        const auto image = Load(Probe(type));
        std::uint32_t kinds[loader::RoutineKinds] = {};
        for (const loader::Recognised& routine : image->Routines()) {
            ++kinds[static_cast<std::size_t>(routine.kind)];
            EXPECT_GT(routine.redirectedCalls, 0u) << type;
        }
        for (const std::uint32_t found : kinds) EXPECT_EQ(found, 1u) << type;
    }
}

// The outer section stays closed across the inner one's restore; a bare cli ... sti is a section.
TEST(Loader, InterruptSectionsOfTheImageNestOnTheHost) {
    ForEveryBuildAndWay([](const LoadedImage& image) {
        EXPECT_EQ(Exported<SectionsRoutine>(image, "NestedSections")(DisabledHere), 0b0111u);
        EXPECT_EQ(Exported<SectionsRoutine>(image, "ClearAndSet")(DisabledHere), 0b01u);
        EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
    });
}

TEST(Loader, RegisterAccessesOfTheImageReachTheDevice) {
    using fake::Access;
    ForEveryBuildAndWay([](const LoadedImage& image) {
        fake::ScriptedRegisters registers;
        registers.Set(0x10, 0x41);
        registers.Set(0x11, 0xC2);
        Exported<CopyRoutine>(image, "CopyRegisters")(registers.Address(0), 0x10, 0x20, 2);
        EXPECT_EQ(registers.Log(),
                  (std::vector<Access>{
                      {'R', 0x10, 0x41}, {'W', 0x20, 0x41}, {'R', 0x11, 0xC2}, {'W', 0x21, 0xC2}}));

        registers.ClearLog();
        registers.Set(0x03, 0x83);
        registers.Set(0x18, 0x98);
        registers.Set(0x100, 0x80);
        std::uint32_t loaded[3] = {};
        Exported<MovesRoutine>(image, "DirectMoves")(registers.Address(0), loaded);
        EXPECT_EQ(registers.Log(), (std::vector<Access>{
                                       {'R', 0x03, 0x83},   // movzx
                                       {'R', 0x18, 0x98},   // movsx through base, index, scale
                                       {'R', 0x100, 0x80},  // into %ah-like register
                                       {'W', 0x09, 0x83},   // from a low byte register
                                       {'W', 0x00, 0x5A},   // an immediate
                                       {'W', 0x20, 0x80},   // from a high byte register
                                   }));
        EXPECT_EQ(loaded[0], 0x83u);
        EXPECT_EQ(loaded[1], 0xFFFFFF98u) << "sign-extended";
        EXPECT_EQ(loaded[2], 0x8000u) << "the high byte alone";
    });
}

TEST(LoaderDeathTest, AStrayAccessEndsTheProcessNamingTheImagesInstruction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto image = Load(Probe());
    std::uint32_t loaded[3] = {};
    EXPECT_DEATH(Exported<MovesRoutine>(*image, "DirectMoves")(
                     reinterpret_cast<volatile std::uint8_t*>(0x1000), loaded),
                 "the image faulted \\(Segmentation fault\\) at 0x[0-9A-F]{8}, offset 0x");
}

// --- The file's own fields, for the relocation test and the bad images. ---

template <typename T>
T Field(const std::vector<std::uint8_t>& file, std::size_t at) {
    T value;
    std::memcpy(&value, file.data() + at, sizeof value);
    return value;
}

template <typename T>
void SetField(std::vector<std::uint8_t>& file, std::size_t at, T value) {
    std::memcpy(file.data() + at, &value, sizeof value);
}

std::size_t PeHeader(const std::vector<std::uint8_t>& file) {
    return Field<std::uint32_t>(file, 0x3C);
}

struct SectionPlace {
    std::uint32_t rva;
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
};

SectionPlace SectionNamed(const std::vector<std::uint8_t>& file, const std::string& name) {
    const std::size_t pe = PeHeader(file);
    const std::size_t table = pe + 24 + Field<std::uint16_t>(file, pe + 20);
    for (std::size_t i = 0; i < Field<std::uint16_t>(file, pe + 6); ++i) {
        const std::size_t at = table + 40 * i;
        if (std::strncmp(reinterpret_cast<const char*>(file.data() + at), name.c_str(), 8) == 0) {
            return {Field<std::uint32_t>(file, at + 12), Field<std::uint32_t>(file, at + 20),
                    Field<std::uint32_t>(file, at + 16)};
        }
    }
    throw std::runtime_error("the probe has no section " + name);
}

std::size_t Find(const std::vector<std::uint8_t>& file, std::string_view bytes) {
    const auto at = std::search(file.begin(), file.end(), bytes.begin(), bytes.end());
    if (at == file.end()) throw std::runtime_error("not in the probe: " + std::string(bytes));
    return static_cast<std::size_t>(at - file.begin());
}

// The probe loads and runs where its preferred base is taken: its code and data addresses are
// fixed, its imports bound, its data writable. Without relocations it cannot move.
TEST(Loader, RelocatesAnImageWhosePreferredBaseIsTaken) {
    const std::vector<std::uint8_t> file = Probe();
    const std::size_t optional = PeHeader(file) + 24;
    auto* preferred = reinterpret_cast<void*>(Field<std::uint32_t>(file, optional + 28));
    const std::uint32_t size = Field<std::uint32_t>(file, optional + 56);
    void* taken =
        mmap(preferred, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(taken, preferred);
    {
        const auto image = Load(file);
        EXPECT_NE(image->Base(), image->PreferredBase());
        EXPECT_STREQ(Exported<const char* (*)()>(*image, "Greeting")(), "relocated");
        EXPECT_EQ(Exported<std::uint32_t (*)(std::uint32_t)>(*image, "LastErrorRoundTrip")(1234),
                  1234u);
        Exported<std::uint32_t (*)()>(*image, "CountCalls")();
        EXPECT_EQ(Exported<std::uint32_t (*)()>(*image, "CountCalls")(), 2u);
    }
    std::vector<std::uint8_t> bare = file;
    SetField<std::uint32_t>(bare, optional + 96 + 5 * 8 + 4, 0);  // no relocation directory
    try {
        Load(bare);
        ADD_FAILURE() << "moved without relocations";
    } catch (const loader::LoadError& error) {
        EXPECT_STREQ(error.what(),
                     "the preferred base 0x400000 is taken and the image carries no relocations");
    }
    munmap(taken, size);
}

struct BadImage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> spoil;
    std::string message;  // the whole message; "..." stands for a part that varies
};

void SetImportsToOrdinal(std::vector<std::uint8_t>& file, std::uint16_t ordinal) {
    const SectionPlace idata = SectionNamed(file, ".idata");
    const std::size_t hint = Find(file, std::string_view("GetLastError", 13)) - 2;
    const std::uint32_t rva = static_cast<std::uint32_t>(hint - idata.rawOffset + idata.rva);
    for (std::size_t at = idata.rawOffset; at + 4 <= idata.rawOffset + idata.rawSize; at += 4) {
        if (Field<std::uint32_t>(file, at) == rva) {
            SetField<std::uint32_t>(file, at, 0x80000000u | ordinal);
        }
    }
}

TEST(Loader, RefusesEveryBadImageWithOneLine) {
    const BadImage cases[] = {
        {"an ELF program", [](auto& file) { file = loader::ReadImageFile(QUELTA_LOADER_PATH); },
         "not a PE image (no MZ signature)"},
        {"an image for x86-64",
         [](auto& file) { SetField<std::uint16_t>(file, PeHeader(file) + 4, 0x8664); },
         "not an image for i386 (machine 0x8664)"},
        {"a PE32+ image",
         [](auto& file) { SetField<std::uint16_t>(file, PeHeader(file) + 24, 0x20B); },
         "not a PE32 image (optional header magic 0x20B)"},
        {"cut in its headers", [](auto& file) { file.resize(PeHeader(file) + 60); },
         "truncated: the optional header at ..."},
        {"cut in its code",
         [](auto& file) { file.resize(SectionNamed(file, ".text").rawOffset + 16); },
         "truncated: section .text at ..."},
        {"an import by ordinal", [](auto& file) { SetImportsToOrdinal(file, 7); },
         "imports ordinal 7 from RTX_RTSS.SYS: only imports by name can be bound"},
        {"an import the platform does not have",
         [](auto& file) { file[Find(file, std::string_view("GetLastError", 13)) + 11] = 'x'; },
         "imports GetLastErrox from RTX_RTSS.SYS, which the stand-in platform does not have"},
        {"a relocation block that does not move on",
         [](auto& file) {
             SetField<std::uint32_t>(file, SectionNamed(file, ".reloc").rawOffset + 4, 0);
         },
         "relocation block at 0x... has a size of 0x0 that does not fit the relocation table"},
        {"a relocation outside the image",
         [](auto& file) {
             SetField<std::uint32_t>(file, SectionNamed(file, ".reloc").rawOffset, 0x7FFFF000);
         },
         "relocation outside the image: 0x7FFFF..."},
    };
    for (const BadImage& bad : cases) {
        std::vector<std::uint8_t> file = Probe();
        bad.spoil(file);
        std::string message = "(loaded)";
        try {
            Load(file);
        } catch (const loader::LoadError& error) {
            message = error.what();
        }
        const std::size_t gap = bad.message.find("...");
        if (gap == std::string::npos) {
            EXPECT_EQ(message, bad.message) << bad.what;
        } else {
            const std::string tail = bad.message.substr(gap + 3);
            EXPECT_TRUE(message.starts_with(bad.message.substr(0, gap)) && message.ends_with(tail))
                << bad.what << ": " << message;
        }
        EXPECT_EQ(message.find('\n'), std::string::npos) << bad.what;
    }
}

// --- quelta-rtss-run ---

TEST(QueltaRtssRun, EntersTheImageWithItsWideArgumentVector) {
    const std::string image = ProbePath("Release");
    const auto run = testsupport::Run(QUELTA_LOADER_PATH, {image, "-Q", "5", "Grüße €"});
    EXPECT_EQ(run.out, "0 " + image + "\n1 -Q\n2 5\n3 Grüße €\n");
    EXPECT_EQ(run.exitCode, 4) << run.err;
}

TEST(QueltaRtssRun, NamesWhatIsWrongOnOneLineWithExitCode2) {
    const std::string cut = ::testing::TempDir() + "cut.rtss";
    const std::vector<std::uint8_t> file = Probe();
    std::ofstream(cut, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(200));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "usage: quelta-rtss-run IMAGE [options of the image]\n"},
        {{"/nonexistent/quelta-driver.rtss", "-Q", "5"},
         "quelta-rtss-run: /nonexistent/quelta-driver.rtss: cannot read it: No such file or "
         "directory\n"},
        {{"/tmp"}, "quelta-rtss-run: /tmp: cannot read it: not a regular file\n"},
        {{cut},
         "quelta-rtss-run: " + cut +
             ": truncated: the optional header at 0xD0 ends beyond the 0xC8 bytes of the "
             "file\n"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto run = testsupport::Run(QUELTA_LOADER_PATH, arguments);
        EXPECT_EQ(run.exitCode, 2) << message;
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(run.out, "");
    }
    std::remove(cut.c_str());
}

// --- The C runtime as the target has it ---

__attribute__((format(printf, 3, 4))) std::int32_t Format(char* buffer, std::size_t size,
                                                          const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::int32_t result = loader::RuntimeVsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    return result;
}

// A result that does not fit is cut without a terminator; -1 unless exactly the characters fit.
TEST(StandIns, VsnprintfGivesTheTargetRuntimesResults) {
    const std::pair<std::size_t, std::pair<std::int32_t, std::string>> cases[] = {
        {8, {5, std::string("42-ab\0##", 8)}},
        {6, {5, std::string("42-ab\0##", 8)}},
        {5, {5, "42-ab###"}},
        {3, {-1, "42-#####"}},
        {0, {-1, "########"}},
    };
    for (const auto& [size, expected] : cases) {
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(Format(buffer, size, "%d-%s", 42, "ab"), expected.first) << size;
        EXPECT_EQ(std::string(buffer, sizeof buffer), expected.second) << size;
    }
}

}  // namespace
