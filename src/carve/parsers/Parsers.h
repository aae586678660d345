// The parsers of the registry's rows, made by these factories (one parser class per format).
#pragma once

#include "carve/ParseFile.h"

namespace ravlin {

// A parser that confirms the start and leaves the size to the carving loop's estimate.
class FoundOnlyParser : public IParseFile {
public:
    uint32_t Parse(uint64_t, const uint8_t*, uint32_t) override { return kParseFound; }
};

// A parser that walks its format to the end. A walk it cannot finish (damaged, truncated, past
// a limit, or data that never came) keeps the start and leaves the size to the estimate.
class MeasuringParser : public IParseFile {
public:
    uint32_t Abandon() override { return Estimate(); }

protected:
    uint32_t Estimate() {
        size = 0;
        return kParseFound;
    }
    // A read's status as the walk answers it: a wait for data stands, a refusal ends the walk.
    uint32_t Unread(uint32_t got) { return got == kParseNeedData ? got : Estimate(); }
};

// Made for the rows whose format is recognised by its signature alone.
IParseFile* NewFoundOnlyParser();

IParseFile* NewMovParser();
IParseFile* NewMtsParser();
IParseFile* NewFlvParser();
IParseFile* NewMkvParser();
IParseFile* NewMpgParser();
IParseFile* NewRiffParser();
IParseFile* NewRmvbParser();
IParseFile* NewWmvParser();
IParseFile* NewJpgParser();
IParseFile* NewTifParser();
IParseFile* NewBmpParser();
IParseFile* NewPngParser();
IParseFile* NewGifParser();
IParseFile* NewPsdParser();
IParseFile* NewRafParser();
IParseFile* NewDocParser();
IParseFile* NewChmParser();
IParseFile* NewHlpParser();
IParseFile* NewPdfParser();
IParseFile* NewPubParser();
IParseFile* NewMhtParser();
IParseFile* NewRtfParser();
IParseFile* NewHtmlParser();
IParseFile* NewXmlParser();
IParseFile* NewRarParser();
IParseFile* NewZipParser();
IParseFile* NewJarParser();
IParseFile* New7zParser();
IParseFile* NewCabParser();
IParseFile* NewMp3Parser();
// MPEG audio frames without a tag before them, walked like an MP3's.
IParseFile* NewMpegFramesParser();
IParseFile* NewMidParser();
IParseFile* NewOggParser();
IParseFile* NewApeParser();
IParseFile* NewWmaParser();
IParseFile* NewRamParser();
IParseFile* NewExeParser();
IParseFile* NewDwgParser();
IParseFile* NewEpsParser();
IParseFile* NewMdbParser();
IParseFile* NewAccdbParser();
IParseFile* NewClassParser();
IParseFile* NewDswParser();
IParseFile* NewSlnParser();
IParseFile* NewMcbParser();

}  // namespace ravlin
