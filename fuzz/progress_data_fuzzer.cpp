// Raw bytes as a progress data file: read back into a region, and written again when they
// read, which must give a file that reads.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "platform/Text.h"
#include "progress/ProgressFile.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = "/tmp/ravlin-fuzz-progress-" + std::to_string(::getpid());
    static const std::wstring wide = platform::Utf8ToWide(folder);
    static bool made = platform::CreateDirectory(wide);
    (void)made;
    FILE* file = std::fopen((folder + "/in").c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    CreateInfoStore infos;
    SavedPayloads saved(infos);
    ScanProgressSnapshot snapshot;
    const uint64_t base = size > 0 ? uint64_t{data[0]} << 20 : 0;
    if (!ReadData(wide, L"in", snapshot, base, saved)) return 0;
    auto find = [&](uint64_t word) { return infos.Find(word); };
    if (!WriteData(wide, L"out", snapshot, base, find)) __builtin_trap();
    ScanProgressSnapshot again;
    if (!ReadData(wide, L"out", again, base, saved) || again.items.size() > snapshot.items.size() ||
        again.nameRecords.size() != snapshot.nameRecords.size())
        __builtin_trap();
    return 0;
}
