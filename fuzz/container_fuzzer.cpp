// Raw bytes as a container file (EWF, VHD/VHDX, VMDK), opened through the container's library
// from a temporary file and read at a few places.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Containers.h"

using namespace ravlin::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        std::string made = "/tmp/ravlin-fuzz-container-" + std::to_string(::getpid());
        ::mkdir(made.c_str(), 0700);
        return made;
    }();
    const std::string path = folder + "/input";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    const ContainerKind kind = ContainerOf(fd);
    ::close(fd);
    if (kind == ContainerKind::Raw) return 0;
    int error = 0;
    auto backend = OpenContainerBackend(kind, path, error);
    if (!backend) return 0;
    const uint64_t media = backend->SizeBytes().value_or(0);
    std::vector<uint8_t> buffer(65536);
    for (uint64_t offset : {uint64_t{0}, media / 2, media > 65536 ? media - 65536 : 0, media + 512}) {
        IoResult got = backend->ReadAt(buffer.data(), offset, static_cast<uint32_t>(buffer.size()));
        if (got.transferred > buffer.size()) __builtin_trap();
    }
    return 0;
}
