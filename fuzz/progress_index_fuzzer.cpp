// Raw bytes as a progress index: read, and updated when they read.
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
    static const std::string folder = "/tmp/ravlin-fuzz-index-" + std::to_string(::getpid());
    static const std::wstring wide = platform::Utf8ToWide(folder);
    static bool made = platform::CreateDirectory(wide);
    (void)made;
    FILE* file = std::fopen((folder + "/index").c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    std::vector<ScanProgressIndexItem> entries;
    const bool read = ReadIndex(wide, L"index", entries);
    ScanProgressIndexItem entry;
    entry.dataFile = L"scan.rvpd";
    // A damaged index is never replaced; a good one takes the entry.
    if (UpdateIndex(wide, L"index", entry) != read) __builtin_trap();
    return 0;
}
