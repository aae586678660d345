// Read-ahead for sequential walks.
#include "disk/Prefetch.h"

namespace ravlin {

PrefetchReader::PrefetchReader(DiskReader& reader, std::vector<Read> reads, uint32_t maxSectors,
                               size_t depth, AfterRead afterRead)
    : PrefetchReader(
          reader,
          [reads = std::move(reads), next = size_t{0}](Read& read) mutable {
              if (next == reads.size()) return false;
              read = reads[next++];
              return true;
          },
          maxSectors, depth, std::move(afterRead)) {}

PrefetchReader::PrefetchReader(DiskReader& reader, NextRead nextRead, uint32_t maxSectors,
                               size_t depth, AfterRead afterRead)
    : reader_(reader),
      nextRead_(std::move(nextRead)),
      maxSectors_(maxSectors),
      depth_(depth ? depth : 1),
      afterRead_(std::move(afterRead)) {
    for (size_t i = 0; i < depth_ + 1; ++i)
        free_.push_back(platform::IoBuffer::Allocate(size_t{maxSectors_} * 512));
    thread_ = std::thread(&PrefetchReader::Produce, this);
}

PrefetchReader::~PrefetchReader() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void PrefetchReader::Produce() {
    Read read;
    for (size_t index = 0;; ++index) {
        platform::IoBufferPtr buffer;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] { return stop_ || (!free_.empty() && ready_.size() < depth_); });
            if (stop_) return;
        }
        if (!nextRead_(read)) break;
        {
            std::lock_guard<std::mutex> guard(lock_);
            buffer = std::move(free_.back());
            free_.pop_back();
        }
        uint32_t count = read.count < maxSectors_ ? read.count : maxSectors_;
        bool ok = reader_.ReadSectorsInto(buffer, read.sector, count) != 0;
        if (afterRead_) afterRead_(index);
        {
            std::lock_guard<std::mutex> guard(lock_);
            ready_.push_back({std::move(buffer), count, ok});
        }
        changed_.notify_all();
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        produced_ = true;
    }
    changed_.notify_all();
}

bool PrefetchReader::Next(uint8_t*& data, uint32_t& sectors, bool& ok) {
    std::unique_lock<std::mutex> guard(lock_);
    if (current_) free_.push_back(std::move(current_));
    changed_.notify_all();
    changed_.wait(guard, [&] { return !ready_.empty() || produced_; });
    if (ready_.empty()) return false;
    Piece piece = std::move(ready_.front());
    ready_.pop_front();
    current_ = std::move(piece.buffer);
    data = current_->Data();
    sectors = piece.sectors;
    ok = piece.ok;
    return true;
}

}  // namespace ravlin
