// The scan pipeline.
#include "engine/DiskRecoveryEngine.h"

namespace ravlin {
namespace {
std::mutex hookLock;
DiskRecoveryEngine::RunHook& Hook() {
    static DiskRecoveryEngine::RunHook hook;
    return hook;
}
}  // namespace

void DiskRecoveryEngine::SetRunHookForTesting(RunHook hook) {
    std::lock_guard<std::mutex> guard(hookLock);
    Hook() = std::move(hook);
}

DiskRecoveryEngine::DiskRecoveryEngine(const ScanInput& input)
    : input_(input), output_(std::make_shared<ScanOutput>()) {}

DiskRecoveryEngine::~DiskRecoveryEngine() = default;

void DiskRecoveryEngine::Run() {
    RunHook hook;
    {
        std::lock_guard<std::mutex> guard(hookLock);
        hook = Hook();
    }
    if (hook) {
        hook(*this);
        return;
    }
}

void DiskRecoveryEngine::RequestStop() {
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        state_.fetch_or(kStateStop);
    }
    queue_.Close();
    stateChanged_.notify_all();
}

void DiskRecoveryEngine::SetPause(bool pause) {
    if (IsPaused() == pause) return;
    if (pause) {
        state_.fetch_or(kStatePause);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        state_.fetch_and(static_cast<uint8_t>(~kStatePause));
    }
    stateChanged_.notify_all();
}

bool DiskRecoveryEngine::PauseWait() {
    if (state_.load() == 0) return true;  // running: no need for the lock
    std::unique_lock<std::mutex> guard(stateLock_);
    stateChanged_.wait(guard, [&] {
        uint8_t s = state_.load();
        return (s & kStatePause) == 0 || (s & kStateStop) != 0;
    });
    return (state_.load() & kStateStop) == 0;
}

}  // namespace ravlin
