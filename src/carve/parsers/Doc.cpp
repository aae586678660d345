// Compound documents (Word, Excel, PowerPoint, Project, Visio): the file read from its start
// in a window that grows by a block at a time until the allocation table's extent fits.
#include <algorithm>

#include "carve/parsers/CompoundFile.h"
#include "carve/parsers/Parsers.h"
#include "fs/ScanItem.h"

namespace ravlin {
namespace {

constexpr uint64_t kGrowth = 0x800000;

}  // namespace

class ParseDocFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        if (window_ == 0) {
            // To the end of the block the start lies in.
            window_ = (kBlockUnit - startSector % kBlockUnit) * 512;
        }
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, static_cast<uint32_t>(window_), bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        CompoundAnalysis a = AnalyseCompoundFile(buffer + at, window_);
        if (a.status == kParseNeedData || (a.status == kParseComplete && a.size > window_)) return Grow();
        if (a.status != kParseComplete) return a.status;
        size = a.size;
        typeId = a.typeId;
        if (!createInfo) {
            CompoundTexts texts = ReadCompoundTexts(buffer + at, a.size, a.typeId);
            createInfo = MakeCreateInfo(texts.author, L"", texts.title, texts.date);
        }
        return kParseComplete;
    }

private:
    uint32_t Grow() {
        if (window_ >= kMaxParserRead) return kParseInvalid;
        window_ = std::min<uint64_t>(window_ + kGrowth, kMaxParserRead);
        requestFirst = startSector;
        requestEnd = startSector + window_ / 512;
        return kParseNeedData;
    }

    uint64_t window_ = 0;  // bytes of the file read at once
};

IParseFile* NewDocParser() { return new ParseDocFile(); }

}  // namespace ravlin
