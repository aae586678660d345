// Audio hits of this row begin with an MPEG audio frame header: the frames are walked like an
// MP3's (with the tags that may follow them); too short a run leaves the size to the estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

IParseFile* NewWmaParser() { return NewMpegFramesParser(); }

}  // namespace ravlin
