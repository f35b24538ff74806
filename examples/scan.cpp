// Scans a directory tree for files whose names match a wildcard pattern, with Dir.
//
// usage: example_scan [DIRECTORY [PATTERN]]
// Without arguments it builds a small tree in a temporary directory, scans it for "*.txt" and
// removes it again. The pattern is a shell wildcard (fnmatch) matched against entry names, not
// paths; directories are descended into, never listed, and symbolic links are listed but not
// followed. Matches come in the order the directory reader returns them, so they are sorted here.
#include <Ostrel/Dir.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::string top = argc > 1 ? argv[1] : "";
    const std::string pattern = argc > 2 ? argv[2] : "*.txt";
    fs::path demo;
    if (top.empty()) {
        demo = fs::temp_directory_path() / ("ostrel-scan-" + std::to_string(::getpid()));
        for (const char* file : {"a.txt", "b.log", "docs/c.txt", "docs/old/d.txt", "src/e.cpp"}) {
            fs::create_directories((demo / file).parent_path());
            std::ofstream(demo / file) << file << '\n';
        }
        top = demo.string();
    }

    Ostrel::Dir dir;
    dir.setPath(top, Ostrel::Dir::Normalize); // "/tmp//x/./y" becomes "/tmp/x/y/"
    if (!dir.isValid(Ostrel::Dir::AsGiven)) {
        std::cerr << top << ": not a directory\n";
        return 1;
    }
    std::vector<std::string> matches = dir.scan(pattern, true); // recursive
    std::sort(matches.begin(), matches.end());
    for (const std::string& path : matches) {
        std::cout << path << '\n';
    }
    std::cout << matches.size() << " match(es) for " << pattern << " below " << dir.path << '\n';

    if (!demo.empty()) {
        fs::remove_all(demo);
        return matches.size() == 3 ? 0 : 1; // a.txt, docs/c.txt, docs/old/d.txt
    }
    return 0;
}
