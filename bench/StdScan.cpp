// Prints every entry below a directory that is not a directory, as std::filesystem's recursive
// iterator finds them: the standard library's side of bench/scan_compare.py.
#include <cstdio>
#include <filesystem>
#include <system_error>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: StdScan DIR\n");
        return 2;
    }
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(argv[1], error), end; it != end;
         it.increment(error)) {
        if (!it->is_directory(error)) {
            std::puts(it->path().c_str());
        }
    }
    return 0;
}
