// Fault injection beneath the reader.
#include "platform/FaultInjection.h"

#include <chrono>

namespace ravlin::platform {

FaultInjectingBackend::FaultInjectingBackend(std::shared_ptr<DeviceBackend> image)
    : image_(std::move(image)) {}

void FaultInjectingBackend::FailSectors(uint64_t first, uint64_t count, int errnoValue) {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.push_back({first, count, errnoValue, 0});
}

void FaultInjectingBackend::HoldSectors(uint64_t first, uint64_t count, uint32_t holdMs) {
    std::lock_guard<std::mutex> guard(lock_);
    holds_.push_back({first, count, 0, holdMs});
}

void FaultInjectingBackend::ReleaseHeld() {
    std::lock_guard<std::mutex> guard(lock_);
    holds_.clear();
    ++releaseGeneration_;
    released_.notify_all();
}

void FaultInjectingBackend::Vanish(int errnoValue) {
    std::lock_guard<std::mutex> guard(lock_);
    vanished_ = errnoValue;
}

void FaultInjectingBackend::Reappear() {
    std::lock_guard<std::mutex> guard(lock_);
    vanished_ = 0;
    vanishAfter_.reset();
}

void FaultInjectingBackend::VanishAfter(uint64_t reads, int errnoValue) {
    std::lock_guard<std::mutex> guard(lock_);
    vanishAfter_ = reads;
    vanishAfterErrno_ = errnoValue;
}

void FaultInjectingBackend::Heal() {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.clear();
    holds_.clear();
    vanished_ = 0;
    vanishAfter_.reset();
    ++releaseGeneration_;
    released_.notify_all();
}

std::vector<std::pair<uint64_t, uint32_t>> FaultInjectingBackend::Reads() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reads_;
}

void FaultInjectingBackend::ClearReads() {
    std::lock_guard<std::mutex> guard(lock_);
    reads_.clear();
}

uint32_t FaultInjectingBackend::HeldNow() const {
    std::lock_guard<std::mutex> guard(lock_);
    return heldNow_;
}

bool FaultInjectingBackend::Touches(const Range& r, uint64_t offset, uint32_t length) const {
    uint64_t firstSector = offset / 512;
    uint64_t lastSector = (offset + (length ? length : 1) - 1) / 512;
    return firstSector < r.first + r.count && lastSector >= r.first;
}

IoResult FaultInjectingBackend::ReadAt(uint8_t* destination, uint64_t offset, uint32_t length) {
    std::unique_lock<std::mutex> guard(lock_);
    reads_.emplace_back(offset, length);
    if (vanishAfter_) {
        if (*vanishAfter_ == 0) {
            vanished_ = vanishAfterErrno_;
            vanishAfter_.reset();
        } else {
            --*vanishAfter_;
        }
    }
    if (vanished_) return {0, vanished_};
    for (const Range& r : holds_) {
        if (!Touches(r, offset, length)) continue;
        uint64_t generation = releaseGeneration_;
        ++heldNow_;
        released_.wait_for(guard, std::chrono::milliseconds(r.holdMs),
                           [&] { return releaseGeneration_ != generation; });
        --heldNow_;
        break;
    }
    if (vanished_) return {0, vanished_};
    for (const Range& r : failures_)
        if (Touches(r, offset, length)) return {0, r.errnoValue};
    guard.unlock();
    return image_->ReadAt(destination, offset, length);
}

std::optional<uint64_t> FaultInjectingBackend::SizeBytes() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (vanished_) return std::nullopt;
    }
    return image_->SizeBytes();
}

std::wstring FaultInjectingBackend::Describe() const {
    return L"fault-injecting " + image_->Describe();
}

}  // namespace ravlin::platform
