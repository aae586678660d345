// The engine's one IScanView: answers from the scan objects of the moment.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ravlin/Ravlin.h"

class ScanEngineImpl;

namespace ravlin {

class DiskReader;
class PartView;

class ScanPreViewBridge final : public IScanView {
public:
    explicit ScanPreViewBridge(ScanEngineImpl* engine) : engine_(engine) {}
    ~ScanPreViewBridge() override;

    unsigned long long GetPartCount() const override;
    bool GetPartBrief(unsigned long long partIndex, PartBrief* out) const override;
    bool GetNodeBrief(unsigned long long partIndex, unsigned int nodeId,
                      NodeBrief* out) const override;
    unsigned long long GetVisibleChildCount(unsigned long long partIndex,
                                            unsigned int nodeId) const override;
    unsigned int GetVisibleChild(unsigned long long partIndex, unsigned int nodeId,
                                 unsigned long long index) const override;
    unsigned long long GetVisibleDirCount(unsigned long long partIndex,
                                          unsigned int nodeId) const override;
    unsigned long long GetChildCount(unsigned long long partIndex,
                                     unsigned int nodeId) const override;
    unsigned int GetChild(unsigned long long partIndex, unsigned int nodeId,
                          unsigned long long index) const override;
    unsigned long long VisitChildren(unsigned long long partIndex, unsigned int nodeId, bool visibleOnly,
                                     unsigned long long first, unsigned long long count,
                                     void (*visit)(const RFileNode* child, void* context),
                                     void* context) const override;
    unsigned int GetVisibleDir(unsigned long long partIndex, unsigned int nodeId,
                               unsigned long long index) const override;
    void SetNodeChecked(unsigned long long partIndex, unsigned int nodeId, bool checked) override;
    void SetNodesChecked(const unsigned long long* partIndexes, const unsigned int* nodeIds,
                         int count, bool checked) override;
    const wchar_t* CurrentPath() const override;
    unsigned long long GetCheckedBytes() const override;
    bool GetNodeStatus(unsigned long long partIndex, unsigned int nodeId,
                       NodeStatusBrief* out) const override;
    bool OpenReader(unsigned long long partIndex) override;
    bool VisitNode(unsigned long long partIndex, unsigned int nodeId,
                   void (*visit)(const RFileNode* node, void* context), void* context) const override;
    bool ReadNodeDataChecked(unsigned long long partIndex, unsigned int nodeId, void* buffer,
                             unsigned long long offset, unsigned int length, ReadGap* gaps,
                             unsigned int maxGaps, unsigned int* gapCount) override;
    bool ReadNodeData(unsigned long long partIndex, unsigned int nodeId, void* buffer,
                      unsigned long long offset, unsigned int length) override;
    void CloseReader(unsigned long long partIndex) override;

private:
    std::shared_ptr<PartView> ViewOf(unsigned long long partIndex) const;

    // Text handed out by pointer: one buffer per calling thread, valid until that thread's next
    // call of the same kind on this view.
    class PerThreadText {
    public:
        const wchar_t* Keep(std::wstring text) const;

    private:
        mutable std::mutex lock_;
        mutable std::map<std::thread::id, std::wstring> texts_;
    };

    ScanEngineImpl* engine_;
    PerThreadText pathTexts_;
    PerThreadText nameTexts_;
    std::map<uint64_t, std::shared_ptr<DiskReader>> readers_;
    std::map<uint64_t, uint64_t> readerUses_;
    std::mutex readersLock_;
};

}  // namespace ravlin
