// Scans one volume of an image with the file-system scanner and reports time and counts.
//   bench_fs_scan IMAGE [START_SECTOR] [--paths FILE]
// With --paths, writes the path of every visible node (one per line, UTF-8) for comparison
// with a peer's listing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "platform/Text.h"

using namespace ravlin;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [START_SECTOR] [--paths FILE]\n", argv[0]);
        return 64;
    }
    uint64_t start = 0;
    const char* pathsFile = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--paths") == 0 && i + 1 < argc) {
            pathsFile = argv[++i];
        } else {
            start = std::strtoull(argv[i], nullptr, 10);
        }
    }
    std::string path = argv[1];
    auto started = std::chrono::steady_clock::now();
    DiskReader reader;
    if (!reader.OpenPath(platform::Utf8ToWide(path))) return 66;
    std::shared_ptr<PartInfo> part;
    if (!DetectPartitionAt(reader, start, part, 0)) {
        std::fprintf(stderr, "no file system at sector %llu\n", static_cast<unsigned long long>(start));
        return 65;
    }
    if (!ScanPartition(*part, reader, nullptr, false, false)) return 70;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%.3f s, %u nodes, %u files, fs type %u\n", seconds, part->LiveNodeCount(),
                part->FileCount(), part->fsType);
    if (pathsFile) {
        std::ofstream out(pathsFile);
        part->ForEachNode([&](uint32_t id, const RFileNode& node) {
            if (!node.IsLive() || id == part->rootNodeId) return;
            std::wstring p = node.name;
            uint32_t at = node.parentId;
            for (int depth = 0; depth < 256 && at != part->rootNodeId; ++depth) {
                const RFileNode* parent = part->NodeAt(at);
                if (!parent || parent->parentId == at) break;
                p = parent->name + L"/" + p;
                at = parent->parentId;
            }
            out << platform::WideToUtf8(p) << "\n";
        });
    }
    // A host keeps the results; tearing 100,000 nodes down is not part of the scan.
    std::fflush(stdout);
    std::_Exit(0);
}
