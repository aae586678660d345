// Transport-stream fragments: packet checks, the follower and the chain assembler.
#include "carve/MtsFragments.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "fs/ScanOutput.h"

namespace ravlin {
namespace {

constexpr uint16_t kFollowedPids[kTsFollowed] = {0x0000, 0x1011, 0x1100, 0x1200};
constexpr uint32_t kSectorTailKept = 320;  // a fragment ending this far into a sector keeps it
constexpr uint64_t kMinFileBytes = 0x100000;
constexpr uint32_t kRootId = 5;
constexpr uint32_t kLostId = 4;
constexpr uint32_t kMtsFolderId = 88;
constexpr uint32_t kFirstFileId = 256;
constexpr const wchar_t* kPartitionName = L"\u89C6\u9891\u6587\u4EF6";  // 视频文件
constexpr const wchar_t* kLostFolderName = L"\u4E22\u5931\u7684\u6587\u4EF6";  // 丢失的文件

int FollowedIndex(uint16_t pid) {
    for (uint32_t i = 0; i < kTsFollowed; ++i)
        if (kFollowedPids[i] == pid) return static_cast<int>(i);
    return -1;
}

// A stream begins here: a zero arrival stamp and the first packet of the PAT.
bool StreamStart(const uint8_t* p) {
    return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0 && p[4] == 0x47 && (p[5] & 0x40) &&
           (p[5] & 0x1F) == 0 && p[6] == 0;
}

// Whether fragment `before`'s last counters run on into `after`'s first: every identifier seen
// in both fits, and at least one was.
bool RunsOn(const FragmentRecord& before, const FragmentRecord& after) {
    bool compared = false;
    for (uint32_t i = 0; i < kTsFollowed; ++i) {
        uint32_t last = before.lastCounters[i], first = after.firstCounters[i];
        if (last == kCounterNotSeen || first == kCounterNotSeen) continue;
        if (((last + 1) & 15) != first) return false;
        compared = true;
    }
    return compared;
}

bool BeginsStream(const FragmentRecord& r) {
    return r.kind == 1 || (r.firstCounters[0] == 0 && r.firstCounters[1] == 0 && r.firstCounters[2] == 0);
}

}  // namespace

uint32_t CheckTsPackets(const uint8_t* packets, uint32_t count, FragmentRecord& record, bool fromStart) {
    for (uint32_t n = 0; n < count; ++n) {
        const uint8_t* p = packets + size_t{n} * kTsPacket;
        if (p[4] != 0x47) return n;
        int i = FollowedIndex(static_cast<uint16_t>((p[5] & 0x1F) << 8 | p[6]));
        if (i < 0) continue;
        uint32_t counter = p[7] & 15;
        bool payload = (p[7] & 0x10) != 0;
        uint32_t last = record.lastCounters[i];
        if (last == kCounterNotSeen) {
            if (fromStart && counter != 0) return n;
            record.firstCounters[i] = counter;
        } else if (counter != (payload ? (last + 1) & 15 : last)) {
            return n;
        }
        record.lastCounters[i] = counter;
    }
    return count;
}

int TsSyncOffset(const uint8_t* sector, size_t available) {
    for (int at : {0, 64, 128}) {
        if (size_t(at) + 2 * kTsPacket + 5 > available) break;
        if (sector[at + 4] == 0x47 && sector[at + 196] == 0x47 && sector[at + 388] == 0x47) return at;
    }
    return -1;
}

void ParseMtsFrag::Finish(uint64_t endByte) {
    open.endSector = startSector + endByte / 512 + (endByte % 512 >= kSectorTailKept ? 1 : 0);
    finished.push_back(open);
    open = FragmentRecord();
    startSector += endByte / 512;
    offset = 0;
}

uint32_t ParseMtsFrag::Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) {
    const uint64_t sectors = bufferBytes / 512;
    for (;;) {
        if (open.kind == 0 && offset == 0) {
            // The next sector that starts packets of a stream.
            if (startSector < bufferFirstSector) return kParseInvalid;
            uint64_t s = startSector - bufferFirstSector;
            while (s < sectors && TsSyncOffset(buffer + s * 512, bufferBytes - s * 512) < 0) ++s;
            startSector = bufferFirstSector + s;
        }
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, offset, kTsChunkBytes, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        const uint8_t* chunk = buffer + at;
        if (open.kind != 0) {
            uint32_t bad = CheckTsPackets(chunk, kTsChunkPackets, open, false);
            if (bad == kTsChunkPackets) {
                offset += kTsChunkBytes;
                continue;
            }
            Finish(offset + uint64_t{bad} * kTsPacket);
            continue;
        }
        FragmentRecord candidate;
        if (StreamStart(chunk) && CheckTsPackets(chunk, kTsChunkPackets, candidate, true) == kTsChunkPackets) {
            candidate.kind = 1;
            candidate.firstSector = startSector;
            open = candidate;
            offset = kTsChunkBytes;
            continue;
        }
        // In the middle of a stream: the first alignment whose whole chunk holds together.
        bool opened = false;
        for (uint32_t head : {0u, 64u, 128u}) {
            got = LocateFileBytes(startSector, head, kTsChunkBytes, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            candidate = FragmentRecord();
            if (CheckTsPackets(buffer + at, kTsChunkPackets, candidate, false) != kTsChunkPackets) continue;
            candidate.kind = 2;
            candidate.firstSector = startSector;
            candidate.headOffset = head;
            open = candidate;
            offset = head + kTsChunkBytes;
            opened = true;
            break;
        }
        if (!opened) {
            ++startSector;
            offset = 0;
        }
    }
}

void ParseMtsFrag::CloseAt(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) {
    if (open.kind == 0) return;
    uint64_t end = offset;
    uint64_t fileStartByte = (startSector - bufferFirstSector) * 512;
    if (startSector >= bufferFirstSector && fileStartByte + offset < bufferBytes) {
        uint64_t available = (bufferBytes - fileStartByte - offset) / kTsPacket;
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(available, kTsChunkPackets));
        end += uint64_t{CheckTsPackets(buffer + fileStartByte + offset, count, open, false)} * kTsPacket;
    }
    Finish(end);
}

void ParseMtsFrag::RestartAt(uint64_t sector) {
    if (open.kind != 0) Finish(offset);
    startSector = sector;
    offset = 0;
}

std::shared_ptr<ExtFindPartInfo> MakeVideoFilesPartition(const std::wstring& devicePath) {
    auto part = std::make_shared<ExtFindPartInfo>();
    part->devicePath = devicePath;
    part->displayName = part->secondName = kPartitionName;
    part->StoreNode(FolderNode(kRootId, 0, NodeKind::Directory, L"."));
    part->StoreNode(FolderNode(kLostId, kRootId, NodeKind::DeletedDirectory, kLostFolderName));
    part->NodeAt(kRootId)->children.push_back(kLostId);
    part->rootNodeId = kRootId;
    part->orphanFolderId = kLostId;
    return part;
}

void FragmentAssembler::Reset(const std::wstring& devicePath, RecordIndex* index) {
    parser_.reset();
    records_.clear();
    items_.clear();
    blockItems_.clear();
    haveBlock_ = false;
    devicePath_ = devicePath;
    index_ = index;
}

void FragmentAssembler::FeedBlock(uint64_t blockFirst, const BlockWindow& window) {
    if (!parser_) {
        parser_ = std::make_unique<ParseMtsFrag>();
        parser_->typeId = 88;
        parser_->startSector = blockFirst;
        parser_->requestFirst = blockFirst;
        parser_->requestEnd = blockFirst + kTsChunkBytes / 512;
    }
    ParseMtsFrag& p = *parser_;
    uint64_t last = p.requestEnd > p.requestFirst ? p.requestEnd - 1 : p.requestEnd;
    if (!window.Empty() && window.Holds(p.requestFirst, last)) {
        p.status = p.Parse(window.FirstSector(), window.Data(), window.Bytes());
    } else if (!window.Empty() && p.requestFirst < window.FirstSector()) {
        // The window started over (a block could not be read): what was open ends where its
        // checked data ended, and the search goes on in the new window.
        p.RestartAt(window.FirstSector());
        p.status = p.Parse(window.FirstSector(), window.Data(), window.Bytes());
    }
    Collect();
}

void FragmentAssembler::Collect() {
    for (const FragmentRecord& record : parser_->finished) {
        records_.push_back(record);
        ScanItem item;
        item.origin = kOriginVideoFragment;
        item.status = kParseInvalid;
        item.startSector = record.firstSector;
        item.typeId = record.kind == 1 ? 8 : 9;
        item.creationInfo = reinterpret_cast<uint64_t>(&records_.back());
        uint64_t block = record.firstSector - record.firstSector % kBlockUnit;
        if (haveBlock_ && block != currentBlock_) FileCurrentBlock();
        if (!haveBlock_) {
            currentBlock_ = block;
            haveBlock_ = true;
        }
        blockItems_.push_back(item);
        items_.push_back(item);
    }
    parser_->finished.clear();
}

void FragmentAssembler::FileCurrentBlock() {
    if (index_ && haveBlock_) index_->ReplaceBlock(currentBlock_, blockItems_);
    blockItems_.clear();
    haveBlock_ = false;
}

std::shared_ptr<ExtFindPartInfo> FragmentAssembler::Assemble(const BlockWindow& window, ScanOutput* output) {
    if (parser_ && !window.Empty()) {
        parser_->CloseAt(window.FirstSector(), window.Data(), window.Bytes());
        Collect();
    }
    FileCurrentBlock();

    auto part = MakeVideoFilesPartition(devicePath_);
    if (records_.empty()) return part;

    RFileNode folder = FolderNode(kMtsFolderId, kRootId, NodeKind::Directory, L"MTS");
    folder.typeId = 88;
    part->StoreNode(std::move(folder));
    part->NodeAt(kRootId)->children.push_back(kMtsFolderId);

    std::deque<const FragmentRecord*> pool;
    for (const FragmentRecord& r : records_) pool.push_back(&r);
    uint32_t nextId = kFirstFileId;
    while (!pool.empty()) {
        auto start = pool.begin();
        for (auto it = pool.begin(); it != pool.end(); ++it)
            if (BeginsStream(**it)) {
                start = it;
                break;
            }
        std::deque<const FragmentRecord*> chain{*start};
        pool.erase(start);
        for (bool moved = true; moved;) {
            moved = false;
            for (auto it = pool.begin(); it != pool.end(); ++it) {
                if (RunsOn(**it, *chain.front())) {
                    chain.push_front(*it);
                } else if (RunsOn(*chain.back(), **it)) {
                    chain.push_back(*it);
                } else {
                    continue;
                }
                pool.erase(it);
                moved = true;
                break;
            }
        }
        RFileNode file;
        uint64_t bytes = 0;
        for (const FragmentRecord* r : chain) {
            uint64_t first = r->firstSector, end = r->endSector;
            uint64_t count = end > first ? end - first : 0;
            if (count) file.runs.push_back({first, count});
            bytes += count * 512;
        }
        if (bytes <= kMinFileBytes) continue;
        uint64_t head = chain.front()->firstSector;
        wchar_t name[32];
        std::swprintf(name, 32, L"0x%llX.mts", static_cast<unsigned long long>(head));
        file.id = nextId++;
        file.parentId = kMtsFolderId;
        file.kind = NodeKind::File;
        file.typeId = 88;
        file.firstSector = head;
        file.size = bytes;
        file.name = name;
        uint32_t id = file.id;
        part->AddFileNode(std::move(file));
        part->NodeAt(kMtsFolderId)->children.push_back(id);
        if (output) output->AddFiles(1);
    }
    return part;
}

}  // namespace ravlin
