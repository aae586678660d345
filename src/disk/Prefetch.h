// Sequential reads done one step ahead on a thread of their own, so that reading the next
// piece overlaps with decoding the current one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/DiskReader.h"

namespace ravlin {

class PrefetchReader {
public:
    struct Read {
        uint64_t sector;
        uint32_t count;  // at most `maxSectors`
    };

    // Called on the reading thread once read `index` is done, before the consumer gets it:
    // work that can be done ahead of the consumer.
    using AfterRead = std::function<void(size_t index)>;

    // Gives the next read to make; false after the last. Called on the reading thread.
    using NextRead = std::function<bool(Read&)>;

    // Reads `reads` in order, at most `depth` pieces ahead of the consumer.
    PrefetchReader(DiskReader& reader, std::vector<Read> reads, uint32_t maxSectors,
                   size_t depth = 2, AfterRead afterRead = {});
    // The same for reads made up as they are needed, so that a long plan costs no memory.
    PrefetchReader(DiskReader& reader, NextRead nextRead, uint32_t maxSectors, size_t depth = 2,
                   AfterRead afterRead = {});
    ~PrefetchReader();
    PrefetchReader(const PrefetchReader&) = delete;
    PrefetchReader& operator=(const PrefetchReader&) = delete;

    // The next piece in order; false after the last. `data` stays valid until the next call.
    // A failed read gives zeros and `ok` false. The caller may change the bytes.
    bool Next(uint8_t*& data, uint32_t& sectors, bool& ok);

private:
    struct Piece {
        platform::IoBufferPtr buffer;
        uint32_t sectors = 0;
        bool ok = false;
    };
    void Produce();

    DiskReader& reader_;
    NextRead nextRead_;
    uint32_t maxSectors_;
    size_t depth_;
    AfterRead afterRead_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Piece> ready_;
    std::vector<platform::IoBufferPtr> free_;
    platform::IoBufferPtr current_;
    bool produced_ = false;  // the last read has been made
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace ravlin
