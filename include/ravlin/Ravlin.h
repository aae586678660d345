// Ravlin: the exported interface of the scanning core of a data-recovery tool.
//
// A host constructs a ScanEngine, describes one scan in a ScanInput, calls Start, then polls
// progress, drives the live preview with TickPreview and browses results through GetView().
// No call throws; failures are reported by false, 0 or an empty result.
//
// Text is wide (std::wstring / wchar_t). On Linux a wchar_t holds one Unicode code point;
// names read from disk in UTF-16 are decoded to code points.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(RAVLIN_BUILDING_LIBRARY)
#define RAVLIN_API __declspec(dllexport)
#else
#define RAVLIN_API __declspec(dllimport)
#endif
#else
#define RAVLIN_API __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------------------------
// File nodes
// ---------------------------------------------------------------------------------------------

// A stretch of consecutive 512-byte sectors. A startSector of all ones is a sparse run that
// reads as zeros.
struct DataRun {
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
};

inline constexpr uint64_t kSparseSector = ~uint64_t{0};

enum class NodeKind : uint32_t {
    Empty = 0,             // free slot of a node store; never live
    File = 1,              // an existing file
    DeletedFile = 2,       // a deleted file, or a file rebuilt by carving
    Directory = 3,         // an existing directory (also synthetic grouping folders)
    DeletedDirectory = 4,  // a deleted directory, and the folder of files whose path was lost
};

// Optional extra data of a node; its type is found with dynamic_cast.
struct RAVLIN_API RFileNodeExt {
    RFileNodeExt() = default;
    RFileNodeExt(const RFileNodeExt&) = default;
    RFileNodeExt& operator=(const RFileNodeExt&) = default;
    virtual ~RFileNodeExt();
};

// The name a recycle-bin node is shown under instead of RFileNode::name.
struct RAVLIN_API RFileNodeRecycleName : RFileNodeExt {
    explicit RFileNodeRecycleName(std::wstring displayName);
    ~RFileNodeRecycleName() override;
    std::wstring name;
};

// A recycle-bin item shown back where it was deleted from: the path its info item names (as
// the system wrote it, e.g. "C:\Users\Ann\plan.docx") and when it was deleted (seconds since
// 1970 UTC, 0 when unknown).
struct RAVLIN_API RFileNodeRecycledItem : RFileNodeRecycleName {
    RFileNodeRecycledItem(std::wstring displayName, std::wstring originalPath, uint32_t deletedTime);
    ~RFileNodeRecycledItem() override;
    std::wstring originalPath;
    uint32_t deletedTime;
};

// Marks a named data stream of a file or folder, listed beside it as "file:stream": the name
// after the colon is `stream`, the file or folder it belongs to is node `ownerId`.
struct RAVLIN_API RFileNodeStream : RFileNodeExt {
    RFileNodeStream(uint32_t ownerId, std::wstring stream);
    ~RFileNodeStream() override;
    uint32_t ownerId;
    std::wstring stream;
};

// What a carved file says about itself in its metadata: the camera's maker and model (or the
// author), the title and the date, as far as the file gives them; empty texts where it does not.
struct RAVLIN_API RFileNodeCreationInfo : RFileNodeExt {
    RFileNodeCreationInfo(std::wstring maker, std::wstring model, std::wstring title, std::wstring date);
    ~RFileNodeCreationInfo() override;
    std::wstring maker;
    std::wstring model;
    std::wstring title;
    std::wstring date;
};

// One found file or directory. The layout (order and widths) is part of the interface.
struct RFileNode {
    uint32_t id = 0;        // unique within its partition
    uint32_t parentId = 0;  // parent directory in the same partition; a root has 0 or itself
    uint32_t typeId = 0;    // file type id; 0 for directories and unknown types
    NodeKind kind = NodeKind::Empty;
    uint64_t firstSector = 0;  // first absolute 512-byte sector of the data, 0 when unknown
    uint64_t size = 0;         // bytes
    uint32_t firstTime = 0;    // creation time, seconds since 1970-01-01 UTC, 0 when unknown
    uint32_t secondTime = 0;   // modification time, same unit
    std::wstring name;         // one path component
    uint8_t valid = 1;         // cleared for nodes kept only to hold the tree together
    std::vector<uint32_t> children;
    std::vector<DataRun> runs;
    uint32_t resident = 0;  // content stored inside the file-system record
    std::vector<uint8_t> residentData;
    uint32_t sourceId = 0xFFFFFFFF;  // the node this one was copied from, or all ones
    uint8_t readOnly = 0;
    uint8_t hidden = 0;
    uint8_t system = 0;
    uint8_t volumeLabel = 0;
    uint8_t archive = 0;
    uint8_t device = 0;
    uint8_t normal = 0;
    uint8_t temporary = 0;
    uint8_t sparse = 0;
    uint8_t reparsePoint = 0;
    uint8_t compressed = 0;
    uint8_t offline = 0;
    uint8_t notContentIndexed = 0;
    uint8_t encrypted = 0;
    uint8_t directoryFlag = 0;
    uint8_t viewIndexFlag = 0;
    // The times are the device clock's wall-clock time in an unknown zone, counted as if it
    // were UTC (FAT, and exFAT without a UTC offset); 0 when they are UTC.
    uint8_t localTime = 0;
    // One of a recycle bin's own folders or files (the bin, its per-user folders,
    // desktop.ini; not its items), live in the file system though the bin's whole content is
    // shown deleted.
    uint8_t liveInRecycleBin = 0;
    std::shared_ptr<RFileNodeExt> ext;

    RFileNode() = default;
    RFileNode(const RFileNode&) = delete;
    RFileNode& operator=(const RFileNode&) = delete;
    RFileNode(RFileNode&& other) noexcept { *this = std::move(other); }
    RFileNode& operator=(RFileNode&& other) noexcept;
    ~RFileNode() = default;

    bool IsLive() const { return kind != NodeKind::Empty && valid != 0; }
    bool IsFileKind() const { return kind == NodeKind::File || kind == NodeKind::DeletedFile; }
    bool IsDirectoryKind() const {
        return kind == NodeKind::Directory || kind == NodeKind::DeletedDirectory;
    }
};

// Moves leave the source's name, vectors and extension empty.
inline RFileNode& RFileNode::operator=(RFileNode&& other) noexcept {
    if (this == &other) return *this;
    id = other.id;
    parentId = other.parentId;
    typeId = other.typeId;
    kind = other.kind;
    firstSector = other.firstSector;
    size = other.size;
    firstTime = other.firstTime;
    secondTime = other.secondTime;
    name = std::move(other.name);
    other.name.clear();
    valid = other.valid;
    children = std::move(other.children);
    other.children.clear();
    runs = std::move(other.runs);
    other.runs.clear();
    resident = other.resident;
    residentData = std::move(other.residentData);
    other.residentData.clear();
    sourceId = other.sourceId;
    readOnly = other.readOnly;
    hidden = other.hidden;
    system = other.system;
    volumeLabel = other.volumeLabel;
    archive = other.archive;
    device = other.device;
    normal = other.normal;
    temporary = other.temporary;
    sparse = other.sparse;
    reparsePoint = other.reparsePoint;
    compressed = other.compressed;
    offline = other.offline;
    notContentIndexed = other.notContentIndexed;
    encrypted = other.encrypted;
    directoryFlag = other.directoryFlag;
    viewIndexFlag = other.viewIndexFlag;
    localTime = other.localTime;
    liveInRecycleBin = other.liveInRecycleBin;
    ext = std::move(other.ext);
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Records filled by the view
// ---------------------------------------------------------------------------------------------

// One partition. String pointers point into the partition record and stay valid while the
// scan's results exist (until the next Start or the engine's destruction).
struct PartBrief {
    uint64_t id = 0;  // position in the scan's partition list
    uint32_t rootNodeId = 0;
    uint32_t orphanFolderId = 0;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    uint32_t fsType = 0;  // 4 exFAT, 9 FAT12, 10 FAT16, 11 FAT32, 12 NTFS, 13 rebuilt files
    const wchar_t* devicePath = nullptr;
    const wchar_t* secondName = nullptr;
    const wchar_t* displayName = nullptr;
    uint32_t fileCount = 0;
    uint8_t listedBySystem = 0;
    uint16_t driveLetter = 0;
    // The label the volume gives itself (NTFS $Volume, the FAT or exFAT label); empty when it
    // has none (or not read yet). The text belongs to the view and stays valid until the same
    // thread's next GetPartBrief.
    const wchar_t* volumeLabel = nullptr;

    PartBrief() = default;
    PartBrief(const PartBrief&) = default;
    PartBrief& operator=(const PartBrief&) = default;
};

// One node. Note that size precedes firstSector here.
struct NodeBrief {
    uint32_t id = 0;
    uint32_t parentId = 0;
    uint64_t size = 0;
    uint64_t firstSector = 0;
    uint32_t kind = 0;
    uint32_t typeId = 0;
    uint32_t isDirectory = 0;
    // The recycle-bin display name where the node has one. The text belongs to the view and
    // stays valid until the same thread's next GetNodeBrief on that view.
    const wchar_t* name = nullptr;
    uint32_t secondTime = 0;
    uint32_t localTime = 0;  // RFileNode::localTime
};

// Bytes of a file that could not be read: `length` bytes from byte `offset` of the file.
struct ReadGap {
    unsigned long long offset = 0;
    unsigned long long length = 0;
};

// The preview's view of one node: tick state and the visible aggregates of its subtree.
struct NodeStatusBrief {
    uint32_t known = 0;
    uint32_t isDirectory = 0;
    uint32_t visible = 0;
    uint32_t checkState = 0;  // 0 none, 1 all, 2 some (directories); 0 or 1 (files)
    uint32_t parentId = 0;
    uint64_t visibleFiles = 0;
    uint64_t visibleBytes = 0;
    uint64_t checkedVisibleFiles = 0;
    uint64_t checkedFiles = 0;

    NodeStatusBrief() = default;
    NodeStatusBrief(const NodeStatusBrief&) = default;
    NodeStatusBrief& operator=(const NodeStatusBrief&) = default;
};

// One entry of the progress index file.
struct ScanProgressIndexItem {
    uint32_t scanKind = 0;
    uint64_t startSector = 0;
    uint64_t endSector = 0;        // one past the last sector
    uint32_t driveNumber = 0;      // disk number of a physical-drive path, else all ones
    uint32_t scanMode = 0;
    std::wstring dataFile;         // file name of the progress data file
};

// What a progress data file holds, for hosts that list saved scans or check a file before they
// resume from it.
struct ScanProgressSummary {
    std::wstring sourceName;   // as the scan that saved it named its source
    uint64_t blocks = 0;       // 8 MiB blocks of the saved region
    uint64_t blocksDone = 0;   // of them processed
    uint64_t items = 0;        // hits of the raw pass, video items included
    uint64_t nameRecords = 0;
};

// ---------------------------------------------------------------------------------------------
// Host callbacks
// ---------------------------------------------------------------------------------------------

// Implemented by the host and passed in ScanInput::host. Called from the scan's worker thread.
class RAVLIN_API IScanHost {
public:
    virtual ~IScanHost();
    // The device is not open or went away during a read: true reopens it, false stops the scan.
    virtual bool ShouldRetryDevice() = 0;
    virtual void BeginStages(uint32_t total) = 0;
    virtual void OnStage(uint32_t index, uint32_t total, const wchar_t* name) = 0;
    virtual void EndStages() = 0;
    // Sent once after the raw pass when 5 % or more of the 8 MiB block reads failed.
    virtual void OnReadErrors(uint32_t failedReads, uint32_t readCalls, uint64_t failedBytes,
                              bool smallChunks) = 0;
    // Every read of the scan's source that failed: `count` sectors from `firstSector` (absolute
    // 512-byte sectors). Called on the scan's threads as it happens; keep it short. The default
    // does nothing.
    virtual void OnFailedSectors(uint64_t firstSector, uint64_t count);
};

// What to scan. Start copies every field.
// The quick scan's kind: the file-system pass over the scan's own source, and nothing more.
inline constexpr uint32_t kScanKindFileSystems = 9;
// The quick scan for deleted files: as kScanKindFileSystems, with live files kept but not shown
// (as the deleted-only kinds 2, 5 and 8 keep them). The preview never takes them in.
inline constexpr uint32_t kScanKindDeletedFiles = 10;

class ScanInput {
public:
    std::wstring devicePath;  // "\\.\PhysicalDriveN", "\\.\X:", an image file or a block device
    std::wstring sourceName;  // name stored in saved progress; devicePath when empty
    std::wstring auxText;
    uint64_t startSector = 0;  // first 512-byte sector of the region
    uint64_t sectorCount = 0;  // sectors in the region
    uint32_t scanMode = 0;     // 0 full, 3 video fragments, other: raw pass and stages only
    // 1 the whole region; 2/5 free space only; 8 the file systems of every physical drive,
    // then the scan ends; 9 (kScanKindFileSystems) the file systems of this source only, then
    // the scan ends: no raw pass, no carving, no stages (a quick scan); 10
    // (kScanKindDeletedFiles) as 9, for deleted files only.
    uint32_t scanKind = 1;
    IScanHost* host = nullptr;
    // A progress data file written by SaveScanProgress ("/" or "\\" before its name; without
    // one, the current folder): a full scan (mode 0) reads it before its raw pass, skips the
    // blocks it records as processed and rebuilds what their items held. A file that cannot
    // be read, or was saved for a region of another shape, is ignored.
    std::wstring resumeFile;
    std::wstring previewPath;  // e.g. "C:\Photos": the preview shows only what lies there

    ScanInput() = default;
};

// ---------------------------------------------------------------------------------------------
// The view
// ---------------------------------------------------------------------------------------------

// Browses the current scan's results. Partitions are positions in the scan's partition list,
// nodes are ids inside their partition. Every call fails softly (false, 0, empty text).
class RAVLIN_API IScanView {
public:
    IScanView() = default;
    IScanView(const IScanView&) {}
    IScanView& operator=(const IScanView&) { return *this; }
    virtual ~IScanView();

    virtual unsigned long long GetPartCount() const = 0;
    virtual bool GetPartBrief(unsigned long long partIndex, PartBrief* out) const = 0;
    // False also when the node is not live.
    // Calls `visit` with the whole node while the view holds it still (the node is valid only
    // during the call: runs, times, extension); false when there is no such node.
    virtual bool VisitNode(unsigned long long partIndex, unsigned int nodeId,
                           void (*visit)(const RFileNode* node, void* context), void* context) const = 0;
    virtual bool GetNodeBrief(unsigned long long partIndex, unsigned int nodeId,
                              NodeBrief* out) const = 0;
    // Visible children: subdirectories first, then files.
    virtual unsigned long long GetVisibleChildCount(unsigned long long partIndex,
                                                    unsigned int nodeId) const = 0;
    virtual unsigned int GetVisibleChild(unsigned long long partIndex, unsigned int nodeId,
                                         unsigned long long index) const = 0;
    virtual unsigned long long GetVisibleDirCount(unsigned long long partIndex,
                                                  unsigned int nodeId) const = 0;
    // Every attached child, visible or not.
    virtual unsigned long long GetChildCount(unsigned long long partIndex,
                                             unsigned int nodeId) const = 0;
    virtual unsigned int GetChild(unsigned long long partIndex, unsigned int nodeId,
                                  unsigned long long index) const = 0;
    virtual unsigned int GetVisibleDir(unsigned long long partIndex, unsigned int nodeId,
                                       unsigned long long index) const = 0;
    // Ticks a file, or every visible file below a directory.
    virtual void SetNodeChecked(unsigned long long partIndex, unsigned int nodeId,
                                bool checked) = 0;
    virtual void SetNodesChecked(const unsigned long long* partIndexes,
                                 const unsigned int* nodeIds, int count, bool checked) = 0;
    // Path of the node the preview took in last; valid until the next CurrentPath call.
    virtual const wchar_t* CurrentPath() const = 0;
    virtual unsigned long long GetCheckedBytes() const = 0;
    virtual bool GetNodeStatus(unsigned long long partIndex, unsigned int nodeId,
                               NodeStatusBrief* out) const = 0;
    // Content reads: OpenReader, any number of ReadNodeData, CloseReader. Opens nest.
    virtual bool OpenReader(unsigned long long partIndex) = 0;
    // Copies up to `length` bytes from byte `offset` of the file; false when nothing was read.
    virtual bool ReadNodeData(unsigned long long partIndex, unsigned int nodeId, void* buffer,
                              unsigned long long offset, unsigned int length) = 0;
    virtual void CloseReader(unsigned long long partIndex) = 0;
    // ReadNodeData that also says which bytes could not be read from the device (they hold
    // zeros in `buffer`): up to `maxGaps` ranges of the file, in order, in `gaps`; `*gapCount`
    // gets how many were stored (with more, the last one stretches to cover the rest). Sparse
    // parts of a file are no gaps. Failed pieces are read again 4 KiB at a time, so a gap is
    // at most what the bad sectors cost.
    virtual bool ReadNodeDataChecked(unsigned long long partIndex, unsigned int nodeId, void* buffer,
                                     unsigned long long offset, unsigned int length, ReadGap* gaps,
                                     unsigned int maxGaps, unsigned int* gapCount) = 0;
    // Calls `visit` for the children of a node at positions `first` to `first + count - 1` of
    // the list GetChild gives (GetVisibleChild with `visibleOnly`), in order, with the whole
    // child while the view holds it still (valid only during the call). Children no longer
    // live, and a root listed as its own child, are passed over. Returns how many positions the
    // list had in that range: fewer than `count` at its end. `visit` must not call the view.
    // This does the work of GetChild and VisitNode for each child at the cost of a few locks
    // per call.
    virtual unsigned long long VisitChildren(unsigned long long partIndex, unsigned int nodeId, bool visibleOnly,
                                             unsigned long long first, unsigned long long count,
                                             void (*visit)(const RFileNode* child, void* context),
                                             void* context) const;
};

// ---------------------------------------------------------------------------------------------
// The engine
// ---------------------------------------------------------------------------------------------

class ScanEngineImpl;

class RAVLIN_API ScanEngine {
public:
    enum Notify : uint32_t {
        Finished = 0,     // the scan ended (completed or stopped); sent once per Start
        StartFailed = 1,  // Start failed after claiming the engine; sent on the caller's thread
    };

    ScanEngine();
    ~ScanEngine();  // stops and joins a running scan
    ScanEngine(const ScanEngine&) = delete;
    ScanEngine& operator=(const ScanEngine&) = delete;

    void SetNotifyCallback(void (*callback)(ScanEngine::Notify, void*), void* context);
    void ClearNotifyCallback();

    bool Start(const ScanInput& input);
    void Stop();
    void SetPause(bool pause);
    bool IsPause() const;
    bool IsRunning() const;

    void GetScanProgress(unsigned long long& scanned, unsigned long long& total,
                         unsigned long long& found, unsigned long long& foundBytes) const;

    void SetNodeFilter(int (*filter)(const RFileNode*, void*), void* context);
    void ClearNodeFilter();
    unsigned int AddCollector(int (*predicate)(const RFileNode*, void*), void* context);
    void RemoveCollector(unsigned int collectorId);
    unsigned long long GetCollectedCount(unsigned int collectorId,
                                         unsigned long long partIndex) const;

    // The "category" argument of these calls is a file type id.
    unsigned long long EnumCategories(int (*enumerator)(int, unsigned long long, void*),
                                      void* context) const;
    unsigned long long GetCategoryCount(int category) const;
    unsigned long long GetCategoryFileSize(int category) const;
    void SetCategoryChecked(int category, bool checked);
    int GetCategoryCheckStatus(int category) const;
    unsigned long long GetCategoryCheckCount(int category) const;
    // The enumerator gets a copy of each node, valid for the call; it runs with no lock of the
    // library held, so it may call the view and the other engine calls.
    unsigned long long EnumCategoryNodes(int category, unsigned long long first,
                                         unsigned long long count,
                                         int (*enumerator)(unsigned int, const RFileNode*, void*),
                                         void* context) const;

    bool TickPreview(unsigned int budget);
    bool FilterEnding() const;
    void SweepTombstones();

    IScanView& GetView();
    const IScanView& GetView() const;

    // Saves a paused, stopped or ended scan into folder/dataFile and records it in
    // folder/indexFile (the folder is made, one level). A stopped scan is saved as it stood 21
    // blocks before where it stopped. False while the scan runs unpaused, for an empty name, or
    // when a write fails; the files saved before are then left whole, and an index that cannot
    // be read is never replaced.
    bool SaveScanProgress(const std::wstring& folder, const std::wstring& dataFile,
                          const std::wstring& indexFile);
    // The saved scans of folder/indexFile; a missing index is made empty, a damaged one gives
    // false with the entries read before the damage.
    static bool LoadScanProgressIndex(const std::wstring& folder, const std::wstring& indexFile,
                                      std::vector<ScanProgressIndexItem>& items);
    // Reads the whole progress data file at `path`; false for a missing, truncated, foreign or
    // damaged one (the same files a resume ignores).
    static bool ReadScanProgressSummary(const std::wstring& path, ScanProgressSummary& summary);

private:
    ScanEngineImpl* impl;
};

// Ready-made node filters: accept deleted files and all directories (kinds 2, 3 and 4).
RAVLIN_API int NodeFilterOnlyDeleted(const RFileNode* node, void* context);
RAVLIN_API int NodeFilterOnlyRecycled(const RFileNode* node, void* context);

// ---------------------------------------------------------------------------------------------
// Library services for hosts
// ---------------------------------------------------------------------------------------------
namespace ravlin {

// Version of the library, "major.minor.patch".
RAVLIN_API const char* LibraryVersion();

// Receives the library's debug lines (UTF-8, each ending in a newline). By default nothing is
// printed. Pass a null sink to remove it. The sink may be called from any library thread.
RAVLIN_API void SetDebugSink(void (*sink)(const char* line, void* context), void* context);

// Device table. Windows-style names resolve through it:
//   "\\.\PhysicalDriveN"  the N-th whole disk of the machine, in the order of
//                         ListPhysicalDisks (sorted by kernel name, disks without media and
//                         unbound loop, ram and zram devices left out), unless registered;
//   "\\.\X:"              a volume; exists only when registered.
// RegisterDevice maps `name` (compared case-insensitively) to an image file or block device.
// For a volume name, `diskNumber` and `byteOffset` give its extent on a physical drive so that
// partitions found on that drive are shown with its letter; pass diskNumber -1 when unknown.
// Returns false for an empty name or target. Registering a name again replaces it.
RAVLIN_API bool RegisterDevice(const std::wstring& name, const std::wstring& target,
                               int diskNumber = -1, unsigned long long byteOffset = 0);
RAVLIN_API void UnregisterDevice(const std::wstring& name);

struct DeviceInfo {
    std::wstring name;    // "\\.\PhysicalDrive0", "\\.\E:"
    std::wstring target;  // the file or block device it reads
    unsigned long long sizeBytes = 0;  // 0 when it cannot be opened
    bool registered = false;           // from RegisterDevice rather than the machine's disks
};

// What the device table resolves now: the machine's disks and every registered name.
RAVLIN_API std::vector<DeviceInfo> ListDevices();

// What a source holds: its media's size, and whether it is a raw image or device, or a
// container (an EWF image, E01 and its further segments) read through the container's format.
struct SourceDescription {
    unsigned long long sizeBytes = 0;  // of the media a scan reads
    std::wstring container;            // "raw", or the container's format, e.g. "EWF (E01)"
    bool supported = true;             // false: a container this build cannot read
    // What the container records of its acquisition (EWF: "case_number", "evidence_number",
    // "examiner_name", "description", "notes", "acquiry_date", "md5"), those present.
    std::vector<std::pair<std::wstring, std::wstring>> metadata;
    // Why a container could not be opened, when it can say (e.g. a differencing VHD's parent
    // missing); empty otherwise.
    std::wstring problem;
};

// False when the source cannot be opened: a container whose segments are missing or damaged,
// or one this build does not read (`supported` false then).
RAVLIN_API bool DescribeSource(const std::wstring& path, SourceDescription& description);
// The container formats this build reads, e.g. "EWF (E01)"; empty when it reads raw sources only.
RAVLIN_API std::vector<std::wstring> SupportedContainers();

// Reads the whole media of a source in order, in pieces of up to 1 MiB, and hands each to
// `sink` with its byte offset (hashing an image, for one). Bytes that cannot be read come as
// zeros with `read` false: a piece that fails is read again in 4 KiB parts, so only those that
// fail are zeros. A piece whose data the container knows to be wrong (an EWF chunk whose
// checksum fails) counts as unreadable. Stops when `sink` returns false. True only when every
// piece up to the end was handed over; false when the source cannot be opened, goes away, or
// `sink` stopped it.
RAVLIN_API bool ReadSourceMedia(const std::wstring& path,
                                bool (*sink)(unsigned long long offset, const unsigned char* data, size_t length,
                                             bool read, void* context),
                                void* context);

// One row of the file-type table: the type ids found nodes carry in RFileNode::typeId.
struct FileTypeInfo {
    unsigned int typeId = 0;
    unsigned int category = 0;  // 0 pictures, 1 documents, 2 videos, 3 audio, 4 archives, 5 mail, 6 other
    std::wstring name;          // display name, e.g. "JPG"
    std::wstring categoryName;  // display name of the category
    std::wstring primaryExtension;         // without the dot; empty when the type has none
    std::vector<std::wstring> extensions;  // every extension that names a file of this type
};

// The whole table, in its own order.
RAVLIN_API std::vector<FileTypeInfo> ListFileTypes();

}  // namespace ravlin
