// Stop and pause on the real pipeline (file-system pass and raw pass over the sample disk),
// issued right after Start and at every point a scan passes through.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "engine/DiskRecoveryEngine.h"
#include "engine/ScanEngineImpl.h"
#include "fs/PartInfo.h"
#include "support/Fixtures.h"

using namespace ravlin;
using Checkpoint = DiskRecoveryEngine::Checkpoint;

namespace {

// Waits for Finished.
struct FinishWaiter {
    std::mutex lock;
    std::condition_variable changed;
    int finished = 0;

    static void Callback(ScanEngine::Notify code, void* context) {
        auto* self = static_cast<FinishWaiter*>(context);
        if (code != ScanEngine::Finished) return;
        std::lock_guard<std::mutex> guard(self->lock);
        ++self->finished;
        self->changed.notify_all();
    }
    void Wait(int count) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return finished >= count; });
    }
};

// Every checkpoint a scan reaches, counted; at the `at`-th one (from 1) `act` runs once, on the
// thread that reached it.
class Checkpoints {
public:
    explicit Checkpoints(uint64_t at = 0, std::function<void(Checkpoint)> act = {})
        : at_(at), act_(std::move(act)) {
        DiskRecoveryEngine::SetCheckpointHookForTesting([this](DiskRecoveryEngine&, Checkpoint point) {
            uint64_t n;
            {
                std::lock_guard<std::mutex> guard(lock_);
                n = ++count_;
                kinds_.insert(point);
                if (acted_) after_.push_back(point);
            }
            if (n == at_ && act_) {
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    acted_ = true;
                }
                act_(point);
            }
            changed_.notify_all();
        });
    }
    ~Checkpoints() { DiskRecoveryEngine::SetCheckpointHookForTesting(nullptr); }

    uint64_t Count() {
        std::lock_guard<std::mutex> guard(lock_);
        return count_;
    }
    std::set<Checkpoint> Kinds() {
        std::lock_guard<std::mutex> guard(lock_);
        return kinds_;
    }
    std::vector<Checkpoint> After() {
        std::lock_guard<std::mutex> guard(lock_);
        return after_;
    }
    bool Acted() {
        std::lock_guard<std::mutex> guard(lock_);
        return acted_;
    }
    // Waits until a thread is about to wait in the pause wait after the action; false when
    // `ended` says the scan ended first.
    bool WaitPaused(const std::function<bool()>& ended) {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            for (Checkpoint c : after_)
                if (c == Checkpoint::PauseWaiting) return true;
            if (ended()) return false;
            changed_.wait_for(guard, std::chrono::milliseconds(1));
        }
    }

private:
    uint64_t at_;
    std::function<void(Checkpoint)> act_;
    std::mutex lock_;
    std::condition_variable changed_;
    uint64_t count_ = 0;
    bool acted_ = false;
    std::set<Checkpoint> kinds_;
    std::vector<Checkpoint> after_;
};

struct Result {
    uint64_t scanned = 0, total = 0, partitions = 0, files = 0;
};

Result ResultOf(ScanEngineImpl& engine) {
    Result r;
    unsigned long long found, bytes;
    unsigned long long scanned, total;
    engine.GetScanProgress(scanned, total, found, bytes);
    r.scanned = scanned;
    r.total = total;
    if (auto output = engine.Output()) {
        r.partitions = output->Partitions()->size();
        for (const auto& part : *output->Partitions()) r.files += part->FileCount();
    }
    return r;
}

ScanInput SampleDisk() {
    ScanInput input;
    input.devicePath = test::FixtureImage("sample-disk.img").wstring();
    input.sectorCount = std::filesystem::file_size(input.devicePath) / 512;
    return input;
}

size_t CountOf(const std::vector<Checkpoint>& points, Checkpoint kind) {
    size_t n = 0;
    for (Checkpoint c : points) n += c == kind;
    return n;
}

// The n-th of `count` points spread over [1, total], always holding the first and last few.
std::vector<uint64_t> Spread(uint64_t total, uint64_t count) {
    std::set<uint64_t> points;
    for (uint64_t i = 1; i <= std::min<uint64_t>(3, total); ++i) points.insert(i);
    for (uint64_t i = total > 3 ? total - 2 : 1; i <= total; ++i) points.insert(i);
    for (uint64_t k = 0; k < count; ++k) points.insert(1 + k * (total - 1) / std::max<uint64_t>(count - 1, 1));
    return {points.begin(), points.end()};
}

class StopPause : public ::testing::Test {
protected:
    // An uninterrupted scan: its result and how many checkpoints it passes.
    static void SetUpTestSuite() {
        Checkpoints all;
        ScanEngineImpl engine;
        FinishWaiter finished;
        engine.SetNotifyCallback(&FinishWaiter::Callback, &finished);
        ASSERT_TRUE(engine.Start(SampleDisk()));
        finished.Wait(1);
        baseline_ = ResultOf(engine);
        points_ = all.Count();
        kinds_ = all.Kinds();
    }
    static Result baseline_;
    static uint64_t points_;
    static std::set<Checkpoint> kinds_;
};
Result StopPause::baseline_;
uint64_t StopPause::points_ = 0;
std::set<Checkpoint> StopPause::kinds_;

}  // namespace

TEST_F(StopPause, TheSampleScanPassesEveryKindOfPoint) {
    EXPECT_EQ(baseline_.scanned, baseline_.total);
    EXPECT_GT(baseline_.total, 0u);
    EXPECT_EQ(baseline_.partitions, 3u);  // two volumes and the carved-files partition
    EXPECT_GT(baseline_.files, 10u);
    for (Checkpoint kind : {Checkpoint::Prepared, Checkpoint::FileSystemPass, Checkpoint::BlockRead,
                            Checkpoint::BlockAnalysed, Checkpoint::RawPassEnded})
        EXPECT_TRUE(kinds_.count(kind)) << static_cast<int>(kind);
    EXPECT_GT(points_, 30u);
}

// A Stop issued as soon as Start returns must not be lost to the scan's preparation.
TEST_F(StopPause, AStopRightAfterStartEndsTheScanBeforeItsEnd) {
    ScanEngineImpl engine;
    FinishWaiter finished;
    engine.SetNotifyCallback(&FinishWaiter::Callback, &finished);
    for (int i = 1; i <= 40; ++i) {
        ASSERT_TRUE(engine.Start(SampleDisk()));
        engine.Stop();
        finished.Wait(i);
        Result r = ResultOf(engine);
        EXPECT_LT(r.scanned, r.total) << "round " << i;
    }
}

TEST_F(StopPause, APauseRightAfterStartHoldsTheScanUntilResumed) {
    for (int i = 1; i <= 10; ++i) {
        Checkpoints seen(1, [](Checkpoint) {});
        ScanEngineImpl engine;
        FinishWaiter finished;
        engine.SetNotifyCallback(&FinishWaiter::Callback, &finished);
        ASSERT_TRUE(engine.Start(SampleDisk()));
        engine.SetPause(true);
        ASSERT_TRUE(seen.WaitPaused([&] { return !engine.IsRunning(); })) << "round " << i;
        EXPECT_TRUE(engine.IsPause());
        EXPECT_TRUE(engine.IsRunning());
        EXPECT_LT(ResultOf(engine).scanned, baseline_.total) << "round " << i;
        engine.SetPause(false);
        finished.Wait(1);
        Result r = ResultOf(engine);
        EXPECT_EQ(r.scanned, baseline_.total);
        EXPECT_EQ(r.files, baseline_.files);
    }
}

TEST_F(StopPause, AStopAtAnyPointEndsTheScanWithinTheStepInFlight) {
    for (uint64_t at : Spread(points_, 24)) {
        ScanEngineImpl engine;
        FinishWaiter finished;
        engine.SetNotifyCallback(&FinishWaiter::Callback, &finished);
        Result atStop;
        Checkpoints seen(at, [&](Checkpoint) {
            atStop = ResultOf(engine);
            engine.Stop();
        });
        ASSERT_TRUE(engine.Start(SampleDisk()));
        finished.Wait(1);
        if (!seen.Acted()) continue;  // this run passed fewer points
        Result end = ResultOf(engine);
        auto after = seen.After();
        // What was under way finishes; nothing new starts.
        EXPECT_LE(CountOf(after, Checkpoint::BlockAnalysed), 1u) << "stop at " << at;
        EXPECT_LE(CountOf(after, Checkpoint::BlockRead), 1u) << "stop at " << at;
        EXPECT_LE(CountOf(after, Checkpoint::FileSystemPass), 8u) << "stop at " << at;
        EXPECT_LE(end.scanned, atStop.scanned + 16384) << "stop at " << at;
        EXPECT_LE(end.partitions, atStop.partitions) << "stop at " << at;
        EXPECT_FALSE(engine.IsRunning());
    }
}

TEST_F(StopPause, APauseAtAnyPointLosesNothingOnceResumed) {
    for (uint64_t at : Spread(points_, 12)) {
        ScanEngineImpl engine;
        FinishWaiter finished;
        engine.SetNotifyCallback(&FinishWaiter::Callback, &finished);
        Checkpoints seen(at, [&](Checkpoint) { engine.SetPause(true); });
        ASSERT_TRUE(engine.Start(SampleDisk()));
        // A pause at the last points may find no wait left to hold: the scan simply ends.
        bool paused = seen.WaitPaused([&] { return !engine.IsRunning(); });
        if (paused) {
            EXPECT_TRUE(engine.IsPause()) << "pause at " << at;
            EXPECT_TRUE(engine.IsRunning()) << "pause at " << at;
            engine.SetPause(false);
        }
        finished.Wait(1);
        Result r = ResultOf(engine);
        EXPECT_EQ(r.scanned, baseline_.total) << "pause at " << at;
        EXPECT_EQ(r.partitions, baseline_.partitions) << "pause at " << at;
        EXPECT_EQ(r.files, baseline_.files) << "pause at " << at;
    }
}

// A refused Start leaves the ended scan readable, content included.
TEST(StartRefused, AnEmptyPathKeepsTheEndedScansInputAndContent) {
    ScanEngine engine;
    FinishWaiter finished;
    engine.SetNotifyCallback(&FinishWaiter::Callback, &finished);
    ASSERT_TRUE(engine.Start(SampleDisk()));
    finished.Wait(1);
    IScanView& view = engine.GetView();
    ASSERT_EQ(view.GetPartCount(), 3u);  // two volumes and the carved-files partition
    EXPECT_FALSE(engine.Start(ScanInput()));
    EXPECT_EQ(view.GetPartCount(), 3u);
    while (engine.TickPreview(0)) {
    }
    // The first file of the NTFS volume's tree, read through the view.
    PartBrief part;
    ASSERT_TRUE(view.GetPartBrief(0, &part));
    ASSERT_TRUE(view.OpenReader(0));
    uint32_t file = 0;
    std::vector<uint32_t> stack{part.rootNodeId};
    while (!stack.empty() && file == 0) {
        uint32_t id = stack.back();
        stack.pop_back();
        for (uint64_t i = 0; i < view.GetChildCount(0, id); ++i) {
            uint32_t child = view.GetChild(0, id, i);
            NodeBrief brief;
            if (!view.GetNodeBrief(0, child, &brief)) continue;
            if (brief.isDirectory) {
                stack.push_back(child);
            } else if (brief.size > 0) {
                file = child;
            }
        }
    }
    ASSERT_NE(file, 0u);
    std::vector<uint8_t> data(512, 0);
    EXPECT_TRUE(view.ReadNodeData(0, file, data.data(), 0, 512));
    view.CloseReader(0);
}
