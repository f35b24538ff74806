// FileLocator: a lookup that hits its first candidate costs one stat and no scan.
#include <Ostrel/FileLocator.h>
#include <Ostrel/SysInfo.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string root;

void locateOstrel(benchmark::State& state) {
    Ostrel::FileLocator locator(0);
    locator.searchDirs.push_back(root + "/");
    Ostrel::SysInfo::the();
    for (auto _ : state) {
        auto found = locator.locate("x.so", Ostrel::FileLocator::LibDomain, false);
        benchmark::DoNotOptimize(found.data());
    }
}

// The same path built and tested by hand.
void locateRaw(benchmark::State& state) {
    const std::string dir = root + "/";
    const std::string name = "x.so";
    std::string candidate;
    for (auto _ : state) {
        candidate = dir;
        candidate += "lib/";
        candidate += name;
        struct stat info;
        const bool ok = stat(candidate.c_str(), &info) == 0;
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(candidate.data());
    }
}

BENCHMARK(locateOstrel)->Name("LocateFirstHit/ostrel");
BENCHMARK(locateRaw)->Name("LocateFirstHit/raw");

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char templ[] = "/tmp/ostrel-locbench-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        return 1;
    }
    root = templ;
    mkdir((root + "/lib").c_str(), 0755);
    close(open((root + "/lib/x.so").c_str(), O_CREAT | O_WRONLY, 0644));
    // A large tree beside the hit: a scan would show as a large cost.
    for (int i = 0; i < 200; ++i) {
        const std::string d = root + "/d" + std::to_string(i);
        mkdir(d.c_str(), 0755);
        for (int f = 0; f < 20; ++f) {
            close(open((d + "/f" + std::to_string(f)).c_str(), O_CREAT | O_WRONLY, 0644));
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(root);
    return 0;
}
