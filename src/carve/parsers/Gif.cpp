// GIF files: walked block by block to the trailer (header, colour tables, image descriptors,
// extensions and their sub-blocks), asking for the sectors that follow as it goes; a walk that
// cannot finish leaves the size to the carving loop's estimate.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
class ParseGifFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            if (offset > kMaxCarvedBytes) return Estimate();
            size_t at = 0;
            const uint32_t need = stage_ == kHeader ? 13 : stage_ == kImage ? 10 : 1;
            uint32_t got = LocateFileBytes(startSector, offset, need, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan b(buffer + at, need);
            switch (stage_) {
                case kHeader:  // signature, screen descriptor, global colour table
                    offset += 13 + ((b[10] & 0x80) ? 3u << ((b[10] & 7) + 1) : 0);
                    stage_ = kBlock;
                    break;
                case kBlock:
                    if (b[0] == 0x3B) {
                        size = offset + 1;
                        return kParseComplete;
                    }
                    if (b[0] == 0x21) {  // extension: its label, then sub-blocks
                        offset += 2;
                        stage_ = kSubBlocks;
                    } else if (b[0] == 0x2C) {
                        stage_ = kImage;
                    } else {
                        return Estimate();
                    }
                    break;
                case kImage:  // descriptor, local colour table, the LZW code size, sub-blocks
                    offset += 10 + ((b[9] & 0x80) ? 3u << ((b[9] & 7) + 1) : 0) + 1;
                    stage_ = kSubBlocks;
                    break;
                case kSubBlocks:
                    offset += 1 + b[0];
                    if (b[0] == 0) stage_ = kBlock;
                    break;
            }
        }
    }

private:
    enum Stage : uint32_t { kHeader, kBlock, kImage, kSubBlocks };

    Stage stage_ = kHeader;
};

IParseFile* NewGifParser() { return new ParseGifFile(); }

}  // namespace ravlin
