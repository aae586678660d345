// The video-fragment scanner and its movie-box walk.
#include "carve/VideoScanner.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "carve/ParseFile.h"
#include "common/Bytes.h"
#include "platform/Debug.h"

namespace ravlin {
namespace {

constexpr int64_t kSeconds1904To1970 = 2082873600;
constexpr uint32_t kMaxDepth = 20;
constexpr uint32_t kUnknownTime = 0x420000;

bool Is(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

bool Container(const uint8_t* type) {
    for (const char* name : {"moov", "trak", "mdia", "minf", "stbl", "edts", "dinf", "mvex"})
        if (Is(type, name)) return true;
    return false;
}

struct Walk {
    ByteSpan box;
    MovieBoxRecord& record;
    bool debug;
    int64_t created = -1;  // seconds since 1904 of the last version-0 movie or media header

    void Atoms(size_t begin, size_t end, uint32_t depth, std::vector<uint32_t>* track) {
        for (size_t at = begin; at + 8 <= end;) {
            uint64_t size = LoadBE32(box, at);
            size_t header = 8;
            if (size == 1) {
                if (at + 16 > end) return;
                size = uint64_t{LoadBE32(box, at + 8)} << 32 | LoadBE32(box, at + 12);
                header = 16;
            } else if (size == 0) {
                size = end - at;
            }
            if (size < header || size > end - at) return;
            const uint8_t* type = box.data() + at + 4;
            if (debug)
                platform::DebugPrintf("%*sQtAtom: type=%c%c%c%c  offset=0x%x  size=0x%x\n", int(3 * std::min(depth, kMaxDepth)),
                                      "", type[0], type[1], type[2], type[3], unsigned(at), unsigned(size));
            size_t body = at + header, bodyEnd = at + size;
            if (Container(type) && depth + 1 < kMaxDepth) {
                if (Is(type, "trak")) {
                    std::vector<uint32_t> table;
                    Atoms(body, bodyEnd, depth + 1, &table);
                    if (!table.empty()) record.chunkTables.push_back(std::move(table));
                } else {
                    Atoms(body, bodyEnd, depth + 1, track);
                }
            } else if ((Is(type, "mvhd") || Is(type, "mdhd")) && body + 8 <= bodyEnd && box[body] == 0) {
                created = LoadBE32(box, body + 4);
            } else if ((Is(type, "stco") || Is(type, "co64")) && track && body + 8 <= bodyEnd) {
                size_t width = Is(type, "stco") ? 4 : 8;
                uint64_t count = std::min<uint64_t>(LoadBE32(box, body + 4), (bodyEnd - body - 8) / width);
                for (uint64_t i = 0; i < count; ++i) {
                    size_t entry = body + 8 + i * width;
                    // Chunk offsets are kept to 32 bits, as the assembler places them.
                    track->push_back(width == 4 ? LoadBE32(box, entry) : LoadBE32(box, entry + 4));
                }
            }
            at = bodyEnd;
        }
    }
};

}  // namespace

uint32_t PackLocalTime(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return kUnknownTime;
    auto clamp = [](int v, int low, int high, int otherwise) { return v < low || v > high ? otherwise : v; };
    uint32_t second = static_cast<uint32_t>(std::min(local.tm_sec, 59));
    uint32_t minute = static_cast<uint32_t>(std::min(local.tm_min, 59));
    uint32_t hour = static_cast<uint32_t>(std::min(local.tm_hour, 23));
    uint32_t day = static_cast<uint32_t>(clamp(local.tm_mday, 1, 31, 1));
    uint32_t month = static_cast<uint32_t>(clamp(local.tm_mon + 1, 1, 12, 1));
    int year = std::max(local.tm_year + 1900, 1980);
    uint32_t years = static_cast<uint32_t>(year - 1980) % 64;
    return second | minute << 6 | hour << 12 | day << 17 | month << 22 | years << 26;
}

std::optional<MovieBoxRecord> ParseMovieBox(const uint8_t* box, uint32_t size, uint64_t position) {
    MovieBoxRecord record;
    record.position = position;
    record.size = size;
    Walk walk{ByteSpan(box, size), record, platform::HasDebugSink()};
    walk.Atoms(0, size, 0, nullptr);
    if (record.chunkTables.empty()) return std::nullopt;
    record.time = walk.created < 0 ? kUnknownTime : PackLocalTime(walk.created - kSeconds1904To1970);
    return record;
}

void VideoScanner::Reset(uint32_t scanMode) {
    scanMode_ = scanMode;
    items_.clear();
    movies_.clear();
    mdats_.clear();
    lists_.clear();
    kinds_.clear();
    waiting_.clear();
    offsetsKept_ = 0;
}

void VideoScanner::AddMovie(size_t item, const uint8_t* box, uint32_t size, uint64_t position) {
    auto record = ParseMovieBox(box, size, position);
    if (!record) {
        items_[item].status = kParseInvalid;
        return;
    }
    movies_.push_back(std::move(*record));
    uint64_t word = reinterpret_cast<uint64_t>(&movies_.back());
    kinds_[word] = kVideoMoov;
    items_[item].status = kParseComplete;
    items_[item].creationInfo = word;
}

void VideoScanner::AdoptSavedItems(const std::vector<ScanItem>& items) {
    for (const ScanItem& item : items) {
        const uint64_t word = item.creationInfo;
        const uint32_t type = item.typeId;
        if (word != 0 && item.status == kParseComplete &&
            (type == kVideoMoov || type == kVideoMdat || (type >= kVideoLengthWords && type <= kVideoStartCodes)))
            kinds_[word] = type;
    }
    items_.insert(items_.begin(), items.begin(), items.end());
    for (Wait& w : waiting_) w.item += items.size();
}

void VideoScanner::AddList(uint64_t blockFirst, uint32_t type, std::vector<uint32_t>&& list) {
    if (list.size() <= 1) return;  // no offsets
    // Past the scan's budget no more offsets are kept: a disk of start codes cannot fill memory.
    if (offsetsKept_ + list.size() > kMaxOffsetsPerScan) return;
    offsetsKept_ += list.size();
    list[0] = static_cast<uint32_t>(list.size() - 1);
    lists_.push_back(std::move(list));
    uint64_t word = reinterpret_cast<uint64_t>(&lists_.back());
    kinds_[word] = type;
    ScanItem item;
    item.origin = kOriginVideoFragment;
    item.status = kParseComplete;
    item.startSector = blockFirst;
    item.typeId = type;
    item.creationInfo = word;
    items_.push_back(item);
}

namespace {

// What one pass over a block finds: where box types stand, and the offsets of the three kinds of
// sample starts.
struct BlockMarks {
    std::vector<size_t> boxes;  // offsets of boxes whose type is ftyp, moov or mdat
    std::vector<uint32_t> words{0}, twos{0}, starts{0};  // each led by room for its count

    void At(const uint8_t* data, size_t n, size_t i) {
        const uint8_t* p = data + i;
        if (i + 4 <= n && (Is(p, "ftyp") || Is(p, "moov") || Is(p, "mdat")) && i >= 4) boxes.push_back(i - 4);
        if (i + 3 > n || p[0] != 0 || p[1] != 0) return;
        if (p[2] == 1 && starts.size() <= kMaxOffsetsPerList) starts.push_back(uint32_t(i));
        if (i + 4 > n || p[2] != 0) return;
        if (p[3] == 2 && twos.size() <= kMaxOffsetsPerList) twos.push_back(uint32_t(i));
        if (i % 4 == 0 && (p[3] == 32 || p[3] == 36 || p[3] == 40) && words.size() <= kMaxOffsetsPerList)
            words.push_back(uint32_t(i));
    }

    void Scan(const uint8_t* data, size_t n);
};

#if defined(__x86_64__)
// A bit for every offset of the vector at `p` where something may stand (each is checked in
// full after): two zeros followed by 1, or by a zero and a length byte (2, or 32 to 44 in
// steps of 4); or a box type's first and third letters. Few constants, so that they stay in
// registers.
#define RAVLIN_MARK_VECTOR(V, LOAD, EQ, AND, OR, MOVEMASK)                                          \
    V a = LOAD(p), b = LOAD(p + 1), c = LOAD(p + 2), d = LOAD(p + 3);                               \
    V lengths = OR(EQ(d, 2), EQ(AND(d, SPLAT(char(0xF3))), 0x20));                                  \
    V codes = AND(AND(EQ(a, 0), EQ(b, 0)), OR(EQ(c, 1), AND(EQ(c, 0), lengths)));                  \
    V boxes = OR(AND(EQ(a, 'f'), EQ(c, 'y')), AND(EQ(a, 'm'), OR(EQ(c, 'o'), EQ(c, 'a'))));        \
    uint32_t mask = static_cast<uint32_t>(MOVEMASK(OR(codes, boxes)))

inline __m128i Load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Eq16(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }
inline __m128i Splat16(char c) { return _mm_set1_epi8(c); }

// Offsets [0, end) sixteen at a time; returns `end`.
size_t ScanSse2(BlockMarks& marks, const uint8_t* data, size_t n) {
    size_t i = 0;
    for (; i + 19 <= n; i += 16) {
        const uint8_t* p = data + i;
#define SPLAT Splat16
        RAVLIN_MARK_VECTOR(__m128i, Load16, Eq16, _mm_and_si128, _mm_or_si128, _mm_movemask_epi8);
#undef SPLAT
        for (; mask; mask &= mask - 1) marks.At(data, n, i + static_cast<size_t>(__builtin_ctz(mask)));
    }
    return i;
}

__attribute__((target("avx2"))) inline __m256i Load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) inline __m256i Eq32(__m256i v, char c) {
    return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
}
__attribute__((target("avx2"))) inline __m256i Splat32(char c) { return _mm256_set1_epi8(c); }
__attribute__((target("avx2"))) inline __m256i And32(__m256i x, __m256i y) { return _mm256_and_si256(x, y); }
__attribute__((target("avx2"))) inline __m256i Or32(__m256i x, __m256i y) { return _mm256_or_si256(x, y); }
__attribute__((target("avx2"))) inline int Mask32(__m256i v) { return _mm256_movemask_epi8(v); }

// The same, thirty-two at a time.
__attribute__((target("avx2"))) size_t ScanAvx2(BlockMarks& marks, const uint8_t* data, size_t n) {
    size_t i = 0;
    for (; i + 35 <= n; i += 32) {
        const uint8_t* p = data + i;
#define SPLAT Splat32
        RAVLIN_MARK_VECTOR(__m256i, Load32, Eq32, And32, Or32, Mask32);
#undef SPLAT
        for (; mask; mask &= mask - 1) marks.At(data, n, i + static_cast<size_t>(__builtin_ctz(mask)));
    }
    return i;
}
#undef RAVLIN_MARK_VECTOR
#endif

void BlockMarks::Scan(const uint8_t* data, size_t n) {
    size_t i = 0;
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    i = avx2 ? ScanAvx2(*this, data, n) : ScanSse2(*this, data, n);
#endif
    for (; i < n; ++i) At(data, n, i);
}

}  // namespace

void VideoScanner::ScanBlock(uint64_t blockFirst, const uint8_t* data) {
    const size_t n = kBlockBytes64;
    ByteSpan block(data, n);
    BlockMarks marks;
    marks.Scan(data, n);
    std::vector<size_t>& boxes = marks.boxes;
    for (size_t at : boxes) {
        uint32_t size = LoadBE32(block, at);
        if (size == 0) continue;
        const uint8_t* type = data + at + 4;
        const uint64_t position = blockFirst * 512 + at;
        ScanItem item;
        item.origin = kOriginVideoFragment;
        item.startSector = blockFirst + at / 512;
        if (Is(type, "ftyp")) {
            if (at % 512 != 0 || size >= 511) continue;
            item.typeId = kVideoFtyp;
            item.status = kParseComplete;
            item.size = size;
            items_.push_back(item);
        } else if (Is(type, "moov")) {
            if (size < 8 || size >= kMaxMovieBox) continue;
            item.typeId = kVideoMoov;
            item.size = size;
            item.status = kParseNeedData;
            items_.push_back(item);
            if (at + size <= n) AddMovie(items_.size() - 1, data + at, size, position);
            else waiting_.push_back({items_.size() - 1, position, size});
        } else {
            MdatRecord record;
            record.position = position;
            record.size = size;
            if (size == 1) record.size = at + 16 <= n ? uint64_t{LoadBE32(block, at + 8)} << 32 | LoadBE32(block, at + 12) : 0;
            mdats_.push_back(record);
            uint64_t word = reinterpret_cast<uint64_t>(&mdats_.back());
            kinds_[word] = kVideoMdat;
            item.typeId = kVideoMdat;
            item.status = kParseComplete;
            item.size = record.size;
            item.creationInfo = word;
            items_.push_back(item);
        }
    }
    // The block's own item, then where sample data may begin.
    ScanItem own;
    own.origin = kOriginVideoFragment;
    own.status = kParseInvalid;
    own.startSector = blockFirst;
    own.typeId = kVideoBlock;
    items_.push_back(own);
    AddList(blockFirst, kVideoLengthWords, std::move(marks.words));
    AddList(blockFirst, kVideoWordTwo, std::move(marks.twos));
    AddList(blockFirst, kVideoStartCodes, std::move(marks.starts));
}

bool VideoScanner::WantsBlock(uint64_t blockFirst) const {
    for (const Wait& w : waiting_)
        if ((w.position + w.size - 1) / 512 >= blockFirst) return true;
    return false;
}

void VideoScanner::ContinueWaiting(const BlockWindow& window) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        uint64_t first = it->position / 512, last = (it->position + it->size - 1) / 512;
        if (window.Holds(first, last)) {
            AddMovie(it->item, window.Data() + (it->position - window.FirstSector() * 512), it->size, it->position);
            it = waiting_.erase(it);
        } else if (!window.Empty() && first < window.FirstSector()) {
            it = waiting_.erase(it);  // its start has left the window: it stays unparsed
        } else {
            ++it;
        }
    }
}

const MovieBoxRecord* VideoScanner::Movie(uint64_t word) const {
    auto it = kinds_.find(word);
    return it != kinds_.end() && it->second == kVideoMoov ? reinterpret_cast<const MovieBoxRecord*>(word) : nullptr;
}

const MdatRecord* VideoScanner::Mdat(uint64_t word) const {
    auto it = kinds_.find(word);
    return it != kinds_.end() && it->second == kVideoMdat ? reinterpret_cast<const MdatRecord*>(word) : nullptr;
}

const std::vector<uint32_t>* VideoScanner::Offsets(uint64_t word) const {
    auto it = kinds_.find(word);
    return it != kinds_.end() && it->second >= kVideoLengthWords ? reinterpret_cast<const std::vector<uint32_t>*>(word)
                                                                  : nullptr;
}

}  // namespace ravlin
