// The carving loop.
#include "carve/Carver.h"

#include <cstring>

namespace ravlin {
namespace {

constexpr uint32_t kKeepRunningEvery = 64;  // sectors between polls of the stop request
constexpr uint32_t kFirstNonFileType = 178;  // provisional items only below this

bool Finished(uint32_t status) {
    return status == kParseFound || status == kParseComplete || status == kParseInvalid;
}

}  // namespace

uint64_t CreateInfoStore::Keep(const std::shared_ptr<_FILE_CREATE_INFO>& info) {
    if (!info) return 0;
    infos_.push_back(*info);
    uint64_t word = reinterpret_cast<uint64_t>(&infos_.back());
    addresses_.insert(word);
    return word;
}

const _FILE_CREATE_INFO* CreateInfoStore::Find(uint64_t word) const {
    return addresses_.count(word) ? reinterpret_cast<const _FILE_CREATE_INFO*>(word) : nullptr;
}

ScanItem MakeScanItem(const IParseFile& parser, CreateInfoStore& infos) {
    ScanItem item;
    item.origin = kOriginCarving;
    item.status = static_cast<uint8_t>(parser.status);
    item.startSector = parser.startSector;
    item.size = parser.size;
    item.typeId = parser.typeId;
    item.creationInfo = parser.createInfo ? infos.Keep(parser.createInfo) : parser.aux;
    return item;
}

Carver::Carver(const ParserRegistry& registry, BlockWindow& window, CreateInfoStore& infos,
               std::function<bool()> keepRunning)
    : registry_(registry),
      dispatch_(registry_),
      window_(window),
      infos_(infos),
      keepRunning_(std::move(keepRunning)) {}

void Carver::Dispose(std::shared_ptr<IParseFile> parser, std::vector<ScanItem>& items) {
    if (parser->status == kParseNeedData) {
        if (parser->typeId < kFirstNonFileType) items.push_back(MakeScanItem(*parser, infos_));
        pending_.push_back(std::move(parser));
    } else if (Finished(parser->status)) {
        items.push_back(MakeScanItem(*parser, infos_));
    }
}

void Carver::CarveBlock(uint64_t firstSector, const uint8_t* data, std::vector<ScanItem>& items) {
    for (uint32_t s = 0; s < kBlockUnit; ++s) {
        if (s % kKeepRunningEvery == 0 && keepRunning_ && !keepRunning_()) return;
        const uint8_t* sector = data + size_t{s} * 512;
        uint32_t head;
        std::memcpy(&head, sector, 4);
        if (head == 0) continue;
        dispatch_.ForEachMatch(sector, 512, [&](uint16_t row) {
            const ParserRegistryEntry& entry = registry_[row];
            std::shared_ptr<IParseFile> parser(entry.factory());
            if (!parser) return;
            parser->typeId = entry.typeId;
            parser->startSector = firstSector + s;
            parser->status = parser->Parse(firstSector, data, static_cast<uint32_t>(kBlockBytes64));
            Dispose(std::move(parser), items);
        });
    }
}

void Carver::Abandon(IParseFile& parser, std::vector<ScanItem>& items) {
    if (parser.typeId >= kFirstNonFileType) return;
    parser.status = parser.Abandon();
    if (parser.status == kParseFound) items.push_back(MakeScanItem(parser, infos_));
}

void Carver::AbandonPending(std::vector<ScanItem>& items) {
    for (auto& parser : pending_) Abandon(*parser, items);
    pending_.clear();
}

bool Carver::WantsBlock(uint64_t blockFirst) const {
    for (const auto& parser : pending_)
        if (parser->requestEnd >= blockFirst) return true;
    return false;
}

void Carver::ContinuePending(uint64_t blockFirst, std::vector<ScanItem>& items) {
    uint64_t blockLast = blockFirst + kBlockUnit - 1;
    // Parsers whose request is inverted or whose data has passed cannot be served any more.
    bool wanted = false;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (keepRunning_ && !keepRunning_()) return;
        const IParseFile& p = **it;
        if (p.requestEnd < p.requestFirst || p.requestEnd < blockFirst) {
            Abandon(**it, items);
            it = pending_.erase(it);
            continue;
        }
        wanted = wanted || p.requestFirst <= blockLast;
        ++it;
    }
    if (!wanted || window_.Empty()) return;
    // Each served parser may finish or ask again; a walk that finishes nothing ends the loop.
    for (bool finishedOne = true; finishedOne;) {
        finishedOne = false;
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (keepRunning_ && !keepRunning_()) return;
            IParseFile& p = **it;
            // The end mark is one past the range when the range ends on a sector boundary; a
            // parser offered one sector short of what it needs only asks again.
            uint64_t last = p.requestEnd > p.requestFirst ? p.requestEnd - 1 : p.requestEnd;
            if (!window_.Holds(p.requestFirst, last)) continue;
            p.status = p.Parse(window_.FirstSector(), window_.Data(), window_.Bytes());
            if (Finished(p.status)) {
                items.push_back(MakeScanItem(p, infos_));
                pending_.erase(it);
                finishedOne = true;
                break;
            }
            if (p.status != kParseNeedData) {
                pending_.erase(it);
                finishedOne = true;
                break;
            }
        }
    }
}

}  // namespace ravlin
