// Reads a whole source through DiskReader in 8 MiB ReadSectors calls and prints MB/s.
//   bench_reader PATH
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "disk/DiskReader.h"
#include "engine/BlockQueue.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
        return 64;
    }
    std::string path = argv[1];
    ravlin::DiskReader reader;
    if (!reader.OpenPath(std::wstring(path.begin(), path.end()))) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 66;
    }
    uint64_t sectors = reader.LastSector() + 1;
    ravlin::BlockData block = ravlin::AllocateBlock();
    auto started = std::chrono::steady_clock::now();
    uint64_t failed = 0;
    for (uint64_t s = 0; s < sectors; s += ravlin::kBlockSectors) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(ravlin::kBlockSectors, sectors - s));
        if (!reader.ReadSectorsInto(block, s, count)) ++failed;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double mb = static_cast<double>(sectors) * 512 / 1e6;
    std::printf("%.1f MB/s (%.0f MB in %.3f s, %llu failed reads)\n", mb / seconds, mb, seconds,
                static_cast<unsigned long long>(failed));
    return failed ? 74 : 0;
}
