// A backend that serves an image and injects real faults: failing sectors, reads that hang,
// and a device that vanishes. Registered under a device name, it sits beneath the reader
// exactly where a failing disk would.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Device.h"

namespace ravlin::platform {

class FaultInjectingBackend final : public DeviceBackend {
public:
    explicit FaultInjectingBackend(std::shared_ptr<DeviceBackend> image);

    // Reads touching [first, first + count) fail with `errnoValue`.
    void FailSectors(uint64_t first, uint64_t count, int errnoValue = 5 /* EIO */);
    // Reads touching [first, first + count) hang for `holdMs` (until ReleaseHeld), then serve.
    void HoldSectors(uint64_t first, uint64_t count, uint32_t holdMs);
    void ReleaseHeld();
    // From now on every read and size query fails with `errnoValue` (ENODEV by default).
    void Vanish(int errnoValue = 19 /* ENODEV */);
    void Reappear();
    // Clears every fault.
    void Heal();
    // Reads fail once the device has served `reads` more of them.
    void VanishAfter(uint64_t reads, int errnoValue = 19);

    // What reached the device: (byte offset, length) of every read.
    std::vector<std::pair<uint64_t, uint32_t>> Reads() const;
    void ClearReads();
    uint32_t HeldNow() const;

    IoResult ReadAt(uint8_t* destination, uint64_t offset, uint32_t length) override;
    std::optional<uint64_t> SizeBytes() override;
    std::wstring Describe() const override;

private:
    struct Range {
        uint64_t first, count;
        int errnoValue;
        uint32_t holdMs;
    };
    bool Touches(const Range& r, uint64_t offset, uint32_t length) const;

    std::shared_ptr<DeviceBackend> image_;
    mutable std::mutex lock_;
    std::condition_variable released_;
    std::vector<Range> failures_;
    std::vector<Range> holds_;
    uint64_t releaseGeneration_ = 0;
    uint32_t heldNow_ = 0;
    int vanished_ = 0;
    std::optional<uint64_t> vanishAfter_;
    int vanishAfterErrno_ = 0;
    std::vector<std::pair<uint64_t, uint32_t>> reads_;
};

}  // namespace ravlin::platform
