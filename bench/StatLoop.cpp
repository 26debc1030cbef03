// The floor of a warm check: one stat() per path of a list, nothing kept. For bench/scale.sh.
//
//   StatLoop LIST FOLDER     LIST: one path per line, relative to FOLDER
// Prints how many paths were present.
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LIST FOLDER\n", argv[0]);
        return 2;
    }
    std::ifstream list(argv[1]);
    std::string const folder = std::string(argv[2]) + "/";
    std::string line;
    std::string path;
    long present = 0;
    while (std::getline(list, line)) {
        path.assign(folder).append(line);
        struct stat info {};
        present += ::stat(path.c_str(), &info) == 0 ? 1 : 0;
    }
    std::printf("present=%ld\n", present);
    return 0;
}
