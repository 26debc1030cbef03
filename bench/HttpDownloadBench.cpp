// Downloads through ResourceDownloaderHttp for bench/http_bench.sh, which serves the files and
// measures time and memory around this program.
//
//   HttpDownloadBench one  <url> <output file>
//       one download; prints the bytes, seconds and MiB/s.
//   HttpDownloadBench many <base url> <count> <threads> <output folder>
//       files f0000 .. f<count-1> under <base url>, shared out to <threads> threads; prints the
//       files per second.
//
// Exits with status 1 when any download does not succeed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/IHttpClient.h"

namespace {

using Tiskel::App::IResourceDownloader;
using Tiskel::App::ResourceDescriptor;
using Clock = std::chrono::steady_clock;

// Built as the download manager builds it: one shared client, the system proxy, always online.
std::unique_ptr<Tiskel::App::ResourceDownloaderHttp> makeDownloader() {
    std::shared_ptr<Tiskel::Networking::IHttpClient> client =
        Tiskel::Networking::createHttpClient(Tiskel::Networking::HttpClientDefault);
    return std::make_unique<Tiskel::App::ResourceDownloaderHttp>(
        client, std::make_shared<Tiskel::App::QtProxyProvider>(),
        std::make_shared<Tiskel::App::NetworkStateCheckerStub>());
}

IResourceDownloader::Task taskFor(ResourceDescriptor const* descriptor) {
    IResourceDownloader::Task task;
    task.descriptor = descriptor;
    task.onProgress = [](uint64_t, uint64_t) {};
    task.isCancelled = [] { return false; };
    return task;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int downloadOne(std::string const& url, std::string const& output) {
    auto const downloader = makeDownloader();
    ResourceDescriptor descriptor;
    descriptor.baseUrl = url.substr(0, url.rfind('/'));
    descriptor.remotePath = url.substr(url.rfind('/'));
    descriptor.tempPath = output + ".tmp";
    descriptor.downloadPath = output;
    std::atomic<uint64_t> received{0};
    IResourceDownloader::Task task = taskFor(&descriptor);
    task.onProgress = [&received](uint64_t now, uint64_t) { received = now; };

    auto const start = Clock::now();
    IResourceDownloader::Result const result = downloader->exec(task);
    double const seconds = secondsSince(start);
    if (result != IResourceDownloader::Success) {
        std::fprintf(stderr, "download failed with result %d\n", static_cast<int>(result));
        return 1;
    }
    std::printf("bytes=%llu seconds=%.3f MiB/s=%.1f\n",
                static_cast<unsigned long long>(received.load()), seconds,
                static_cast<double>(received.load()) / (1024.0 * 1024.0) / seconds);
    return 0;
}

int downloadMany(std::string const& baseUrl, int count, int threads, std::string const& folder) {
    auto const downloader = makeDownloader();
    std::vector<ResourceDescriptor> descriptors(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%04d", i);
        descriptors[i].baseUrl = baseUrl;
        descriptors[i].remotePath = name;
        descriptors[i].tempPath = folder + "/" + name + ".tmp";
        descriptors[i].downloadPath = folder + "/" + name;
    }
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    auto const start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = next++; i < count; i = next++) {
                if (downloader->exec(taskFor(&descriptors[i])) != IResourceDownloader::Success) {
                    ++failures;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    double const seconds = secondsSince(start);
    std::printf("files=%d threads=%d seconds=%.3f files/s=%.0f failures=%d\n", count, threads,
                seconds, count / seconds, failures.load());
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string const mode = argc > 1 ? argv[1] : "";
    if (mode == "one" && argc == 4) {
        return downloadOne(argv[2], argv[3]);
    }
    if (mode == "many" && argc == 6) {
        return downloadMany(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
    }
    std::fprintf(stderr,
                 "usage: %s one <url> <output file>\n"
                 "       %s many <base url> <count> <threads> <output folder>\n",
                 argv[0], argv[0]);
    return 2;
}
