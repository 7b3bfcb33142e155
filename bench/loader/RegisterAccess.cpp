// Register accesses per second on a channel of the simulated board: made by host code through the
// host backend, as quelta-driver makes them; by the target image through quelta-rtss-run, whose
// calls of the image's access routines go straight to the host; and by the image with every
// access left to the trap (a fault, decoded and emulated), the loader's general fall-back.
// Loads read LSR, stores write the scratch register. Usage: bench_loader_register_access
// [Google Benchmark options].
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/Rtss.h"
#include "platform/host/HostMachine.h"
#include "platform/host/RegisterDevice.h"
#include "platform/loader/Image.h"
#include "platform/loader/StandIns.h"
#include "platform/loader/Traps.h"

namespace {

constexpr std::uint32_t Lsr = 0x05;
constexpr std::uint32_t Scratch = 0x07;
constexpr std::uint32_t Batch = 1000;  // accesses per call into the image

volatile std::uint8_t* Window() {
    static volatile std::uint8_t* window = [] {
        sim::MachineOptions options;
        options.manualTime = true;
        auto loaded = sim::LoadMachine(
            "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
            "clock=14745600\n",
            "benchmark", options);
        if (!loaded.machine) {
            std::fprintf(stderr, "%s\n", loaded.error.c_str());
            std::exit(1);
        }
        host::InstallMachine(std::move(loaded.machine), host::InterruptDelivery::Manual);
        return static_cast<volatile std::uint8_t*>(
            host::MapRegisterDevice(&host::CurrentMachine().GetBoard(0), 0x1000));
    }();
    return window;
}

const loader::LoadedImage& Image(bool redirect) {
    static const std::vector<std::uint8_t> file = loader::ReadImageFile(QUELTA_BENCH_IMAGE);
    static std::unique_ptr<loader::LoadedImage> images[2];
    auto& image = images[redirect ? 1 : 0];
    if (!image) {
        loader::InstallTraps();
        image = loader::LoadedImage::Load(
            file, {.libraries = loader::StandInPlatform(), .redirectCalls = redirect});
    }
    return *image;
}

void HostLoads(benchmark::State& state) {
    const volatile std::uint8_t* lsr = Window() + Lsr;
    for (auto _ : state) benchmark::DoNotOptimize(RtLoadRegister8(lsr));
    state.SetItemsProcessed(state.iterations());
}

void HostStores(benchmark::State& state) {
    volatile std::uint8_t* scratch = Window() + Scratch;
    std::uint8_t value = 0;
    for (auto _ : state) RtStoreRegister8(scratch, ++value);
    state.SetItemsProcessed(state.iterations());
}

void ImageLoads(benchmark::State& state, bool redirect) {
    using Loop = std::uint32_t (*)(const volatile std::uint8_t*, std::uint32_t);
    const auto loop = reinterpret_cast<Loop>(Image(redirect).Exported("LoadRegister"));
    for (auto _ : state) benchmark::DoNotOptimize(loop(Window() + Lsr, Batch));
    state.SetItemsProcessed(state.iterations() * Batch);
}

void ImageStores(benchmark::State& state, bool redirect) {
    using Loop = void (*)(volatile std::uint8_t*, std::uint32_t);
    const auto loop = reinterpret_cast<Loop>(Image(redirect).Exported("StoreRegister"));
    for (auto _ : state) loop(Window() + Scratch, Batch);
    state.SetItemsProcessed(state.iterations() * Batch);
}

}  // namespace

BENCHMARK(HostLoads);
BENCHMARK(HostStores);
BENCHMARK_CAPTURE(ImageLoads, redirected, true);
BENCHMARK_CAPTURE(ImageStores, redirected, true);
BENCHMARK_CAPTURE(ImageLoads, trapped, false);
BENCHMARK_CAPTURE(ImageStores, trapped, false);

BENCHMARK_MAIN();
