// Engine lifecycle: Start, Stop, pause, the worker thread and the notify callback.
#include "engine/ScanEngineImpl.h"

#include <condition_variable>
#include <new>
#include <system_error>

#include "platform/Debug.h"
#include "results/ScanPreViewBridge.h"

using namespace ravlin;

ScanEngineImpl::ScanEngineImpl() : view_(std::make_unique<ScanPreViewBridge>(this)) {}

ScanEngineImpl::~ScanEngineImpl() {
    SetNotifyCallback(nullptr, nullptr);
    Stop();
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }
    view_.reset();
    std::lock_guard<std::mutex> guard(previewLock_);
    collectors_.clear();
    preview_.reset();
}

void ScanEngineImpl::SetNotifyCallback(NotifyCallback callback, void* context) {
    std::lock_guard<std::mutex> guard(notifyLock_);
    notifyCallback_ = callback;
    notifyContext_ = context;
}

void ScanEngineImpl::Notify(ScanEngine::Notify code) {
    NotifyCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> guard(notifyLock_);
        callback = notifyCallback_;
        context = notifyContext_;
    }
    if (callback) callback(code, context);
}

bool ScanEngineImpl::Start(const ScanInput& input) {
    platform::DebugPrintf("[Ravlin::Start] sizeof(ScanInput)=%zu\n", sizeof(ScanInput));
    uint8_t expected = 0;
    if (!running_.compare_exchange_strong(expected, 1)) return false;
    {
        std::lock_guard<std::mutex> guard(engineLock_);
        input_ = input;
    }

    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id()) {
            // Start from the Finished callback on the worker itself cannot join that thread.
            running_.store(0);
            Notify(ScanEngine::StartFailed);
            return false;
        }
        worker_.join();
    }
    stopRequested_.store(0);
    finished_.store(0);
    finishNotified_.store(0);

    if (input.devicePath.empty()) {
        running_.store(0);
        Notify(ScanEngine::StartFailed);
        return false;
    }

    std::unique_ptr<DiskRecoveryEngine> engine;
    try {
        {
            std::lock_guard<std::mutex> guard(previewLock_);
            preview_.reset();
        }
        {
            std::lock_guard<std::mutex> guard(engineLock_);
            engine_.reset();
            output_.reset();
        }
        engine = std::make_unique<DiskRecoveryEngine>(input);
    } catch (...) {
        running_.store(0);
        Notify(ScanEngine::StartFailed);
        return false;
    }

    {
        std::lock_guard<std::mutex> guard(engineLock_);
        output_ = engine->Output();
        engine_ = std::move(engine);
    }

    // Launch handshake: the launcher waits until the worker runs. The worker first waits for
    // `worker_` to be assigned, since a Finished callback may destroy this object and read it.
    std::mutex launchLock;
    std::condition_variable launched;
    bool started = false;
    try {
        std::lock_guard<std::mutex> assign(workerLock_);
        worker_ = std::thread([this, &launchLock, &launched, &started] {
            {
                // Notified under the lock: the launcher's stack frame lives until we let go.
                std::lock_guard<std::mutex> guard(launchLock);
                started = true;
                launched.notify_one();
            }
            { std::lock_guard<std::mutex> assigned(workerLock_); }
            WorkerBody();
        });
    } catch (...) {
        running_.store(0);
        Notify(ScanEngine::StartFailed);
        return false;
    }
    std::unique_lock<std::mutex> wait(launchLock);
    launched.wait(wait, [&] { return started; });
    return true;
}

void ScanEngineImpl::WorkerBody() {
    DiskRecoveryEngine* engine;
    {
        std::lock_guard<std::mutex> guard(engineLock_);
        engine = engine_.get();
    }
    if (engine) {
        try {
            engine->Run();
        } catch (...) {
        }
    }
    finished_.store(1);
    running_.store(0);
    if (finishNotified_.exchange(1) == 0) Notify(ScanEngine::Finished);
    // Nothing of this object may be touched from here on: the host may have destroyed the
    // engine inside the callback.
}

void ScanEngineImpl::Stop() {
    stopRequested_.store(1);
    std::lock_guard<std::mutex> guard(engineLock_);
    if (engine_) engine_->RequestStop();
}

void ScanEngineImpl::SetPause(bool pause) {
    std::lock_guard<std::mutex> guard(engineLock_);
    if (engine_) engine_->SetPause(pause);
}

bool ScanEngineImpl::IsPause() const {
    std::lock_guard<std::mutex> guard(engineLock_);
    return engine_ && engine_->IsPaused();
}

std::shared_ptr<ScanOutput> ScanEngineImpl::Output() const {
    std::lock_guard<std::mutex> guard(engineLock_);
    return output_;
}

ScanInput ScanEngineImpl::InputCopy() const {
    std::lock_guard<std::mutex> guard(engineLock_);
    return input_;
}

std::shared_ptr<ScanPreview> ScanEngineImpl::Preview() const {
    std::lock_guard<std::mutex> guard(previewLock_);
    return preview_;
}

void ScanEngineImpl::GetScanProgress(unsigned long long& scanned, unsigned long long& total,
                                     unsigned long long& found,
                                     unsigned long long& foundBytes) const {
    scanned = total = found = foundBytes = 0;
    if (auto output = Output()) {
        scanned = output->scannedSectors.load();
        total = output->totalSectors.load();
    }
}

void ScanEngineImpl::SetNodeFilter(NodePredicate filter, void* context) {
    std::lock_guard<std::mutex> guard(previewLock_);
    nodeFilter_ = filter;
    nodeFilterContext_ = context;
    ApplyFilterLocked();
}

void ScanEngineImpl::ApplyFilterLocked() {}

uint32_t ScanEngineImpl::AddCollector(NodePredicate predicate, void* context) {
    if (!predicate) return 0;
    std::lock_guard<std::mutex> guard(previewLock_);
    uint32_t id = nextCollectorId_++;
    if (id == 0) id = nextCollectorId_++;
    CollectorEntry entry;
    entry.id = id;
    entry.predicate = predicate;
    entry.context = context;
    collectors_.push_back(entry);
    return id;
}

void ScanEngineImpl::RemoveCollector(uint32_t id) {
    if (id == 0) return;
    std::lock_guard<std::mutex> guard(previewLock_);
    for (auto it = collectors_.begin(); it != collectors_.end(); ++it) {
        if (it->id == id) {
            collectors_.erase(it);
            return;
        }
    }
}

uint64_t ScanEngineImpl::GetCollectedCount(uint32_t, uint64_t) const { return 0; }

uint64_t ScanEngineImpl::EnumCategories(int (*)(int, unsigned long long, void*), void*) const {
    return 0;
}
uint64_t ScanEngineImpl::GetCategoryCount(int) const { return 0; }
uint64_t ScanEngineImpl::GetCategoryFileSize(int) const { return 0; }
void ScanEngineImpl::SetCategoryChecked(int, bool) {}
int ScanEngineImpl::GetCategoryCheckStatus(int) const { return 0; }
uint64_t ScanEngineImpl::GetCategoryCheckCount(int) const { return 0; }
uint64_t ScanEngineImpl::EnumCategoryNodes(int, uint64_t, uint64_t,
                                           int (*)(unsigned int, const RFileNode*, void*),
                                           void*) const {
    return 0;
}
bool ScanEngineImpl::TickPreview(uint32_t) { return false; }
bool ScanEngineImpl::FilterEnding() const { return false; }
void ScanEngineImpl::SweepTombstones() {}

IScanView& ScanEngineImpl::View() { return *view_; }

bool ScanEngineImpl::SaveScanProgress(const std::wstring&, const std::wstring&,
                                      const std::wstring&) {
    return false;
}
