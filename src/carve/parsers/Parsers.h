// The parsers of the registry's rows, made by these factories (one parser class per format).
#pragma once

#include "carve/ParseFile.h"

namespace ravlin {

// A parser that confirms the start and leaves the size to the carving loop's estimate.
class FoundOnlyParser : public IParseFile {
public:
    uint32_t Parse(uint64_t, const uint8_t*, uint32_t) override { return kParseFound; }
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
