// The object behind the exported ScanEngine: worker thread, scan object, preview, filters.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/DiskRecoveryEngine.h"
#include "fs/ScanOutput.h"
#include "results/PartView.h"
#include "ravlin/Ravlin.h"

namespace ravlin {
class PartInfo;
class ScanPreview;
class ScanPreViewBridge;
}  // namespace ravlin

class ScanEngineImpl {
public:
    using NotifyCallback = void (*)(ScanEngine::Notify, void*);
    using NodePredicate = int (*)(const RFileNode*, void*);

    ScanEngineImpl();
    ~ScanEngineImpl();
    ScanEngineImpl(const ScanEngineImpl&) = delete;
    ScanEngineImpl& operator=(const ScanEngineImpl&) = delete;

    void SetNotifyCallback(NotifyCallback callback, void* context);
    void ClearNotifyCallback() { SetNotifyCallback(nullptr, nullptr); }

    bool Start(const ScanInput& input);
    void Stop();
    void SetPause(bool pause);
    bool IsPause() const;
    bool IsRunning() const { return running_.load() != 0; }
    bool StopRequested() const { return stopRequested_.load() != 0; }

    void GetScanProgress(unsigned long long& scanned, unsigned long long& total,
                         unsigned long long& found, unsigned long long& foundBytes) const;

    void SetNodeFilter(NodePredicate filter, void* context);
    void ClearNodeFilter() { SetNodeFilter(nullptr, nullptr); }
    uint32_t AddCollector(NodePredicate predicate, void* context);
    void RemoveCollector(uint32_t id);
    uint64_t GetCollectedCount(uint32_t collectorId, uint64_t partIndex) const;

    uint64_t EnumCategories(int (*enumerator)(int, unsigned long long, void*), void* ctx) const;
    uint64_t GetCategoryCount(int category) const;
    uint64_t GetCategoryFileSize(int category) const;
    void SetCategoryChecked(int category, bool checked);
    int GetCategoryCheckStatus(int category) const;
    uint64_t GetCategoryCheckCount(int category) const;
    uint64_t EnumCategoryNodes(int category, uint64_t first, uint64_t count,
                               int (*enumerator)(unsigned int, const RFileNode*, void*),
                               void* ctx) const;

    bool TickPreview(uint32_t budget);
    bool FilterEnding() const;
    void SweepTombstones();

    IScanView& View();

    bool SaveScanProgress(const std::wstring& folder, const std::wstring& dataFile,
                          const std::wstring& indexFile);

    // The current preview and scan output, copied under their locks; null without a scan.
    std::shared_ptr<ravlin::ScanPreview> Preview() const;
    std::shared_ptr<ravlin::ScanOutput> Output() const;
    ScanInput InputCopy() const;
    // Entry `partIndex` of the current scan's partition list; null when there is none.
    std::shared_ptr<ravlin::PartInfo> PartitionAt(uint64_t partIndex) const;

    void SetNextCollectorIdForTesting(uint32_t next) {
        std::lock_guard<std::mutex> guard(previewLock_);
        nextCollectorId_ = next;
    }

private:
    struct CollectorEntry {
        uint32_t id = 0;
        NodePredicate predicate = nullptr;
        void* context = nullptr;
        uint32_t previewCollectorId = 0;
    };

    static ravlin::NodePredicate CollectorPredicate(const CollectorEntry& entry);
    void Notify(ScanEngine::Notify code);
    void WorkerBody();
    void ApplyFilterLocked();

    std::mutex notifyLock_;
    NotifyCallback notifyCallback_ = nullptr;
    void* notifyContext_ = nullptr;
    std::atomic<uint8_t> stopRequested_{0};
    std::atomic<uint8_t> running_{0};
    std::atomic<uint8_t> finished_{0};
    std::atomic<uint8_t> finishNotified_{0};
    std::mutex workerLock_;  // held while `worker_` is assigned
    std::thread worker_;
    // Guards the pointers below against a concurrent Start; the scan object itself is used
    // without it.
    mutable std::mutex engineLock_;
    std::unique_ptr<ravlin::DiskRecoveryEngine> engine_;
    std::shared_ptr<ravlin::ScanOutput> output_;
    ScanInput input_;
    mutable std::mutex previewLock_;
    std::shared_ptr<ravlin::ScanPreview> preview_;
    NodePredicate nodeFilter_ = nullptr;
    void* nodeFilterContext_ = nullptr;
    std::vector<CollectorEntry> collectors_;
    uint32_t nextCollectorId_ = 1;
    std::unique_ptr<ravlin::ScanPreViewBridge> view_;
};
