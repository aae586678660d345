// Engine lifecycle: Start, Stop, pause, Finished and the collector ids, with real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/DiskRecoveryEngine.h"
#include "engine/ScanEngineImpl.h"
#include "platform/Debug.h"

using namespace ravlin;

namespace {

// Records notifications and lets a test wait for them.
struct Notifications {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<ScanEngine::Notify> codes;
    std::vector<std::thread::id> threads;
    std::vector<bool> runningInside;
    ScanEngine* engine = nullptr;

    static void Callback(ScanEngine::Notify code, void* context) {
        auto* self = static_cast<Notifications*>(context);
        bool running = self->engine ? self->engine->IsRunning() : false;
        std::lock_guard<std::mutex> guard(self->lock);
        self->codes.push_back(code);
        self->threads.push_back(std::this_thread::get_id());
        self->runningInside.push_back(running);
        self->changed.notify_all();
    }
    size_t Count(ScanEngine::Notify code) {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (auto c : codes) n += c == code;
        return n;
    }
    void WaitFor(ScanEngine::Notify code, size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] {
            size_t n = 0;
            for (auto c : codes) n += c == code;
            return n >= count;
        });
    }
};

// While installed, every scan parks in the pause wait until it is stopped or resumed, and
// reports each time it passes the wait.
class ParkedScans {
public:
    ParkedScans() {
        DiskRecoveryEngine::SetRunHookForTesting([this](DiskRecoveryEngine& engine) {
            engine.SetPause(true);
            {
                std::lock_guard<std::mutex> guard(lock_);
                ++entered_;
            }
            changed_.notify_all();
            while (engine.PauseWait()) {
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    ++resumed_;
                }
                changed_.notify_all();
                engine.SetPause(true);
            }
        });
    }
    ~ParkedScans() { DiskRecoveryEngine::SetRunHookForTesting(nullptr); }

    void WaitEntered(int n) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return entered_ >= n; });
    }
    void WaitResumed(int n) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return resumed_ >= n; });
    }
    int Resumed() {
        std::lock_guard<std::mutex> guard(lock_);
        return resumed_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int entered_ = 0;
    int resumed_ = 0;
};

ScanInput InputFor(const std::wstring& path) {
    ScanInput input;
    input.devicePath = path;
    return input;
}

}  // namespace

TEST(Lifecycle, SecondStartWhileRunningIsRefusedAndSendsNothing) {
    ParkedScans parked;
    Notifications seen;
    ScanEngine engine;
    engine.SetNotifyCallback(&Notifications::Callback, &seen);
    ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/a.img")));
    parked.WaitEntered(1);
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_FALSE(engine.Start(InputFor(L"/nonexistent/b.img")));
    EXPECT_EQ(seen.Count(ScanEngine::StartFailed), 0u);
    EXPECT_EQ(seen.Count(ScanEngine::Finished), 0u);
    engine.Stop();
    seen.WaitFor(ScanEngine::Finished, 1);
    EXPECT_FALSE(engine.IsRunning());
}

TEST(Lifecycle, EmptyPathFailsOnTheCallersThreadAndLeavesTheEngineIdle) {
    Notifications seen;
    ScanEngine engine;
    engine.SetNotifyCallback(&Notifications::Callback, &seen);
    EXPECT_FALSE(engine.Start(ScanInput()));
    ASSERT_EQ(seen.codes.size(), 1u);
    EXPECT_EQ(seen.codes[0], ScanEngine::StartFailed);
    EXPECT_EQ(seen.threads[0], std::this_thread::get_id());
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_FALSE(engine.IsPause());
    // The engine is usable afterwards.
    EXPECT_TRUE(engine.Start(InputFor(L"/nonexistent/c.img")));
    seen.WaitFor(ScanEngine::Finished, 1);
}

TEST(Lifecycle, RunningIsAlreadyClearedInsideFinished) {
    Notifications seen;
    ScanEngine engine;
    seen.engine = &engine;
    engine.SetNotifyCallback(&Notifications::Callback, &seen);
    ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/d.img")));
    seen.WaitFor(ScanEngine::Finished, 1);
    std::lock_guard<std::mutex> guard(seen.lock);
    ASSERT_EQ(seen.runningInside.size(), 1u);
    EXPECT_FALSE(seen.runningInside[0]);
    EXPECT_NE(seen.threads[0], std::this_thread::get_id());
}

TEST(Lifecycle, FinishedOncePerStartWhenStopRacesTheEndOfTheWorker) {
    Notifications seen;
    ScanEngine engine;
    engine.SetNotifyCallback(&Notifications::Callback, &seen);
    size_t started = 0;
    for (int i = 0; i < 200; ++i) {
        if (engine.Start(InputFor(L"/nonexistent/e.img"))) {
            ++started;
            if (i % 2 == 0) engine.Stop();
            std::thread racer([&] { engine.Stop(); });
            racer.join();
        }
        seen.WaitFor(ScanEngine::Finished, started);
    }
    EXPECT_EQ(started, 200u);
    EXPECT_EQ(seen.Count(ScanEngine::Finished), started);
    EXPECT_EQ(seen.Count(ScanEngine::StartFailed), 0u);
}

TEST(Lifecycle, PauseTwiceThenOneResumeResumes) {
    ParkedScans parked;
    ScanEngine engine;
    ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/f.img")));
    parked.WaitEntered(1);
    EXPECT_TRUE(engine.IsPause());
    engine.SetPause(true);
    engine.SetPause(true);
    EXPECT_TRUE(engine.IsPause());
    EXPECT_EQ(parked.Resumed(), 0);
    engine.SetPause(false);
    parked.WaitResumed(1);
    engine.Stop();
}

TEST(Lifecycle, StopWakesAPausedScan) {
    ParkedScans parked;
    Notifications seen;
    ScanEngine engine;
    engine.SetNotifyCallback(&Notifications::Callback, &seen);
    ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/g.img")));
    parked.WaitEntered(1);
    engine.Stop();
    seen.WaitFor(ScanEngine::Finished, 1);
    EXPECT_EQ(parked.Resumed(), 0);
}

TEST(Lifecycle, StopBeforeAnyStartOnlySetsTheFlag) {
    Notifications seen;
    ScanEngineImpl impl;
    impl.SetNotifyCallback(&Notifications::Callback, &seen);
    impl.Stop();
    EXPECT_TRUE(impl.StopRequested());
    EXPECT_FALSE(impl.IsRunning());
    EXPECT_FALSE(impl.IsPause());
    EXPECT_TRUE(seen.codes.empty());
    // A later Start clears the request and runs normally.
    ASSERT_TRUE(impl.Start(InputFor(L"/nonexistent/h.img")));
    EXPECT_FALSE(impl.StopRequested());
    seen.WaitFor(ScanEngine::Finished, 1);
}

namespace {
struct SelfDestruct {
    ScanEngine* engine = nullptr;
    std::mutex lock;
    std::condition_variable done;
    bool destroyed = false;
};
void DestroyFromCallback(ScanEngine::Notify code, void* context) {
    auto* state = static_cast<SelfDestruct*>(context);
    if (code != ScanEngine::Finished) return;
    delete state->engine;
    std::lock_guard<std::mutex> guard(state->lock);
    state->destroyed = true;
    state->done.notify_all();
}
}  // namespace

TEST(Lifecycle, DestroyingTheEngineFromItsFinishedCallbackDetachesTheWorker) {
    SelfDestruct state;
    state.engine = new ScanEngine();
    state.engine->SetNotifyCallback(&DestroyFromCallback, &state);
    ASSERT_TRUE(state.engine->Start(InputFor(L"/nonexistent/i.img")));
    std::unique_lock<std::mutex> guard(state.lock);
    state.done.wait(guard, [&] { return state.destroyed; });
}

TEST(Lifecycle, DestructorStopsAndJoinsARunningScan) {
    ParkedScans parked;
    Notifications seen;
    {
        ScanEngine engine;
        engine.SetNotifyCallback(&Notifications::Callback, &seen);
        ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/j.img")));
        parked.WaitEntered(1);
    }
    // The callback was cleared before the stop, so nothing reached the host.
    EXPECT_EQ(seen.Count(ScanEngine::Finished), 0u);
}

TEST(Collectors, NullPredicateIsRefusedAndIdsAreNeverZero) {
    ScanEngineImpl impl;
    auto accept = [](const RFileNode*, void*) { return 1; };
    EXPECT_EQ(impl.AddCollector(nullptr, nullptr), 0u);
    uint32_t first = impl.AddCollector(accept, nullptr);
    EXPECT_EQ(first, 1u);
    impl.SetNextCollectorIdForTesting(0xFFFFFFFFu);
    EXPECT_EQ(impl.AddCollector(accept, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(impl.AddCollector(accept, nullptr), 1u);  // wrapped past 0
    // Removing 0, an unknown id, then a real one.
    impl.RemoveCollector(0);
    impl.RemoveCollector(12345);
    impl.RemoveCollector(first);
}

TEST(Collectors, IdsSurviveASecondStart) {
    Notifications seen;
    ScanEngine engine;
    engine.SetNotifyCallback(&Notifications::Callback, &seen);
    auto accept = [](const RFileNode*, void*) { return 1; };
    unsigned a = engine.AddCollector(accept, nullptr);
    unsigned b = engine.AddCollector(accept, nullptr);
    ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/k.img")));
    seen.WaitFor(ScanEngine::Finished, 1);
    ASSERT_TRUE(engine.Start(InputFor(L"/nonexistent/k.img")));
    seen.WaitFor(ScanEngine::Finished, 2);
    unsigned c = engine.AddCollector(accept, nullptr);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(c, 3u);
}

TEST(NodeFilters, RecycledAcceptsExactlyWhatDeletedAccepts) {
    EXPECT_EQ(NodeFilterOnlyDeleted(nullptr, nullptr), 0);
    EXPECT_EQ(NodeFilterOnlyRecycled(nullptr, nullptr), 0);
    for (uint32_t kind = 0; kind <= 6; ++kind) {
        for (uint8_t valid : {0, 1}) {
            RFileNode node;
            node.kind = static_cast<NodeKind>(kind);
            node.valid = valid;
            int expected = (kind >= 2 && kind <= 4) ? 1 : 0;
            EXPECT_EQ(NodeFilterOnlyDeleted(&node, nullptr), expected) << kind;
            EXPECT_EQ(NodeFilterOnlyRecycled(&node, &node), expected) << kind;
        }
    }
}

TEST(Lifecycle, StartWritesItsDebugLineOnlyToAnInstalledSink) {
    std::vector<std::string> lines;
    auto sink = [](const char* line, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(line);
    };
    ScanEngine engine;
    EXPECT_FALSE(engine.Start(ScanInput()));
    EXPECT_TRUE(lines.empty());
    ravlin::SetDebugSink(sink, &lines);
    EXPECT_FALSE(engine.Start(ScanInput()));
    ravlin::SetDebugSink(nullptr, nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[Ravlin::Start] sizeof(ScanInput)=" + std::to_string(sizeof(ScanInput)) +
                            "\n");
}

TEST(Lifecycle, ADefaultInputScansWithKindOneAndModeZero) {
    ScanInput input;
    EXPECT_EQ(input.scanKind, 1u);
    EXPECT_EQ(input.scanMode, 0u);
    EXPECT_EQ(input.startSector, 0u);
    EXPECT_EQ(input.sectorCount, 0u);
    EXPECT_EQ(input.host, nullptr);
}
