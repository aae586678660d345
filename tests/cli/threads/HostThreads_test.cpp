// The host's helper threads: the report file written on a thread of its own, and the walk's
// nodes handed to the report writer on another.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "BackgroundWrite.h"
#include "ThreadedSink.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace ravlin::cli;
using ravlin::test::TempDir;

namespace {

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Writes down every call it gets, in order.
class Recorder final : public ResultSink {
public:
    std::vector<std::string> calls;
    void Part(const PartResult& part) override { calls.push_back("part " + part.displayName); }
    void Node(const PartResult& part, NodeResult&& node) override {
        calls.push_back(part.displayName + " " + std::to_string(node.id) + " " + node.path);
    }
    void EndPart(const PartResult& part) override { calls.push_back("end " + part.displayName); }
};

}  // namespace

TEST(BackgroundFile, WritesEveryByteInOrderAndReportsAFullTarget) {
    TempDir temp;
    const fs::path path = temp / "out.txt";
    std::string expected;
    {
        BackgroundFile file;
        ASSERT_TRUE(file.Open(path.string()));
        // Small pieces, and pieces larger than the buffers, across many hand-overs.
        for (int i = 0; i < 200000; ++i) {
            std::string line = std::to_string(i * 7919) + (i % 1000 == 0 ? std::string(700000, 'x') : "") + "\n";
            file << line;
            expected += line;
        }
        EXPECT_TRUE(file.Close());
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(Slurp(path), expected);

    // A device that takes no byte: the close says so.
    BackgroundFile full;
    ASSERT_TRUE(full.Open("/dev/full"));
    full << std::string(3 << 20, 'y');
    EXPECT_FALSE(full.Close());
    // A folder cannot be opened as a file.
    BackgroundFile folder;
    EXPECT_FALSE(folder.Open(temp.Path().string()));
}

TEST(ThreadedSink, TheOtherSinkGetsEveryCallInOrder) {
    Recorder direct, through;
    auto feed = [](ResultSink& sink) {
        for (int p = 0; p < 3; ++p) {
            PartResult part;
            part.displayName = "disk" + std::to_string(p);
            sink.Part(part);
            // The first partition has more nodes than several batches hold, the second none.
            const int nodes = p == 0 ? 5000 : p == 1 ? 0 : 7;
            for (int n = 0; n < nodes; ++n) {
                NodeResult node;
                node.id = static_cast<uint32_t>(n);
                node.path = "folder/" + std::to_string(n * 31) + ".jpg";
                sink.Node(part, std::move(node));
            }
            sink.EndPart(part);
        }
    };
    feed(direct);
    {
        ThreadedSink threaded(through);
        feed(threaded);
        threaded.Finish();
        EXPECT_EQ(through.calls.size(), direct.calls.size());
    }
    EXPECT_EQ(through.calls, direct.calls);
    EXPECT_EQ(direct.calls.size(), 5000u + 7u + 6u);

    // Left without Finish, the destructor still hands everything over.
    Recorder late;
    {
        ThreadedSink threaded(late);
        feed(threaded);
    }
    EXPECT_EQ(late.calls, direct.calls);
}
