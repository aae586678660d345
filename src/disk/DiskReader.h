// The one gateway for raw reads: timed, chunked, mutex-guarded reads of 512-byte sectors.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Device.h"

namespace ravlin {

// What to open.
struct DiskSourceInfo {
    std::wstring devicePath;
    std::wstring displayName;
    uint64_t totalSectors = 0;  // whole device if known, else 0
    uint32_t reserved = 0;
    uint32_t limitChunk = 0;  // non-zero: small requests on small devices
};

// Time limits of one request.
struct ReadTimeouts {
    uint32_t shortMs = 4000;  // requests below 128 KiB
    uint32_t longMs = 8000;
    uint32_t graceMs = 3000;  // after cancelling
};

class DiskReader {
public:
    DiskReader() = default;
    ~DiskReader() { Close(); }
    DiskReader(const DiskReader&) = delete;
    DiskReader& operator=(const DiskReader&) = delete;

    // Told of every read that fails: (first sector, sectors). Kept across Open and Reopen.
    void SetFailureHook(std::function<void(uint64_t, uint32_t)> hook) { failureHook_ = std::move(hook); }

    // Opens the source of `src` read-only. The whole device stays readable when
    // src.totalSectors says it is larger than the region; the device's own size clips it.
    bool Open(const DiskSourceInfo& src, uint64_t startSector, uint64_t sectorCount);
    bool OpenPath(const std::wstring& path);
    // Opens again the way it was opened last; false without a stored path.
    bool Reopen();

    // 1 when all `count` sectors were read, else 0. The buffer always receives zeros where
    // nothing was read. Sector all ones reads as zeros (a sparse run).
    uint32_t ReadSectors(void* buffer, uint64_t sector, uint32_t count);
    // The same, with the device writing straight into `target` (no copy). When a request has to
    // be given up on, the device may still write into the old buffer later, so `target` is then
    // replaced by a fresh one holding what was read and zeros elsewhere.
    uint32_t ReadSectorsInto(std::shared_ptr<platform::IoBuffer>& target, uint64_t sector,
                             uint32_t count);
    // One timed request at a byte offset, without the lock and the bounds check.
    bool ReadBytes(void* buffer, uint64_t byteOffset, uint32_t length);

    void Close();
    bool IsClosed() const { return handle_ == nullptr; }
    // The last error says the device went away (system errors 2, 1006, 433).
    bool IsDeviceLost() const;
    void ResetErrorCounters();

    uint64_t LastSector() const { return lastSector_; }
    uint64_t TotalBytes() const { return totalBytes_; }
    uint64_t RegionStart() const { return regionStart_; }
    uint64_t RegionCount() const { return regionCount_; }
    const std::wstring& DevicePath() const { return devicePath_; }
    const std::wstring& DisplayName() const { return displayName_; }
    uint32_t ChunkSectors() const { return chunkSectors_; }
    uint32_t FailedReads() const { return failedReads_; }
    uint32_t ReadCalls() const { return readCalls_; }
    uint32_t HadError() const { return hadError_; }
    uint32_t LastError() const { return lastError_; }
    uint32_t LimitChunk() const { return limitChunk_; }
    uint32_t DeviceLostFlag() const { return deviceLost_; }
    bool OpenedByPath() const { return openedByPath_ != 0; }
    uint32_t OpenError() const { return openError_; }

    // The open device, for layout and extent queries.
    std::shared_ptr<platform::DeviceHandle> Handle() const { return handle_; }

    void SetTimeouts(const ReadTimeouts& timeouts) { timeouts_ = timeouts; }

private:
    bool OpenHandle(const std::wstring& path);
    uint32_t ReadLocked(uint8_t* buffer, std::shared_ptr<platform::IoBuffer>* target,
                        uint64_t sector, uint32_t count);
    bool ReadChunks(uint8_t* buffer, std::shared_ptr<platform::IoBuffer>* target, uint64_t sector,
                    uint32_t count);

    std::shared_ptr<platform::DeviceHandle> handle_;
    std::function<void(uint64_t, uint32_t)> failureHook_;
    std::wstring devicePath_;
    std::wstring displayName_;
    uint64_t lastSector_ = 0;
    uint64_t totalBytes_ = 0;
    std::atomic<uint32_t> deviceLost_{0};
    uint32_t lastError_ = 0;
    uint64_t regionStart_ = 0;
    uint64_t regionCount_ = 0;
    uint32_t openedByPath_ = 0;
    uint32_t chunkSectors_ = 2048;
    // Counted under the lock, read by other threads without it.
    std::atomic<uint32_t> failedReads_{0};
    std::atomic<uint32_t> readCalls_{0};
    std::atomic<uint32_t> hadError_{0};
    std::atomic<uint32_t> limitChunk_{0};
    uint32_t openError_ = 0;
    ReadTimeouts timeouts_;
    std::mutex lock_;
};

}  // namespace ravlin
