// The file system's floor for placing files durably, for bench/network.sh: copies every file of
// a folder into another the way a download with the flush to disk places its file (write under a
// temporary name, fdatasync, rename, fsync the folder), on THREADS threads, and nothing else: no
// network, no checks. What a durable run costs beyond this is the downloader's own.
//
//   DurableCopyFloor <source folder> <target folder> <threads>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool copyDurably(std::string const& from, std::string const& to, std::string const& folder) {
    int const in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    std::string const temporary = to + ".part";
    int const out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0;
    char buffer[64 * 1024];
    for (ssize_t got = 0; ok && (got = ::read(in, buffer, sizeof buffer)) != 0;) {
        ok = got > 0 && ::write(out, buffer, static_cast<size_t>(got)) == got;
    }
    ::close(in);
    ok = ok && ::fdatasync(out) == 0;
    ok = (out >= 0 && ::close(out) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), to.c_str()) == 0;
    int const directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && directory >= 0 && ::fsync(directory) == 0;
    if (directory >= 0) {
        ::close(directory);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <source folder> <target folder> <threads>\n", argv[0]);
        return 2;
    }
    std::string const source = argv[1];
    std::string const target = argv[2];
    int const threads = std::max(1, std::atoi(argv[3]));
    std::vector<std::string> names;
    if (DIR* const folder = ::opendir(source.c_str())) {
        while (dirent const* entry = ::readdir(folder)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(folder);
    }
    if (names.empty() || (::mkdir(target.c_str(), 0755) != 0 && errno != EEXIST)) {
        std::fprintf(stderr, "%s: nothing to copy, or %s cannot be made\n", argv[0],
                     target.c_str());
        return 2;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            for (size_t n; (n = next++) < names.size();) {
                if (!copyDurably(source + "/" + names[n], target + "/" + names[n], target)) {
                    failed = true;
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    return failed ? 1 : 0;
}
