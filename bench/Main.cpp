// kelmor-bench: prints its figures as "name: value" lines, each with the
// baseline it is to be compared with from the same run.
//   kelmor-bench            full sizes (1 GiB files; several minutes)
//   kelmor-bench --small    small sizes, a smoke test
//   kelmor-bench --journal  only the store journal's figures
#include "Bench.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace kelmor::bench;

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--peak-child") == 0)
        return peakChild(argv[2]);
    const bool small = argc > 1 && std::strcmp(argv[1], "--small") == 0;
    // --rewrite: only the figures of the CSV rewrite and the long line.
    const bool rewriteOnly = argc > 1 && std::strcmp(argv[argc - 1], "--rewrite") == 0;
    const bool journalOnly = argc > 1 && std::strcmp(argv[argc - 1], "--journal") == 0;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    const std::string shmRoot = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    const std::string shmDir = shmRoot + "/kelmor-bench-" + std::to_string(::getpid());
    const std::string diskDir =
        std::filesystem::absolute(".kelmor-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(shmDir);
    std::filesystem::create_directories(diskDir);

    const std::size_t big = small ? (8u << 20) : (1u << 30);
    std::printf("# kelmor-bench (%s): memory files in %s, disk files in %s\n",
                small ? "small" : "full", shmDir.c_str(), diskDir.c_str());
    if (journalOnly) {
        QApplication app(argc, argv);
        journalBench(shmDir, diskDir, small);
        std::filesystem::remove_all(shmDir);
        std::filesystem::remove_all(diskDir);
        return 0;
    }
    if (rewriteOnly) {
        QApplication app(argc, argv);
        longLine(shmDir, small);
        rewriteBench(shmDir, diskDir, small);
        std::filesystem::remove_all(shmDir);
        std::filesystem::remove_all(diskDir);
        return 0;
    }
    storeCost(shmDir, diskDir,
              small ? std::vector<std::size_t>{1u << 20, 8u << 20}
                    : std::vector<std::size_t>{1u << 20, 64u << 20, 1u << 30},
              small);
    noEtxStream(small ? std::vector<std::size_t>{1u << 20, 8u << 20}
                      : std::vector<std::size_t>{8u << 20, 64u << 20});
    peakMemory(argv[0], shmDir, big);

    QApplication app(argc, argv);
    windowBench(shmDir, diskDir, big, small ? 200 : 2000);
    longLine(shmDir, small);
    rewriteBench(shmDir, diskDir, small);
    journalBench(shmDir, diskDir, small);

    std::filesystem::remove_all(shmDir);
    std::filesystem::remove_all(diskDir);
    return 0;
}
