// Engine lifecycle: Start, Stop, pause, the worker thread and the notify callback.
#include "engine/ScanEngineImpl.h"

#include <condition_variable>
#include <new>
#include <system_error>

#include "engine/ScanPreViewBridge.h"
#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "platform/Debug.h"
#include "results/ScanPreview.h"

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

    // A refused input leaves the ended scan readable: its input is kept as it was.
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

    // The preview shares ownership of the output, so a host still holding the previous
    // preview keeps reading valid partitions after the next Start.
    std::shared_ptr<ScanPreview> preview;
    try {
        preview = std::make_shared<ScanPreview>(input.previewPath, engine->Output(), input.scanKind);
    } catch (...) {
        running_.store(0);
        Notify(ScanEngine::StartFailed);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(engineLock_);
        input_ = input;
        output_ = engine->Output();
        engine_ = std::move(engine);
        // A Stop that came while this Start was under way found no scan to stop.
        if (stopRequested_.load()) engine_->RequestStop();
    }
    {
        std::lock_guard<std::mutex> guard(previewLock_);
        preview_ = preview;
        ApplyFilterLocked();
        for (auto& entry : collectors_) {
            entry.previewCollectorId = 0;
            entry.previewCollectorId = preview_->AddCollector(CollectorPredicate(entry));
        }
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
    if (auto preview = Preview()) {
        found = preview->FoundCount();
        foundBytes = preview->FoundBytes();
    }
}

ravlin::NodePredicate ScanEngineImpl::CollectorPredicate(const CollectorEntry& entry) {
    NodePredicate predicate = entry.predicate;
    void* context = entry.context;
    return [predicate, context](const RFileNode& node) { return predicate(&node, context) != 0; };
}

void ScanEngineImpl::SetNodeFilter(NodePredicate filter, void* context) {
    std::lock_guard<std::mutex> guard(previewLock_);
    nodeFilter_ = filter;
    nodeFilterContext_ = context;
    ApplyFilterLocked();
}

void ScanEngineImpl::ApplyFilterLocked() {
    if (!preview_) return;
    if (!nodeFilter_) {
        preview_->SetNodeFilter([](const RFileNode&) { return true; });
        return;
    }
    NodePredicate filter = nodeFilter_;
    void* context = nodeFilterContext_;
    preview_->SetNodeFilter([filter, context](const RFileNode& node) { return filter(&node, context) != 0; });
}

uint32_t ScanEngineImpl::AddCollector(NodePredicate predicate, void* context) {
    if (!predicate) return 0;
    std::lock_guard<std::mutex> guard(previewLock_);
    uint32_t id = nextCollectorId_++;
    if (id == 0) id = nextCollectorId_++;
    CollectorEntry entry;
    entry.id = id;
    entry.predicate = predicate;
    entry.context = context;
    entry.previewCollectorId = preview_ ? preview_->AddCollector(CollectorPredicate(entry)) : 0;
    collectors_.push_back(entry);
    return id;
}

void ScanEngineImpl::RemoveCollector(uint32_t id) {
    if (id == 0) return;
    std::lock_guard<std::mutex> guard(previewLock_);
    for (auto it = collectors_.begin(); it != collectors_.end(); ++it) {
        if (it->id == id) {
            if (preview_ && it->previewCollectorId != 0) preview_->RemoveCollector(it->previewCollectorId);
            collectors_.erase(it);
            return;
        }
    }
}

std::shared_ptr<PartInfo> ScanEngineImpl::PartitionAt(uint64_t partIndex) const {
    auto output = Output();
    if (!output) return nullptr;
    auto parts = output->Partitions();
    return parts && partIndex < parts->size() ? (*parts)[partIndex] : nullptr;
}

uint64_t ScanEngineImpl::GetCollectedCount(uint32_t collectorId, uint64_t partIndex) const {
    if (collectorId == 0) return 0;
    std::shared_ptr<ScanPreview> preview;
    uint32_t previewId = 0;
    {
        std::lock_guard<std::mutex> guard(previewLock_);
        preview = preview_;
        for (const auto& entry : collectors_) {
            if (entry.id == collectorId) {
                previewId = entry.previewCollectorId;
                break;
            }
        }
    }
    if (!preview || previewId == 0) return 0;
    auto parts = preview->Partitions();
    if (!parts || partIndex >= parts->size()) return 0;
    return preview->GetCollectedCount(previewId, (*parts)[partIndex].get());
}

uint64_t ScanEngineImpl::EnumCategories(int (*enumerator)(int, unsigned long long, void*),
                                        void* ctx) const {
    auto preview = Preview();
    if (!enumerator || !preview) return 0;
    uint64_t calls = 0;
    for (const auto& [type, count] : preview->Tree().ListTypes()) {
        ++calls;
        if (enumerator(static_cast<int>(type), count, ctx) != 0) break;
    }
    return calls;
}

uint64_t ScanEngineImpl::GetCategoryCount(int category) const {
    auto preview = Preview();
    return preview ? preview->Tree().TypeCount(static_cast<uint32_t>(category)) : 0;
}

uint64_t ScanEngineImpl::GetCategoryFileSize(int category) const {
    auto preview = Preview();
    return preview ? preview->Tree().TypeSize(static_cast<uint32_t>(category)) : 0;
}

void ScanEngineImpl::SetCategoryChecked(int category, bool checked) {
    if (auto preview = Preview()) preview->Tree().SetTypeChecked(static_cast<uint32_t>(category), checked);
}

int ScanEngineImpl::GetCategoryCheckStatus(int category) const {
    auto preview = Preview();
    return preview ? preview->Tree().TypeCheckState(static_cast<uint32_t>(category)) : 0;
}

uint64_t ScanEngineImpl::GetCategoryCheckCount(int category) const {
    auto preview = Preview();
    return preview ? preview->Tree().TypeCheckedCount(static_cast<uint32_t>(category)) : 0;
}

uint64_t ScanEngineImpl::EnumCategoryNodes(int category, uint64_t first, uint64_t count,
                                           int (*enumerator)(unsigned int, const RFileNode*, void*),
                                           void* ctx) const {
    auto preview = Preview();
    if (!enumerator || !preview) return 0;
    const VirtualFileTree& tree = preview->Tree();
    uint64_t calls = 0;
    // The host's enumerator runs with no lock of ours held (it may call back into the view):
    // each node is copied under its partition's lock, and the copy is handed out.
    for (const auto& ref : tree.Refs(static_cast<uint32_t>(category), first, count)) {
        auto part = tree.PartAt(ref.partIndex);
        if (!part) continue;
        RFileNode copy;
        {
            auto nodes = part->ReadLock();
            const RFileNode* node = part->LiveNodeAt(ref.nodeId);
            if (!node) continue;
            copy = CopyOfNode(*node);
        }
        ++calls;
        if (enumerator(ref.partIndex, &copy, ctx) != 0) break;
    }
    return calls;
}

bool ScanEngineImpl::TickPreview(uint32_t budget) {
    auto preview = Preview();
    return preview && preview->TickPreview(budget);
}

bool ScanEngineImpl::FilterEnding() const {
    auto preview = Preview();
    return preview && preview->FilterEnding();
}

void ScanEngineImpl::SweepTombstones() {
    if (auto preview = Preview()) preview->SweepTombstones();
}

IScanView& ScanEngineImpl::View() { return *view_; }

bool ScanEngineImpl::SaveScanProgress(const std::wstring& folder, const std::wstring& dataFile,
                                      const std::wstring& indexFile) {
    // The scan object stays while the save runs: a new Start waits for it.
    std::lock_guard<std::mutex> guard(engineLock_);
    if (!engine_) return false;
    if (IsRunning() && !engine_->IsPaused()) return false;
    return engine_->SaveProgress(folder, dataFile, indexFile);
}
