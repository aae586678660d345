// The carving loop of one raw pass: every sector of a block against the registry, a parser at
// each hit, and the parsers that wait for data offered the block window as it fills.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "carve/BlockWindow.h"
#include "carve/Registry.h"
#include "common/Hash.h"
#include "fs/ScanItem.h"

namespace ravlin {

// Keeps the creation infos that items point to for as long as the scan's items live.
class CreateInfoStore {
public:
    // The value an item carries for `info`: its address, valid while the store lives.
    uint64_t Keep(const std::shared_ptr<_FILE_CREATE_INFO>& info);
    // The info an item's word points to, when the store kept it.
    const _FILE_CREATE_INFO* Find(uint64_t word) const;

private:
    std::deque<_FILE_CREATE_INFO> infos_;  // elements never move
    FnvSet<uint64_t> addresses_;
};

ScanItem MakeScanItem(const IParseFile& parser, CreateInfoStore& infos);

class Carver {
public:
    // Copies the registry; `window` is shared with the engine, which feeds it.
    Carver(const ParserRegistry& registry, BlockWindow& window, CreateInfoStore& infos,
           std::function<bool()> keepRunning);

    // Every sector of the block (`firstSector`, 16384 sectors of `data`) against the registry;
    // items of the hits go to `items`, parsers that need more data stay pending.
    void CarveBlock(uint64_t firstSector, const uint8_t* data, std::vector<ScanItem>& items);
    // Offers the window to the pending parsers whose data it holds; drops those whose data has
    // passed. `blockFirst` is the block just read.
    void ContinuePending(uint64_t blockFirst, std::vector<ScanItem>& items);

    // At the end of the raw pass: the pending parsers give up; those that keep their file
    // (Found) add its item to `items`.
    void AbandonPending(std::vector<ScanItem>& items);

    bool HasPending() const { return !pending_.empty(); }
    // Whether a pending parser could use data of the block at `blockFirst` (its request does
    // not end before it): only then is the block worth putting into the window.
    bool WantsBlock(uint64_t blockFirst) const;
    size_t PendingCount() const { return pending_.size(); }

private:
    void Dispose(std::shared_ptr<IParseFile> parser, std::vector<ScanItem>& items);
    void Abandon(IParseFile& parser, std::vector<ScanItem>& items);

    ParserRegistry registry_;
    RegistryDispatch dispatch_;
    BlockWindow& window_;
    CreateInfoStore& infos_;
    std::function<bool()> keepRunning_;
    std::list<std::shared_ptr<IParseFile>> pending_;
};

}  // namespace ravlin
