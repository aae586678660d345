// Runs the raw pass alone (no file-system pass, carving on) over a whole source and prints
// MB/s, the files carved and the process's peak resident memory.
//   bench_raw_pass PATH
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/DiskRecoveryEngine.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
        return 64;
    }
    std::error_code ec;
    uint64_t bytes = std::filesystem::file_size(argv[1], ec);
    if (ec) return 66;
    ScanInput input;
    input.devicePath = ravlin::platform::Utf8ToWide(argv[1]);
    input.sectorCount = bytes / 512;
    input.scanMode = 1;  // the raw pass and what follows it, no file-system pass
    ravlin::DiskRecoveryEngine engine(input);
    auto started = std::chrono::steady_clock::now();
    engine.Run();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double mb = static_cast<double>(engine.Output()->scannedSectors.load()) * 512 / 1e6;
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%.1f MB/s (%.0f MB in %.3f s), %llu files carved, peak RSS %.0f MiB\n", mb / seconds, mb, seconds,
                static_cast<unsigned long long>(engine.Output()->carvedFiles.load()),
                static_cast<double>(usage.ru_maxrss) / 1024);
    return 0;
}
