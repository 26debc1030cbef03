// Cost of registering a large host catalogue with a scheduler: 100,000 descriptors spread over
// 1,000 bundles, every descriptor in two bundles (200 descriptors per bundle); the same in
// 10,000 smaller bundles (20 each); and 10,000 to 200,000 descriptors in one bundle. The cost
// per descriptor must not depend on the bundle size: linking an item updates its bundle's
// aggregate in constant time.
//
// Reported per descriptor ("item"): registration time, the heap the scheduler keeps for it, and
// the peak heap during registration. Heap figures come from counting every global operator new
// and delete of the process, the library's included; the process's peak RSS is reported too.

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <deque>
#include <malloc.h>
#include <memory>
#include <new>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void* countedAllocate(std::size_t size) {
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    std::size_t const now =
        liveBytes.fetch_add(malloc_usable_size(memory)) + malloc_usable_size(memory);
    std::size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return memory;
}

void countedFree(void* memory) noexcept {
    if (memory != nullptr) {
        liveBytes.fetch_sub(malloc_usable_size(memory));
        std::free(memory);
    }
}

}  // namespace

void* operator new(std::size_t size) {
    return countedAllocate(size);
}
void* operator new[](std::size_t size) {
    return countedAllocate(size);
}
void operator delete(void* memory) noexcept {
    countedFree(memory);
}
void operator delete[](void* memory) noexcept {
    countedFree(memory);
}
void operator delete(void* memory, std::size_t /*size*/) noexcept {
    countedFree(memory);
}
void operator delete[](void* memory, std::size_t /*size*/) noexcept {
    countedFree(memory);
}

namespace {

using namespace Tiskel::App;

constexpr std::size_t kCatalogueSize = 100000;

// Never asked to download: registration queues nothing.
class IdleDownloader final : public IResourceDownloader {
  public:
    Result exec(Task /*task*/) const override { return Failed; }
    void abort() override {}
    int64_t requestLastModified(ResourceDescriptor const* /*descriptor*/) const override {
        return 0;
    }
};

// The host's side: descriptors with realistic paths, and bundles that share them.
struct Catalogue {
    std::deque<ResourceDescriptor> descriptors;
    std::vector<ResourceDescriptorBundle> bundles;

    Catalogue(std::size_t descriptorCount, std::size_t bundleCount) : bundles(bundleCount) {
        for (std::size_t i = 0; i < descriptorCount; ++i) {
            ResourceDescriptor& descriptor = descriptors.emplace_back();
            std::string const name = "resource" + std::to_string(i);
            descriptor.localPath = "/var/cache/app/" + name;
            descriptor.tempPath = "/var/cache/app/" + name + ".part";
            descriptor.downloadPath = descriptor.localPath;
            descriptor.category = "catalogue";
            descriptor.name = name;
            descriptor.remotePath = "content/" + name;
            descriptor.baseUrl = "https://content.example.com";
            descriptor.updatePolicy = ResourceDescriptor::IfModified;
            // With i = round * bundleCount + slot, the second bundle is shifted by round + 1, so
            // it always differs from the first, and every bundle gets as many descriptors as
            // second members as it gets as first members.
            std::size_t const slot = i % bundleCount;
            std::size_t const round = i / bundleCount;
            bundles[slot].descriptors.insert(&descriptor);
            bundles[(slot + round + 1) % bundleCount].descriptors.insert(&descriptor);
        }
    }
};

std::unique_ptr<RemoteResourceScheduler> makeScheduler() {
    auto queue = std::make_shared<Tiskel::Core::TaskQueueImmediate>();
    return std::make_unique<RemoteResourceScheduler>(
        std::make_shared<IdleDownloader>(), queue, queue, std::make_shared<PostProcessorStub>(),
        std::make_shared<ValidatorStub>(), std::make_shared<EventTracerStub>(),
        std::make_shared<DownloadRetrierStub>());
}

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

void BM_RegisterSharedCatalogue(benchmark::State& state) {
    auto const descriptors = static_cast<std::size_t>(state.range(0));
    Catalogue const catalogue(descriptors, static_cast<std::size_t>(state.range(1)));
    std::size_t retained = 0;
    std::size_t peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto scheduler = makeScheduler();
        std::size_t const before = liveBytes.load();
        peakBytes.store(before);
        state.ResumeTiming();

        for (auto const& bundle : catalogue.bundles) {
            benchmark::DoNotOptimize(scheduler->registerResource(&bundle));
        }

        state.PauseTiming();
        retained = liveBytes.load() - before;
        peak = peakBytes.load() - before;
        scheduler.reset();
        state.ResumeTiming();
    }
    auto const items = static_cast<double>(descriptors);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * descriptors));
    state.counters["time_per_item"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * items,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["heap_B_per_item"] = static_cast<double>(retained) / items;
    state.counters["peak_heap_B_per_item"] = static_cast<double>(peak) / items;
    state.counters["peak_rss_MiB"] = peakRssMiB();
}
BENCHMARK(BM_RegisterSharedCatalogue)
    ->ArgNames({"descriptors", "bundles"})
    ->Args({10000, 1})
    ->Args({50000, 1})
    ->Args({100000, 1})
    ->Args({200000, 1})
    ->Args({100000, 1000})
    ->Args({100000, 10000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Registering bundles that are already known: one lookup per bundle.
void BM_RegisterKnownBundles(benchmark::State& state) {
    Catalogue const catalogue(kCatalogueSize, 1000);
    auto scheduler = makeScheduler();
    for (auto const& bundle : catalogue.bundles) {
        scheduler->registerResource(&bundle);
    }
    for (auto _ : state) {
        for (auto const& bundle : catalogue.bundles) {
            benchmark::DoNotOptimize(scheduler->registerResource(&bundle));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * catalogue.bundles.size()));
}
BENCHMARK(BM_RegisterKnownBundles)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
