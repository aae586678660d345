// Paths and contents of scanned nodes.
#include "support/NodePaths.h"

#include <vector>

#include <gtest/gtest.h>

#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "platform/Text.h"
#include "support/Fixtures.h"

namespace ravlin::test {

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

std::unique_ptr<ScannedVolume> ScanVolume(const std::filesystem::path& image, uint64_t start,
                                          bool partitionDeleted, bool deletedOnly) {
    auto s = std::make_unique<ScannedVolume>();
    EXPECT_TRUE(s->reader.OpenPath(image.wstring())) << image;
    EXPECT_TRUE(DetectPartitionAt(s->reader, start, s->part, 0)) << image;
    if (!s->part) return s;
    EXPECT_TRUE(ScanPartition(*s->part, s->reader, nullptr, partitionDeleted, deletedOnly)) << image;
    s->paths = PathsOf(*s->part);
    return s;
}

std::map<std::string, const RFileNode*> PathsOf(const PartInfo& part) {
    std::map<std::string, const RFileNode*> out;
    part.ForEachNode([&](uint32_t id, const RFileNode& node) {
        if (!node.IsLive() || id == part.rootNodeId) return;
        std::wstring path = node.name;
        uint32_t at = node.parentId;
        for (int depth = 0; depth < 256; ++depth) {
            if (at == part.rootNodeId) {
                out[Utf8(path)] = &node;
                return;
            }
            const RFileNode* parent = part.NodeAt(at);
            if (!parent || parent->kind == NodeKind::Empty || at == parent->parentId) return;
            path = parent->name + L"/" + path;
            at = parent->parentId;
        }
    });
    return out;
}

std::string ContentMd5(PartInfo& part, DiskReader& reader, const RFileNode& node,
                       uint64_t* bytesRead) {
    std::vector<uint8_t> data(node.size);
    uint64_t done = 0;
    while (done < node.size) {
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(node.size - done, 1 << 20));
        uint32_t got = part.ReadFileData(&reader, &node, done, data.data() + done, piece);
        if (got == 0) break;
        done += got;
    }
    data.resize(done);
    if (bytesRead) *bytesRead = done;
    return Md5Hex(data.data(), data.size());
}

}  // namespace ravlin::test
