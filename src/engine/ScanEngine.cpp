// The exported facade: every call forwards to ScanEngineImpl and never throws.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "engine/ScanEngineImpl.h"
#include "progress/ProgressFile.h"
#include "platform/Containers.h"
#include "platform/Debug.h"
#include "platform/DeviceTable.h"
#include "platform/Errors.h"
#include "platform/Text.h"

ScanEngine::ScanEngine() : impl(new ScanEngineImpl()) {}

ScanEngine::~ScanEngine() { delete impl; }

void ScanEngine::SetNotifyCallback(void (*callback)(ScanEngine::Notify, void*), void* context) {
    impl->SetNotifyCallback(callback, context);
}
void ScanEngine::ClearNotifyCallback() { impl->ClearNotifyCallback(); }

bool ScanEngine::Start(const ScanInput& input) {
    try {
        return impl->Start(input);
    } catch (...) {
        return false;
    }
}
void ScanEngine::Stop() { impl->Stop(); }
void ScanEngine::SetPause(bool pause) { impl->SetPause(pause); }
bool ScanEngine::IsPause() const { return impl->IsPause(); }
bool ScanEngine::IsRunning() const { return impl->IsRunning(); }

void ScanEngine::GetScanProgress(unsigned long long& scanned, unsigned long long& total,
                                 unsigned long long& found, unsigned long long& foundBytes) const {
    impl->GetScanProgress(scanned, total, found, foundBytes);
}

void ScanEngine::SetNodeFilter(int (*filter)(const RFileNode*, void*), void* context) {
    try {
        impl->SetNodeFilter(filter, context);
    } catch (...) {
    }
}
void ScanEngine::ClearNodeFilter() {
    try {
        impl->ClearNodeFilter();
    } catch (...) {
    }
}
unsigned int ScanEngine::AddCollector(int (*predicate)(const RFileNode*, void*), void* context) {
    try {
        return impl->AddCollector(predicate, context);
    } catch (...) {
        return 0;
    }
}
void ScanEngine::RemoveCollector(unsigned int collectorId) {
    try {
        impl->RemoveCollector(collectorId);
    } catch (...) {
    }
}
unsigned long long ScanEngine::GetCollectedCount(unsigned int collectorId,
                                                 unsigned long long partIndex) const {
    return impl->GetCollectedCount(collectorId, partIndex);
}

unsigned long long ScanEngine::EnumCategories(int (*enumerator)(int, unsigned long long, void*),
                                              void* context) const {
    try {
        return impl->EnumCategories(enumerator, context);
    } catch (...) {
        return 0;
    }
}
unsigned long long ScanEngine::GetCategoryCount(int category) const {
    return impl->GetCategoryCount(category);
}
unsigned long long ScanEngine::GetCategoryFileSize(int category) const {
    return impl->GetCategoryFileSize(category);
}
void ScanEngine::SetCategoryChecked(int category, bool checked) {
    try {
        impl->SetCategoryChecked(category, checked);
    } catch (...) {
    }
}
int ScanEngine::GetCategoryCheckStatus(int category) const {
    return impl->GetCategoryCheckStatus(category);
}
unsigned long long ScanEngine::GetCategoryCheckCount(int category) const {
    return impl->GetCategoryCheckCount(category);
}
unsigned long long ScanEngine::EnumCategoryNodes(
    int category, unsigned long long first, unsigned long long count,
    int (*enumerator)(unsigned int, const RFileNode*, void*), void* context) const {
    try {
        return impl->EnumCategoryNodes(category, first, count, enumerator, context);
    } catch (...) {
        return 0;
    }
}

bool ScanEngine::TickPreview(unsigned int budget) {
    try {
        return impl->TickPreview(budget);
    } catch (...) {
        return false;
    }
}
bool ScanEngine::FilterEnding() const { return impl->FilterEnding(); }
void ScanEngine::SweepTombstones() {
    try {
        impl->SweepTombstones();
    } catch (...) {
    }
}

IScanView& ScanEngine::GetView() { return impl->View(); }
const IScanView& ScanEngine::GetView() const { return impl->View(); }

bool ScanEngine::SaveScanProgress(const std::wstring& folder, const std::wstring& dataFile,
                                  const std::wstring& indexFile) {
    try {
        return impl->SaveScanProgress(folder, dataFile, indexFile);
    } catch (...) {
        return false;
    }
}

bool ScanEngine::LoadScanProgressIndex(const std::wstring& folder, const std::wstring& indexFile,
                                       std::vector<ScanProgressIndexItem>& items) {
    try {
        return ravlin::ReadIndex(folder, indexFile, items);
    } catch (...) {
        items.clear();
        return false;
    }
}

bool ScanEngine::ReadScanProgressSummary(const std::wstring& path, ScanProgressSummary& summary) {
    try {
        summary = ScanProgressSummary();
        std::wstring folder, name;
        ravlin::SplitProgressPath(path, folder, name);
        ravlin::CreateInfoStore infos;
        ravlin::SavedPayloads payloads(infos);
        ravlin::ScanProgressSnapshot snapshot;
        if (!ravlin::ReadData(folder, name, snapshot, 0, payloads)) return false;
        summary.sourceName = snapshot.sourceName;
        summary.blocks = snapshot.states.size();
        for (uint32_t state : snapshot.states) summary.blocksDone += state == ravlin::kBlockDone;
        summary.items = snapshot.items.size() + snapshot.videoItems.size();
        summary.nameRecords = snapshot.nameRecords.size();
        return true;
    } catch (...) {
        summary = ScanProgressSummary();
        return false;
    }
}

int NodeFilterOnlyDeleted(const RFileNode* node, void*) {
    if (!node) return 0;
    return node->kind == NodeKind::DeletedFile || node->kind == NodeKind::Directory ||
                   node->kind == NodeKind::DeletedDirectory
               ? 1
               : 0;
}

int NodeFilterOnlyRecycled(const RFileNode* node, void* context) {
    return NodeFilterOnlyDeleted(node, context);
}

RFileNodeExt::~RFileNodeExt() = default;
RFileNodeRecycleName::RFileNodeRecycleName(std::wstring displayName)
    : name(std::move(displayName)) {}
RFileNodeRecycleName::~RFileNodeRecycleName() = default;

RFileNodeRecycledItem::RFileNodeRecycledItem(std::wstring displayName, std::wstring originalPath_,
                                             uint32_t deletedTime_)
    : RFileNodeRecycleName(std::move(displayName)), originalPath(std::move(originalPath_)), deletedTime(deletedTime_) {}
RFileNodeRecycledItem::~RFileNodeRecycledItem() = default;

void IScanHost::OnFailedSectors(uint64_t, uint64_t) {}

RFileNodeStream::RFileNodeStream(uint32_t ownerId_, std::wstring stream_)
    : ownerId(ownerId_), stream(std::move(stream_)) {}
RFileNodeStream::~RFileNodeStream() = default;

RFileNodeCreationInfo::RFileNodeCreationInfo(std::wstring maker_, std::wstring model_, std::wstring title_,
                                             std::wstring date_)
    : maker(std::move(maker_)), model(std::move(model_)), title(std::move(title_)), date(std::move(date_)) {}
RFileNodeCreationInfo::~RFileNodeCreationInfo() = default;
IScanHost::~IScanHost() = default;
IScanView::~IScanView() = default;

// Through the single calls, for views that have nothing faster.
unsigned long long IScanView::VisitChildren(unsigned long long partIndex, unsigned int nodeId, bool visibleOnly,
                                            unsigned long long first, unsigned long long count,
                                            void (*visit)(const RFileNode* child, void* context),
                                            void* context) const {
    if (!visit) return 0;
    const unsigned long long total =
        visibleOnly ? GetVisibleChildCount(partIndex, nodeId) : GetChildCount(partIndex, nodeId);
    if (first >= total) return 0;
    const unsigned long long end = total - first > count ? first + count : total;
    for (unsigned long long i = first; i < end; ++i) {
        unsigned int child = visibleOnly ? GetVisibleChild(partIndex, nodeId, i) : GetChild(partIndex, nodeId, i);
        if (child != nodeId) VisitNode(partIndex, child, visit, context);
    }
    return end - first;
}

namespace ravlin {

const char* LibraryVersion() { return RAVLIN_VERSION; }

void SetDebugSink(void (*sink)(const char* line, void* context), void* context) {
    platform::SetDebugSink(sink, context);
}

bool RegisterDevice(const std::wstring& name, const std::wstring& target, int diskNumber,
                    unsigned long long byteOffset) {
    try {
        if (!platform::IsDeviceNamespacePath(name)) return false;
        return platform::RegisterDevice(name, target, diskNumber, byteOffset);
    } catch (...) {
        return false;
    }
}

void UnregisterDevice(const std::wstring& name) {
    try {
        platform::UnregisterDevice(name);
    } catch (...) {
    }
}

bool DescribeSource(const std::wstring& path, SourceDescription& description) {
    description = SourceDescription();
    try {
        const std::string local = platform::WideToUtf8(path);
        int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return false;
        struct stat st {};
        const platform::ContainerKind kind =
            ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? platform::ContainerOf(fd) : platform::ContainerKind::Raw;
        ::close(fd);
        description.container = platform::Utf8ToWide(platform::ContainerName(kind));
        description.supported = platform::ContainerSupported(kind);
        if (!description.supported) return false;
        uint32_t error = 0;
        auto handle = platform::OpenDevice(path, error);
        if (!handle && kind != platform::ContainerKind::Raw) {
            // Opened once more for the reason it was refused.
            int errnoValue = 0;
            std::string problem;
            platform::OpenContainerBackend(kind, local, errnoValue, &problem);
            description.problem = platform::Utf8ToWide(problem);
        }
        if (!handle) return false;
        description.sizeBytes = handle->SizeBytes().value_or(0);
        if (kind == platform::ContainerKind::Ewf)
            for (const auto& [name, value] : platform::ReadEwfMetadata(local))
                description.metadata.emplace_back(platform::Utf8ToWide(name), platform::Utf8ToWide(value));
        return true;
    } catch (...) {
        return false;
    }
}

bool ReadSourceMedia(const std::wstring& path,
                     bool (*sink)(unsigned long long offset, const unsigned char* data, size_t length, bool read,
                                  void* context),
                     void* context) {
    constexpr uint32_t kPiece = 1u << 20, kPart = 4096;
    constexpr uint32_t kTimeoutMs = 30000, kGraceMs = 5000;
    try {
        if (!sink) return false;
        uint32_t error = 0;
        auto handle = platform::OpenDevice(path, error);
        if (!handle) return false;
        const std::optional<uint64_t> size = handle->SizeBytes();
        if (!size) return false;
        auto submit = [&](uint64_t offset) {
            return offset < *size ? handle->Submit(offset, static_cast<uint32_t>(std::min<uint64_t>(kPiece, *size - offset)))
                                  : nullptr;
        };
        // The next piece is read while the sink takes the current one.
        std::vector<uint8_t> part(kPart);
        auto request = submit(0);
        for (uint64_t offset = 0; request; offset += kPiece) {
            if (!request->Wait(kTimeoutMs)) {
                handle->CancelRequest(*request);
                request->Wait(kGraceMs);
            }
            auto next = submit(offset + kPiece);
            const uint32_t length = request->Length();
            if (request->Succeeded()) {
                if (!sink(offset, request->Data(), length, true, context)) return false;
                request = std::move(next);
                continue;
            }
            if (platform::IsDeviceLostError(request->Error())) return false;
            // Again in small parts, so that only what fails is taken as zeros.
            for (uint32_t at = 0; at < length; at += kPart) {
                const uint32_t bytes = std::min(kPart, length - at);
                error = handle->ReadTimed(part.data(), offset + at, bytes, kTimeoutMs, kGraceMs);
                if (platform::IsDeviceLostError(error)) return false;
                const bool read = error == platform::kErrorSuccess;
                if (!read) std::fill(part.begin(), part.end(), uint8_t{0});
                if (!sink(offset + at, part.data(), bytes, read, context)) return false;
            }
            request = std::move(next);
        }
        return true;
    } catch (...) {
        return false;
    }
}

std::vector<std::wstring> SupportedContainers() {
    std::vector<std::wstring> out;
    try {
        for (auto kind : {platform::ContainerKind::Ewf, platform::ContainerKind::Vhd, platform::ContainerKind::Vmdk})
            if (platform::ContainerSupported(kind)) out.push_back(platform::Utf8ToWide(platform::ContainerName(kind)));
    } catch (...) {
    }
    return out;
}

std::vector<DeviceInfo> ListDevices() {
    std::vector<DeviceInfo> out;
    try {
        auto sizeOf = [](const std::wstring& path) -> unsigned long long {
            uint32_t error = 0;
            auto handle = platform::OpenDevice(path, error);
            return handle ? handle->SizeBytes().value_or(0) : 0;
        };
        auto registered = platform::RegisteredDevices();
        auto disks = platform::PhysicalDiskPaths();
        for (size_t i = 0; i < disks.size(); ++i) {
            DeviceInfo info;
            info.name = L"\\\\.\\PhysicalDrive" + std::to_wstring(i);
            bool shadowed = false;
            for (const auto& r : registered)
                shadowed |= platform::EqualsAsciiNoCase(r.name, info.name);
            if (shadowed) continue;
            info.target = platform::Utf8ToWide(disks[i]);
            info.sizeBytes = sizeOf(info.target);
            out.push_back(std::move(info));
        }
        for (const auto& r : registered) {
            DeviceInfo info;
            info.name = r.name;
            info.target = r.target;
            info.registered = true;
            info.sizeBytes = sizeOf(r.name);
            out.push_back(std::move(info));
        }
    } catch (...) {
    }
    return out;
}

}  // namespace ravlin
