// Timed, chunked sector reads.
#include "disk/DiskReader.h"

#include <cstring>
#include <deque>

#include "platform/Errors.h"

namespace ravlin {
namespace {

constexpr uint64_t kSmallDeviceSectors = 0x11800000;  // about 140 GiB
constexpr uint32_t kSmallChunkSectors = 256;           // 128 KiB
constexpr uint32_t kShortRequestBytes = 0x20000;       // below: the short time limit
constexpr size_t kChunksInFlight = 8;  // queued at once; the I/O threads take them back to back

}  // namespace

bool DiskReader::OpenHandle(const std::wstring& path) {
    Close();
    uint32_t error = 0;
    handle_ = platform::OpenDevice(path, error);
    openError_ = error;
    return handle_ != nullptr;
}

bool DiskReader::Open(const DiskSourceInfo& src, uint64_t startSector, uint64_t sectorCount) {
    if (!OpenHandle(src.devicePath)) return false;
    devicePath_ = src.devicePath;
    displayName_ = src.displayName;
    deviceLost_ = 0;
    lastSector_ = startSector + sectorCount - 1;
    if (src.totalSectors != 0 && src.totalSectors > lastSector_) lastSector_ = src.totalSectors - 1;
    if (auto size = handle_->SizeBytes()) {
        uint64_t n = *size / 512;
        if (n != 0 && lastSector_ >= n) lastSector_ = n - 1;
        totalBytes_ = *size;
    } else {
        totalBytes_ = (lastSector_ + 1) * 512;
    }
    limitChunk_ = src.limitChunk != 0 ? 1 : 0;
    if (limitChunk_ != 0 && src.totalSectors < kSmallDeviceSectors) chunkSectors_ = kSmallChunkSectors;
    regionStart_ = startSector;
    regionCount_ = sectorCount;
    openedByPath_ = 0;
    failedReads_ = readCalls_ = hadError_ = lastError_ = 0;
    return true;
}

bool DiskReader::OpenPath(const std::wstring& path) {
    if (!OpenHandle(path)) return false;
    devicePath_ = path;
    displayName_ = path;
    deviceLost_ = failedReads_ = readCalls_ = hadError_ = lastError_ = limitChunk_ = 0;
    if (auto size = handle_->SizeBytes()) {
        totalBytes_ = *size;
        lastSector_ = *size / 512 - 1;
    }
    openedByPath_ = 1;
    return true;
}

bool DiskReader::Reopen() {
    if (devicePath_.empty()) return false;
    if (openedByPath_ == 0) {
        DiskSourceInfo src;
        src.devicePath = devicePath_;
        src.displayName = displayName_;
        src.totalSectors = 0;
        src.limitChunk = limitChunk_.load();
        uint64_t start = regionStart_, count = regionCount_;
        return Open(src, start, count);
    }
    std::wstring path = devicePath_;
    return OpenPath(path);
}

void DiskReader::Close() { handle_.reset(); }

bool DiskReader::IsDeviceLost() const { return platform::IsDeviceLostError(lastError_); }

void DiskReader::ResetErrorCounters() { failedReads_ = readCalls_ = hadError_ = lastError_ = 0; }

uint32_t DiskReader::ReadSectors(void* buffer, uint64_t sector, uint32_t count) {
    if (!buffer || count == 0) return 0;
    std::memset(buffer, 0, size_t{count} * 512);
    if (sector == ~uint64_t{0}) return 1;
    if (deviceLost_) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    return ReadLocked(static_cast<uint8_t*>(buffer), nullptr, sector, count);
}

uint32_t DiskReader::ReadSectorsInto(std::shared_ptr<platform::IoBuffer>& target, uint64_t sector,
                                     uint32_t count) {
    if (!target || count == 0 || target->Size() < size_t{count} * 512) return 0;
    if (sector == ~uint64_t{0} || deviceLost_) {
        std::memset(target->Data(), 0, size_t{count} * 512);
        return sector == ~uint64_t{0} ? 1 : 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    return ReadLocked(nullptr, &target, sector, count);
}

uint32_t DiskReader::ReadLocked(uint8_t* buffer, std::shared_ptr<platform::IoBuffer>* target,
                                uint64_t sector, uint32_t count) {
    if (sector > lastSector_) {
        if (target) std::memset((*target)->Data(), 0, size_t{count} * 512);
        return 0;
    }
    if (sector + count - 1 > lastSector_) {
        uint32_t clipped = static_cast<uint32_t>(lastSector_ - sector + 1);
        if (target) {
            std::memset((*target)->Data() + size_t{clipped} * 512, 0,
                        size_t{count - clipped} * 512);
        }
        count = clipped;
    }
    bool ok = ReadChunks(buffer, target, sector, count);
    // A source that shrank under the reader (a detached loop device, a truncated image) has
    // gone as far as these sectors are concerned: it is lost, not a source of zeros.
    if (!ok && !platform::IsDeviceLostError(lastError_) && handle_) {
        auto size = handle_->SizeBytes();
        if (size && *size < totalBytes_ && *size / 512 < sector + count) lastError_ = platform::kErrorNoSuchDevice;
    }
    if (!ok && platform::IsDeviceLostError(lastError_)) deviceLost_ = 1;
    ++readCalls_;
    if (!ok) {
        ++failedReads_;
        hadError_ = 1;
        if (failureHook_) failureHook_(sector, count);
    }
    return ok ? 1 : 0;
}

// Chunks are served in order while the next ones are already in flight. With `buffer`, each
// request reads into a buffer of its own and is copied out on success; with `target`, requests
// read straight into it.
bool DiskReader::ReadChunks(uint8_t* buffer, std::shared_ptr<platform::IoBuffer>* target,
                            uint64_t sector, uint32_t count) {
    uint32_t chunks = (count + chunkSectors_ - 1) / chunkSectors_;
    auto chunkLength = [&](uint32_t i) {
        uint32_t rest = count % chunkSectors_;
        return (i + 1 == chunks && rest != 0) ? rest : chunkSectors_;
    };
    size_t chunkBytes = size_t{chunkSectors_} * 512;
    std::deque<std::shared_ptr<platform::ReadRequest>> inFlight;
    uint32_t submitted = 0;

    // After a failure at chunk `failed`: nothing may write into the caller's memory once we
    // return. Requests still queued are cancelled; one still running pins the old target.
    auto fail = [&](uint32_t failed, const std::shared_ptr<platform::ReadRequest>& current) {
        hadError_ = 1;
        bool running = current && !current->Done();
        for (auto& r : inFlight) {
            if (handle_) handle_->CancelRequest(*r);
            running |= !r->Done();
        }
        if (target) {
            size_t good = failed * chunkBytes;
            if (running) {
                auto fresh = platform::IoBuffer::Allocate((*target)->Size());
                std::memcpy(fresh->Data(), (*target)->Data(), good);
                *target = std::move(fresh);
            }
            std::memset((*target)->Data() + good, 0, size_t{count} * 512 - good);
        }
        return false;
    };

    if (!handle_) return fail(0, nullptr);
    for (uint32_t i = 0; i < chunks; ++i) {
        while (submitted < chunks && submitted < i + kChunksInFlight) {
            uint64_t first = sector + uint64_t{submitted} * chunkSectors_;
            uint32_t bytes = chunkLength(submitted) * 512;
            inFlight.push_back(target ? handle_->Submit(first * 512, bytes, *target,
                                                        submitted * chunkBytes)
                                      : handle_->Submit(first * 512, bytes));
            ++submitted;
        }
        std::shared_ptr<platform::ReadRequest> request = std::move(inFlight.front());
        inFlight.pop_front();
        uint32_t bytes = chunkLength(i) * 512;
        uint32_t waitMs = bytes < kShortRequestBytes ? timeouts_.shortMs : timeouts_.longMs;
        if (!request->Wait(waitMs)) {
            handle_->CancelRequest(*request);
            // The cancel completed in time: the chunk failed even if its data arrived.
            if (request->Wait(timeouts_.graceMs)) lastError_ = platform::kErrorOperationAborted;
            return fail(i, request);
        }
        if (!request->Succeeded()) {
            lastError_ = request->Error();
            return fail(i, request);
        }
        if (buffer) std::memcpy(buffer + i * chunkBytes, request->Data(), bytes);
    }
    return true;
}

bool DiskReader::ReadBytes(void* buffer, uint64_t byteOffset, uint32_t length) {
    if (!buffer || length == 0 || !handle_) return false;
    uint32_t waitMs = length < kShortRequestBytes ? timeouts_.shortMs : timeouts_.longMs;
    uint32_t error = handle_->ReadTimed(buffer, byteOffset, length, waitMs, timeouts_.graceMs);
    if (error != platform::kErrorSuccess) {
        if (error != platform::kErrorTimeout) lastError_ = error;
        hadError_ = 1;
        return false;
    }
    return true;
}

}  // namespace ravlin
