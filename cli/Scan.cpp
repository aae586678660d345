#include "Scan.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "ExitCodes.h"
#include "Progress.h"
#include "Recover.h"
#include "Report.h"
#include "Results.h"
#include "Selection.h"
#include "Session.h"
#include "Source.h"
#include "Unicode.h"
#include "Verify.h"
#include "ravlin/Ravlin.h"

namespace ravlin::cli {
namespace {

namespace fs = std::filesystem;

volatile sig_atomic_t g_interrupted = 0;
bool g_scanInterrupted = false;

// A Ctrl-C that comes after the scan stops the recovery.
bool RecoveryCancelled() { return g_interrupted != 0 && !g_scanInterrupted; }

void OnInterrupt(int) { g_interrupted = 1; }

// The first Ctrl-C asks for a graceful stop; the handler is then reset, so a second one aborts.
void CatchInterrupt() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    // A terminal closing or a service manager stopping the scan is taken as a Ctrl-C.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void ReleaseInterrupt() {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
}

// Called on the scan's worker thread.
class Host final : public IScanHost {
public:
    bool ShouldRetryDevice() override {
        deviceLost_ = true;
        return false;  // never wait for a prompt: the host may run unattended
    }
    void BeginStages(uint32_t) override {}
    void OnStage(uint32_t index, uint32_t total, const wchar_t* name) override {
        std::lock_guard<std::mutex> guard(lock_);
        stage_ = "stage " + std::to_string(index + 1) + "/" + std::to_string(total) + ": " + ToUtf8(name);
    }
    void EndStages() override {
        std::lock_guard<std::mutex> guard(lock_);
        stage_.clear();
    }
    void OnFailedSectors(uint64_t firstSector, uint64_t count) override {
        std::lock_guard<std::mutex> guard(lock_);
        failedSectors_.Add(firstSector, count);
        ++failedSectorReads_;
    }
    void OnReadErrors(uint32_t failedReads, uint32_t readCalls, uint64_t failedBytes, bool) override {
        std::lock_guard<std::mutex> guard(lock_);
        failedReads_ = failedReads, readCalls_ = readCalls, failedBytes_ = failedBytes;
        readErrors_ = true;
    }

    std::string Stage() const {
        std::lock_guard<std::mutex> guard(lock_);
        return stage_;
    }
    bool ReadsFailing() const {
        std::lock_guard<std::mutex> guard(lock_);
        return readErrors_ || deviceLost_ || failedSectorReads_ != 0;
    }
    bool DeviceLost() const { return deviceLost_; }
    void Fill(ScanInfo& info) const {
        std::lock_guard<std::mutex> guard(lock_);
        if (readErrors_) {
            info.failedReads = failedReads_;
            info.readCalls = readCalls_;
            info.failedBytes = failedBytes_;
        } else if (failedSectorReads_ != 0) {
            info.failedReads = failedSectorReads_;
        }
        info.failedSectors = failedSectors_;
    }

private:
    SectorRanges failedSectors_;
    uint32_t failedSectorReads_ = 0;
    mutable std::mutex lock_;
    std::string stage_;
    bool readErrors_ = false;
    uint32_t failedReads_ = 0, readCalls_ = 0;
    uint64_t failedBytes_ = 0;
    std::atomic<bool> deviceLost_{false};
};

std::string NowIso() { return IsoTime(static_cast<uint32_t>(std::time(nullptr))); }

bool SameFile(const std::string& a, const fs::path& b) {
    struct stat x {}, y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

int Usage(const std::string& message) {
    std::cerr << "ravlin: " << message << '\n';
    return kExitUsage;
}

// `regionSectors`: the sectors asked for. The engine counts whole 8 MiB blocks, so a region
// ending inside one is shown at its own size.
ProgressSample Sample(const ScanEngine& engine, const Host& host, uint64_t regionSectors, bool quick) {
    ProgressSample sample;
    unsigned long long scanned = 0, total = 0, found = 0, bytes = 0;
    engine.GetScanProgress(scanned, total, found, bytes);
    sample.totalSectors = std::min<uint64_t>(total, regionSectors);
    sample.scannedSectors = std::min<uint64_t>(scanned, sample.totalSectors);
    sample.filesFound = found;
    sample.currentPath = ToUtf8(engine.GetView().CurrentPath());
    sample.stage = host.Stage();
    sample.readsFailing = host.ReadsFailing();
    sample.quick = quick;
    return sample;
}

// Opens the report's temporary file (beside the report, renamed over it once written) before
// the scan, so that a bad path fails at once.
bool OpenReport(const ScanOptions& options, const Source& source, std::ofstream& file, fs::path& temporary,
                std::string& error) {
    if (options.report.empty() || options.report == "-") return true;
    fs::path path(options.report);
    if (SameFile(source.localPath, path)) {
        error = "refusing to write the report over the source " + options.report;
        return false;
    }
    if (fs::is_directory(path)) {
        error = "cannot create " + options.report + ": " + std::strerror(EISDIR);
        return false;
    }
    temporary = path;
    temporary += ".partial-" + std::to_string(::getpid());
    file.open(temporary, std::ios::trunc);
    if (!file) {
        error = "cannot create " + options.report + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// A path inside a partition as the walk compares it: "/"-separated, without a drive letter
// or slashes at either end, ASCII case folded.
std::string FoldedPath(std::string path) {
    path = AsciiLower(std::move(path));
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) path.erase(0, 2);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

WalkSelection MakeWalkSelection(const ScanOptions& options) {
    WalkSelection walk;
    walk.partitions = options.partitions;
    walk.ids = options.ids;
    walk.deletedOnly = options.deletedOnly;
    if (!options.previewPath.empty()) walk.paths.push_back(FoldedPath(options.previewPath));
    for (const auto& only : options.only) {
        std::string folded = FoldedPath(only);
        if (folded.find_first_of("*?[") != std::string::npos)
            walk.patterns.push_back(folded);
        else
            walk.paths.push_back(folded);
    }
    return walk;
}

std::string DescribeSelection(const ScanOptions& options) {
    std::string text;
    auto add = [&](const std::string& what) { text += (text.empty() ? "" : ", ") + what; };
    if (!options.previewPath.empty()) add("--preview-path " + options.previewPath);
    for (const auto& only : options.only) add("--only " + only);
    for (uint32_t id : options.ids) add("--id " + std::to_string(id));
    std::string where;
    for (uint64_t p : options.partitions) where += (where.empty() ? " in partition " : ", ") + std::to_string(p);
    return text + where;
}

// Keeps each partition with its own totals.
class PartitionSink final : public ResultSink {
public:
    std::vector<std::pair<PartResult, ScanTotals>> parts;
    void Part(const PartResult& part) override { parts.push_back({part, {}}); }
    void Node(const PartResult&, NodeResult&& node) override {
        if (node.directory) return;
        ScanTotals& t = parts.back().second;
        ++t.files, t.bytes += node.size;
        if (node.Deleted()) ++t.deletedFiles;
    }
};

// Keeps nothing: the walk's totals are all that is wanted.
class CountingSink final : public ResultSink {
public:
    void Part(const PartResult&) override {}
    void Node(const PartResult&, NodeResult&&) override {}
};

// Times reach the report in UTC.
class ZoneSink final : public ResultSink {
public:
    ZoneSink(ResultSink& next, const TimeZone& zone) : next_(next), zone_(zone) {}
    void Part(const PartResult& part) override { next_.Part(part); }
    void Node(const PartResult& part, NodeResult&& node) override {
        ApplyTimeZone(node, zone_);
        next_.Node(part, std::move(node));
    }
    void EndPart(const PartResult& part) override { next_.EndPart(part); }

private:
    ResultSink& next_;
    const TimeZone& zone_;
};

}  // namespace

bool ParseKind(const std::string& text, uint32_t& kind) {
    std::string t = AsciiLower(text);
    if (t == "whole" || t == "1") kind = 1;
    else if (t == "free" || t == "2") kind = 2;
    else if (t == "free-browse" || t == "5") kind = 5;
    else if (t == "all-disks" || t == "8") kind = 8;
    else return false;
    return true;
}

bool ParseMode(const std::string& text, uint32_t& mode) {
    std::string t = AsciiLower(text);
    if (t == "full" || t == "quick") mode = 0;
    else if (t == "raw") mode = 1;
    else if (t == "video") mode = 3;
    else return false;
    return true;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kFreeScanAtExit = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kFreeScanAtExit = true;
#else
constexpr bool kFreeScanAtExit = false;
#endif
#else
constexpr bool kFreeScanAtExit = false;
#endif

int RunScan(const ScanOptions& options) {
    ScanInfo info;
    info.mode = AsciiLower(options.mode);
    if (!ParseMode(options.mode, info.scanMode))
        return Usage("unknown --mode '" + options.mode + "' (quick, full, raw or video)");
    if (!ParseKind(options.kind, info.scanKind))
        return Usage("unknown --kind '" + options.kind + "' (whole, free, free-browse, all-disks or 1, 2, 5, 8)");
    const bool quick = info.mode == "quick";
    if (quick && info.scanKind == 1) info.scanKind = kScanKindFileSystems;
    if (quick && (info.scanKind == 2 || info.scanKind == 5))
        return Usage("--kind " + options.kind + " reads the raw sectors of free space: add --deep");
    std::string format = AsciiLower(options.format);
    if (format != "json" && format != "dfxml" && format != "body")
        return Usage("unknown --format '" + options.format + "' (json, dfxml or body)");
    Selection& selection = info.selection;
    selection.deletedOnly = options.deletedOnly;
    std::string error;
    if (!options.types.empty() && !AddTypes(options.types, selection, error)) return Usage(error);
    if (!options.categories.empty() && !AddCategories(options.categories, selection, error)) return Usage(error);
    if (!options.minSize.empty() && !ParseSize(options.minSize, selection.minSize))
        return Usage("bad --min-size '" + options.minSize + "'");
    if (!options.maxSize.empty() && !ParseSize(options.maxSize, selection.maxSize))
        return Usage("bad --max-size '" + options.maxSize + "'");
    if (selection.minSize > selection.maxSize) return Usage("--min-size is larger than --max-size");
    if (options.report == "-" && options.list) return Usage("--list and --report - both write to stdout");
    TimeZone zone;
    if (!TimeZone::Resolve(options.timeZone, zone, error)) return Usage(error);
    info.timeZone = zone.Name();

    if (!ResolveSource(options.source, info.source, error)) {
        std::cerr << "ravlin: " << error << '\n';
        return kExitNoInput;
    }
    uint64_t sectors = info.source.sizeBytes / 512;
    if (options.start >= sectors)
        return Usage("--start " + std::to_string(options.start) + " is past the end of the source (" +
                     std::to_string(sectors) + " sectors)");
    info.startSector = options.start;
    info.sectorCount = options.count ? *options.count : sectors - options.start;
    if (info.sectorCount == 0 || info.sectorCount > sectors - options.start)
        return Usage("--count " + std::to_string(info.sectorCount) + " does not fit the source (" +
                     std::to_string(sectors - options.start) + " sectors from --start)");
    Session session;
    if (!options.session.empty() || !options.resume.empty()) {
        if (quick || info.scanMode != 0 || info.scanKind == 8)
            return Usage("saved scans are deep scans of one source: --session and --resume go with --deep");
        session.identity = SourceIdentity(info.source);
        if (!options.resume.empty()) {
            const fs::path resume(options.resume);
            if (!CheckResume(options.resume, session.identity, options.start != 0 || options.count.has_value(),
                             info.startSector, info.sectorCount, error)) {
                std::cerr << "ravlin: " << error << '\n';
                return kExitDataError;
            }
            if (info.sectorCount > sectors - info.startSector)
                return Usage(Printable(options.resume) + " was saved for sectors past the end of the source");
            session.folder = options.session.empty() ? (resume.has_parent_path() ? resume.parent_path().string() : ".")
                                                     : options.session;
            session.dataFile = resume.filename().string();
        } else {
            session.folder = options.session;
            session.dataFile = SessionDataName(info.source, info.startSector, info.sectorCount);
        }
        std::error_code ec;
        if (OnSourceDevice(info.source, session.folder)) {
            std::cerr << "ravlin: refusing to save the scan onto the device being scanned: " << session.folder << '\n';
            return kExitCantCreate;
        }
        fs::create_directories(session.folder, ec);
        if (!fs::is_directory(session.folder, ec)) {
            std::cerr << "ravlin: cannot create " << Printable(session.folder) << '\n';
            return kExitCantCreate;
        }
    }
    info.previewPath = options.previewPath;
    std::string storedMd5;
    for (const auto& [name, value] : info.source.acquisition)
        if (name == "md5") storedMd5 = value;
    if (options.verify && storedMd5.empty())
        return Usage("--verify checks the MD5 an EWF (E01) image stores, and " + Printable(options.source) +
                     " stores none");

    if (!options.recover.empty()) {
        fs::path dir(options.recover);
        if (OnSourceDevice(info.source, dir) || SameFile(info.source.localPath, dir)) {
            std::cerr << "ravlin: refusing to recover onto the device being scanned: " << options.recover << '\n';
            return kExitCantCreate;
        }
        if (!PrepareFolder(dir, error)) {
            std::cerr << "ravlin: " << error << '\n';
            return kExitCantCreate;
        }
    }
    std::ofstream reportFile;
    fs::path reportTemp;
    if (!OpenReport(options, info.source, reportFile, reportTemp, error)) {
        std::cerr << "ravlin: " << error << '\n';
        return kExitCantCreate;
    }
    struct RemoveTemporary {
        const fs::path& path;
        ~RemoveTemporary() {
            std::error_code ec;
            if (!path.empty()) fs::remove(path, ec);
        }
    } removeTemporary{reportTemp};

    auto hostOwner = std::make_unique<Host>();  // outlives the engine, whose worker calls it
    Host& host = *hostOwner;
    // Wakes the progress loop the moment the scan ends, rather than at its next tick.
    struct FinishSignal {
        std::mutex lock;
        std::condition_variable wake;
        bool finished = false;
        static void Notify(ScanEngine::Notify what, void* context) {
            auto& self = *static_cast<FinishSignal*>(context);
            if (what != ScanEngine::Finished) return;
            std::lock_guard<std::mutex> guard(self.lock);
            self.finished = true;
            self.wake.notify_all();
        }
        void WaitFor(std::chrono::milliseconds time) {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait_for(guard, time, [&] { return finished; });
        }
    } finishSignal;
    auto engineOwner = std::make_unique<ScanEngine>();
    ScanEngine& engine = *engineOwner;
    engine.SetNotifyCallback(FinishSignal::Notify, &finishSignal);
    auto resultsOwner = std::make_unique<ScanResults>();
    // The engine, its host and the results taken from it are left to the system when the
    // process ends, as it does once the scan is done: freeing a tree of millions of nodes one by
    // one takes longer than listing it. Nothing of the engine may point into this scope then.
    // Builds with the leak checker free them, so that it sees the engine's own teardown.
    struct LeaveToExit {
        std::unique_ptr<Host>& host;
        std::unique_ptr<ScanEngine>& engine;
        std::unique_ptr<ScanResults>& results;
        ~LeaveToExit() {
            engine->ClearNotifyCallback();
            engine->SetNodeFilter(nullptr, nullptr);
            if (!kFreeScanAtExit) {
                (void)engine.release();
                (void)host.release();
                (void)results.release();
            }
        }
    } leaveToExit{hostOwner, engineOwner, resultsOwner};
    if (selection.deletedOnly && selection.types.empty() && selection.minSize == 0 && selection.maxSize == UINT64_MAX)
        engine.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
    else if (!selection.SelectsAll())
        engine.SetNodeFilter(SelectionFilter, &selection);
    ScanInput input;
    input.devicePath = info.source.devicePath;
    input.startSector = info.startSector;
    input.sectorCount = info.sectorCount;
    input.scanMode = info.scanMode;
    input.scanKind = info.scanKind;
    // A quick scan for deleted files leaves the live ones out of the preview altogether.
    if (info.scanKind == kScanKindFileSystems && selection.deletedOnly) input.scanKind = kScanKindDeletedFiles;
    input.host = &host;
    if (!session.folder.empty()) {
        input.sourceName = FromUtf8(session.identity);
        if (!options.resume.empty()) input.resumeFile = FromUtf8(options.resume);
    }
    info.startedAt = NowIso();
    auto saveSession = [&] {
        return engine.SaveScanProgress(FromUtf8(session.folder), FromUtf8(session.dataFile), FromUtf8(kSessionIndex));
    };

    CatchInterrupt();
    if (!engine.Start(input)) {
        ReleaseInterrupt();
        std::cerr << "ravlin: cannot start the scan of " << options.source << '\n';
        return kExitNoInput;
    }
    std::atomic<bool> verifyStop{false};
    std::optional<Verifier> verifier;
    if (options.verify) verifier.emplace(info.source.devicePath, storedMd5, info.source.sizeBytes, verifyStop);
    auto sample = [&] {
        ProgressSample s = Sample(engine, host, info.sectorCount, quick);
        if (verifier) s.verifyFraction = verifier->Fraction();
        return s;
    };
    ProgressDisplay progress(::isatty(STDERR_FILENO) != 0, options.quiet);
    auto lastShown = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    auto lastSaved = std::chrono::steady_clock::now();
    bool stopping = false, saveFailed = false;
    while (engine.IsRunning()) {
        if (g_interrupted && !stopping) {
            stopping = true;
            if (!options.quiet) std::cerr << "\nravlin: stopping; press Ctrl-C again to abort\n";
            engine.Stop();
            verifyStop = true;
        }
        // A deep scan's preview takes in its nodes as they come. A quick scan's takes them in
        // only for the progress line, when one is shown: taken in while the file-system pass
        // runs, they cost the pass more than they save at the end, and the finished pass
        // relinks its tree, which the preview then goes over again anyway.
        if (!quick) engine.TickPreview(50000);
        auto now = std::chrono::steady_clock::now();
        // Saved every so often while it runs, paused for the moment of the save.
        if (!session.folder.empty() && !stopping && now - lastSaved >= std::chrono::seconds(options.saveEverySeconds)) {
            engine.SetPause(true);
            const bool saved = saveSession();
            engine.SetPause(false);
            if (saved) {
                progress.Message("ravlin: saved the scan so far in " +
                                 Printable((fs::path(session.folder) / session.dataFile).string()));
            } else if (!saveFailed) {
                saveFailed = true;
                std::cerr << "\nravlin: cannot save the scan into " << Printable(session.folder) << "; it goes on\n";
            }
            lastSaved = now = std::chrono::steady_clock::now();
        }
        if (now - lastShown >= std::chrono::milliseconds(200)) {
            if (quick && !options.quiet) engine.TickPreview(50000);
            progress.Update(sample());
            lastShown = now;
        }
        finishSignal.WaitFor(std::chrono::milliseconds(20));
    }
    // The hash check reads the whole image, which a quick scan does not: it is waited for.
    while (verifier && !verifier->Done()) {
        if (g_interrupted) verifyStop = true;
        progress.Update(sample());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (verifier) info.verification = verifier->Wait();
    // Let the preview take in everything the scan produced.
    for (uint64_t guard = 0; (engine.TickPreview(1u << 20) || !engine.FilterEnding()) && guard < 100000000; ++guard) {
    }
    info.interrupted = g_interrupted != 0;
    g_scanInterrupted = info.interrupted;
    ProgressSample last = Sample(engine, host, info.sectorCount, quick);
    info.scannedSectors = last.scannedSectors;
    info.totalSectors = last.totalSectors;
    host.Fill(info);
    const std::string which = quick ? "quick scan" : info.scanMode == 0 ? "deep scan" : info.mode + " scan";
    bool sessionSaved = false;
    if (!session.folder.empty()) {
        sessionSaved = saveSession();
        if (!sessionSaved) std::cerr << "ravlin: cannot save the scan into " << Printable(session.folder) << '\n';
    }
    std::string outcome = info.interrupted ? which + " interrupted"
                          : host.DeviceLost() ? which + " stopped, the source went away"
                                              : which + " finished";

    const bool everyNode = selection.SelectsAll();
    const WalkSelection walk = MakeWalkSelection(options);
    int code = kExitOk;
    ScanTotals totals;
    if (options.partitionsOnly) {
        PartitionSink partitions;
        totals = WalkResults(engine, everyNode, partitions, walk);
        if (options.partitionsJson) {
            std::cout << PartitionsJson(partitions.parts) << '\n';
        } else {
            for (const auto& [part, partTotals] : partitions.parts) std::cout << PartitionLine(part, partTotals) << '\n';
        }
    }
    if (!options.report.empty()) {
        // Written node by node as the walk goes, into a temporary file renamed over the report
        // once whole: an interrupted or failed write never leaves a partial report behind.
        std::ostream& out = options.report == "-" ? std::cout : static_cast<std::ostream&>(reportFile);
        auto writer = MakeReportWriter(format, out);
        ZoneSink sink(*writer, zone);
        writer->Begin(info);
        totals = WalkResults(engine, everyNode, sink, walk);
        writer->End(totals);
        out.flush();
        bool written = static_cast<bool>(out);
        if (reportFile.is_open()) {
            reportFile.close();
            written = written && !reportFile.fail();
            std::error_code ec;
            // The old report goes first: renamed over, it would make ext4 write the new one
            // out at once (its guard for files replaced by rename), which costs more than the
            // rest of a quick scan.
            if (written) {
                fs::remove(options.report, ec);
                fs::rename(reportTemp, options.report, ec);
            }
            if (!written || ec) fs::remove(reportTemp, ec), written = false;
        }
        if (!written) {
            std::cerr << "ravlin: cannot write the report " << options.report << '\n';
            code = kExitIoError;
        }
    }
    // The listing draws a tree and recovery goes file by file: both take the results whole.
    ScanResults& results = *resultsOwner;
    SectorRanges recoveredBad;
    if (options.list || !options.recover.empty()) {
        results = CollectResults(engine, everyNode, walk);
        ApplyTimeZone(results, zone);
        // The bin's info items are no user files: reported, not listed or recovered.
        for (auto& part : results.parts) {
            auto info = std::remove_if(part.nodes.begin(), part.nodes.end(), [&](const NodeResult& n) {
                if (!n.recycleInfo) return false;
                --results.files, results.bytes -= n.size;
                if (n.Deleted()) --results.deletedFiles;
                return true;
            });
            part.nodes.erase(info, part.nodes.end());
        }
        totals = {results.files, results.bytes, results.deletedFiles, results.selected};
    } else if (options.report.empty() && !options.partitionsOnly) {
        CountingSink counting;
        totals = WalkResults(engine, everyNode, counting, walk);
    }
    // The summary counts what the selection chose, as the listing and the report do.
    last.filesFound = totals.files;
    progress.Finish(last, outcome);
    if (info.verification && !info.interrupted) std::cerr << "ravlin: " << VerifyMessage(*info.verification) << '\n';
    if (walk.NarrowsNodes() && totals.selected == 0)
        std::cerr << "ravlin: nothing matches " << Printable(DescribeSelection(options)) << "\n";
    else if (quick && totals.files == 0 && !options.quiet && !info.interrupted)
        std::cerr << "ravlin: the quick scan found no files in the file systems; --deep also searches the raw sectors\n";
    if (options.list) {
        WriteListing(std::cout, results, options.utc ? TimeZone() : zone);
        std::cout.flush();
    }
    if (!options.recover.empty() && code == kExitOk) {
        RecoverSummary summary;
        if (options.recoverDeletedOnly) {
            for (auto& part : results.parts)
                std::erase_if(part.nodes, [](const NodeResult& n) { return !n.directory && !n.Deleted(); });
        }
        int recovered = RecoverFiles(engine.GetView(), results, options.recover, options.quiet, summary,
                                     RecoveryCancelled, info.source.sizeBytes / 512, options.skipExisting);
        if (!summary.error.empty()) std::cerr << "ravlin: " << summary.error << '\n';
        // Unreadable data is said even when quiet: it makes the exit code 74.
        bool incomplete = summary.partial != 0 || summary.failed != 0;
        if (!options.quiet || incomplete) {
            std::cerr << "ravlin: " << summary.written << (summary.written == 1 ? " file" : " files") << " recovered ("
                      << HumanSize(summary.bytes) << ") into " << options.recover << ", " << summary.partial
                      << " with unreadable parts";
            if (summary.failed) std::cerr << ", " << summary.failed << " could not be read at all";
            if (summary.skipped) std::cerr << ", " << summary.skipped << " recovered before and skipped";
            std::cerr << '\n';
        }
        code = recovered;
        if (code == kExitOk && incomplete) code = kExitIoError;
        recoveredBad = summary.badSectors;
    }
    if (!options.badMap.empty()) {
        SectorRanges bad = info.failedSectors;
        bad.Add(recoveredBad);
        const bool read = !quick && info.scanKind != 8;  // the raw pass read the region
        std::ofstream map(options.badMap, std::ios::trunc);
        map << BadMapText(info.source.sizeBytes, info.startSector,
                          read ? info.startSector + info.scannedSectors : info.startSector, bad,
                          "ravlin scan " + options.source);
        map.close();
        if (!map) {
            std::cerr << "ravlin: cannot write the map " << options.badMap << '\n';
            if (code == kExitOk) code = kExitCantCreate;
        }
    }
    if (!session.folder.empty()) {
        const std::string saved = (fs::path(session.folder) / session.dataFile).string();
        if (!sessionSaved) {
            if (code == kExitOk) code = kExitCantCreate;
        } else if (!options.quiet && (info.interrupted || info.scannedSectors < info.totalSectors)) {
            std::cerr << "ravlin: the scan is saved in " << Printable(saved) << "; go on with: ravlin scan "
                      << Printable(options.source) << " --resume " << Printable(saved) << '\n';
        } else if (!options.quiet) {
            std::cerr << "ravlin: the finished scan is saved in " << Printable(saved) << '\n';
        }
    }
    ReleaseInterrupt();
    if (code == kExitOk && host.DeviceLost()) code = kExitIoError;
    if (code == kExitOk && !quick && !info.interrupted && info.scannedSectors < info.totalSectors) {
        // The engine gave up early (nothing it could open, or a source that stopped answering).
        std::cerr << "ravlin: the scan ended early: " << info.scannedSectors << " of " << info.totalSectors
                  << " sectors read\n";
        code = kExitIoError;
    }
    if (code == kExitOk && info.verification && !info.verification->complete) code = kExitIoError;
    if (code == kExitOk && info.verification && !info.verification->Matched()) code = kExitDataError;
    if (g_interrupted) code = kExitInterrupted;
    return code;
}

}  // namespace ravlin::cli
