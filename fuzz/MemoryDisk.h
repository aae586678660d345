// A disk held in memory, opened through the device table like any other source.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "disk/DiskReader.h"
#include "platform/DeviceTable.h"

namespace ravlin::fuzz {

class MemoryBackend final : public platform::DeviceBackend {
public:
    explicit MemoryBackend(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    platform::IoResult ReadAt(uint8_t* destination, uint64_t offset, uint32_t length) override {
        if (offset >= bytes_.size()) return {0, 0};
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes_.size() - offset));
        std::memcpy(destination, bytes_.data() + offset, n);
        return {n, 0};
    }
    std::optional<uint64_t> SizeBytes() override { return bytes_.size(); }
    std::wstring Describe() const override { return L"memory"; }

private:
    std::vector<uint8_t> bytes_;
};

// Opens `bytes` (padded to whole sectors) as a disk.
inline bool OpenMemoryDisk(DiskReader& reader, const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
    auto backend = std::make_shared<MemoryBackend>(std::move(bytes));
    static const wchar_t* kName = L"\\\\.\\PhysicalDrive63";
    platform::RegisterDeviceFactory(kName, [backend] { return backend; });
    bool ok = reader.OpenPath(kName);
    platform::UnregisterDevice(kName);
    return ok;
}

}  // namespace ravlin::fuzz
