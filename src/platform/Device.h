// Opened sources (image files, block devices) and timed reads from them.
//
// A DeviceBackend performs blocking reads. A DeviceHandle runs them on I/O threads of its own so
// that a caller can wait with a time limit: every request owns its buffer until the backend is
// done with it, so a request that is given up on never writes into the caller's memory, and a
// backend stuck in a read only costs that one thread, not the reads that follow.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ravlin::platform {

// Result of one blocking read: bytes transferred and the errno of a failure (0 on success).
struct IoResult {
    uint32_t transferred = 0;
    int errnoValue = 0;
};

// One extent of a volume on a physical drive.
struct DiskExtent {
    uint32_t diskNumber = 0;
    uint64_t startingOffset = 0;  // bytes
    uint64_t length = 0;          // bytes
};

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    // Reads `length` bytes at byte `offset` into `destination` (4096-byte aligned, at least
    // `length` long). Called from I/O threads, possibly several at once.
    virtual IoResult ReadAt(uint8_t* destination, uint64_t offset, uint32_t length) = 0;
    // Size in bytes, when the source can tell.
    virtual std::optional<uint64_t> SizeBytes() = 0;
    // Where a volume lies on a physical drive; empty for a whole disk or an unknown source.
    virtual std::optional<std::vector<DiskExtent>> VolumeExtents() { return std::nullopt; }
    // Text for messages: the file or device it reads.
    virtual std::wstring Describe() const = 0;
};

// A page-aligned buffer shared between its owner and the reads that fill it.
class IoBuffer {
public:
    // A buffer of `bytes`; buffers of up to 1 MiB are recycled through a pool.
    static std::shared_ptr<IoBuffer> Allocate(size_t bytes);
    ~IoBuffer();
    IoBuffer(const IoBuffer&) = delete;
    IoBuffer& operator=(const IoBuffer&) = delete;

    uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }

private:
    IoBuffer(uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t* data_;
    size_t size_;
};

using IoBufferPtr = std::shared_ptr<IoBuffer>;

// One read in flight. It keeps its target buffer alive until the backend is done with it.
class ReadRequest {
public:
    ReadRequest(uint64_t offset, uint32_t length, std::shared_ptr<IoBuffer> target, size_t at);
    ~ReadRequest();
    ReadRequest(const ReadRequest&) = delete;
    ReadRequest& operator=(const ReadRequest&) = delete;

    // Waits up to `timeoutMs`; true once the request has completed (successfully or not).
    bool Wait(uint32_t timeoutMs);
    bool Done();
    bool Succeeded();   // completed, not cancelled, and every byte arrived
    uint32_t Error();   // system error code of a completed request that did not succeed
    const uint8_t* Data() const { return target_->Data() + at_; }
    uint64_t Offset() const { return offset_; }
    uint32_t Length() const { return length_; }

private:
    friend class DeviceHandle;
    friend struct IoShared;
    void Complete(IoResult result, bool aborted);

    uint64_t offset_;
    uint32_t length_;
    std::shared_ptr<IoBuffer> target_;
    size_t at_;
    std::mutex lock_;
    std::condition_variable done_;
    bool completed_ = false;
    bool cancelled_ = false;
    bool started_ = false;
    bool aborted_ = false;
    IoResult result_;
};

struct IoShared;

// An open source. Reads are submitted to its I/O threads and waited for with time limits.
class DeviceHandle {
public:
    explicit DeviceHandle(std::shared_ptr<DeviceBackend> backend);
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    // Starts a read into a buffer of its own; never null. When every I/O thread is stuck in a
    // read that was given up on, the request completes at once with a timeout error.
    std::shared_ptr<ReadRequest> Submit(uint64_t offset, uint32_t length);
    // Starts a read into `target` at byte `at` (which must hold `length` more bytes).
    std::shared_ptr<ReadRequest> Submit(uint64_t offset, uint32_t length,
                                        std::shared_ptr<IoBuffer> target, size_t at);

    // One read with the usual limits: wait `timeoutMs`, then cancel and wait `graceMs` more.
    // Copies into `destination` only on success. Returns the system error code (0 = success).
    uint32_t ReadTimed(void* destination, uint64_t offset, uint32_t length, uint32_t timeoutMs,
                       uint32_t graceMs);

    // Gives a request up. One that has not started yet completes at once as aborted; one that
    // runs keeps its buffer until the backend returns, and its thread counts as stuck.
    void CancelRequest(ReadRequest& request);

    std::optional<uint64_t> SizeBytes();
    std::optional<std::vector<DiskExtent>> VolumeExtents();
    std::wstring Describe() const;

    // I/O threads currently stuck in reads that were given up on (for tests and diagnostics).
    uint32_t StuckThreads() const;

private:
    std::shared_ptr<IoShared> shared_;
    std::shared_ptr<DeviceBackend> backend_;
};

// Called on the I/O thread between the backend's return and the request's completion (tests
// of cancels that land there); null removes it.
void SetServeHookForTesting(void (*hook)(ReadRequest&));

// Factory of a backend for a registered test device.
using BackendFactory = std::function<std::shared_ptr<DeviceBackend>()>;

// Opens a source read-only: a name of the device table ("\\.\PhysicalDriveN", "\\.\X:"), an
// image file or a block device. On failure returns null and sets `error` (system code).
std::shared_ptr<DeviceHandle> OpenDevice(const std::wstring& path, uint32_t& error);

// The backend for a file or block device path (read-only; O_DIRECT where the file system
// allows it).
std::shared_ptr<DeviceBackend> OpenFileBackend(const std::string& path, int& errnoValue);

}  // namespace ravlin::platform
