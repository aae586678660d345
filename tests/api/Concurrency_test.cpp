// Host threads browse the view without pause while another host thread ticks the preview and
// the scan runs: every answer must be consistent on its own, and nothing may race.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ravlin/Ravlin.h"
#include "support/Fixtures.h"

using namespace ravlin::test;

namespace {

// Walks every partition's visible tree once; returns the files seen.
uint64_t BrowseOnce(IScanView& view, std::string& error) {
    uint64_t files = 0;
    std::vector<uint8_t> buffer(4096);
    for (uint64_t p = 0, parts = view.GetPartCount(); p < parts; ++p) {
        PartBrief part;
        if (!view.GetPartBrief(p, &part)) continue;  // the list may not have it yet
        std::vector<std::pair<uint32_t, int>> stack{{part.rootNodeId, 0}};
        bool opened = view.OpenReader(p);
        while (!stack.empty()) {
            auto [id, depth] = stack.back();
            stack.pop_back();
            if (depth > 64) {
                error = "visible tree deeper than 64";
                break;
            }
            uint64_t count = view.GetVisibleChildCount(p, id);
            // The same children a page at a time, read whole while the scan may be writing.
            uint64_t seenBytes = 0;
            view.VisitChildren(p, id, true, 0, 64, [](const RFileNode* child, void* context) {
                *static_cast<uint64_t*>(context) += child->name.size() + child->runs.size() + child->size;
            }, &seenBytes);
            for (uint64_t i = 0; i < count && i < 64; ++i) {
                uint32_t child = view.GetVisibleChild(p, id, i);
                if (child == 0) continue;  // a newer snapshot has fewer children
                NodeBrief brief;
                NodeStatusBrief status;
                if (!view.GetNodeBrief(p, child, &brief)) continue;
                view.GetNodeStatus(p, child, &status);
                if (brief.isDirectory) {
                    stack.push_back({child, depth + 1});
                } else {
                    ++files;
                    if (opened && brief.size > 0 && files % 16 == 0)
                        view.ReadNodeData(p, child, buffer.data(), 0,
                                          static_cast<unsigned>(std::min<uint64_t>(brief.size, buffer.size())));
                }
            }
        }
        if (opened) view.CloseReader(p);
        view.CurrentPath();
    }
    return files;
}

}  // namespace

TEST(BrowseConcurrency, HostThreadsBrowseWhileTheScanRunsAndAnotherThreadTicks) {
    auto image = FixtureImage("mbr-disk.img");
    ScanEngine engine;
    unsigned int collector = engine.AddCollector([](const RFileNode*, void*) { return 1; }, nullptr);
    ScanInput input;
    input.devicePath = image.wstring();
    input.sectorCount = std::filesystem::file_size(image) / 512;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(engine.Start(input));
        std::atomic<bool> ticking{true};
        std::atomic<uint64_t> browsed{0};
        std::string errors[2];
        std::thread ticker([&] {
            // The second round changes the filter while it ticks: the refilter passes run under
            // the browsers too.
            for (int ticks = 0; engine.IsRunning() || engine.TickPreview(25) || !engine.FilterEnding(); ++ticks) {
                engine.TickPreview(25);
                if (round == 1 && ticks == 40) engine.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
                if (round == 1 && ticks == 80) engine.ClearNodeFilter();
            }
            ticking = false;
        });
        std::vector<std::thread> browsers;
        for (int b = 0; b < 2; ++b) {
            browsers.emplace_back([&, b] {
                while (ticking) {
                    browsed += BrowseOnce(engine.GetView(), errors[b]);
                    engine.GetCategoryCount(46);
                    engine.GetCollectedCount(collector, 0);
                    unsigned long long s, t, f, fb;
                    engine.GetScanProgress(s, t, f, fb);
                }
            });
        }
        ticker.join();
        for (auto& t : browsers) t.join();
        EXPECT_EQ(errors[0], "");
        EXPECT_EQ(errors[1], "");
        // At rest the tree holds every file the scan found.
        std::string error;
        unsigned long long s, t, found, fb;
        engine.GetScanProgress(s, t, found, fb);
        EXPECT_EQ(BrowseOnce(engine.GetView(), error), found);
        EXPECT_GT(found, 20u);
    }
}
