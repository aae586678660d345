// Peak memory of a streamed report against the number of nodes: a synthetic view of N files in
// 1000 folders is written as a json (or dfxml, body) report to /dev/null.
//   bench_report_memory N [json|dfxml|body]      prints: nodes, seconds, peak RSS in MiB
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Report.h"
#include "Results.h"

using namespace ravlin;
using namespace ravlin::cli;

namespace {

constexpr unsigned kFolders = 1000;

// Ids: 1 the root, 2..kFolders+1 the folders, then the files, folder by folder.
class SyntheticView final : public IScanView {
public:
    explicit SyntheticView(unsigned long long files) : files_(files) {}
    unsigned long long GetPartCount() const override { return 1; }
    bool GetPartBrief(unsigned long long part, PartBrief* out) const override {
        if (part != 0) return false;
        *out = PartBrief();
        out->rootNodeId = 1;
        out->fsType = 12;
        out->sectorCount = 1ull << 40;
        out->devicePath = out->secondName = out->displayName = out->volumeLabel = L"";
        return true;
    }
    bool VisitNode(unsigned long long part, unsigned int id, void (*visit)(const RFileNode*, void*),
                   void* context) const override {
        NodeBrief brief;
        GetNodeBrief(part, id, &brief);
        RFileNode node;
        node.id = id;
        node.parentId = brief.parentId;
        node.kind = static_cast<NodeKind>(brief.kind);
        node.size = brief.size;
        node.typeId = brief.typeId;
        node.name = brief.name;
        node.firstTime = 1546300800 + id;
        node.secondTime = brief.secondTime;
        if (!brief.isDirectory) node.runs = {{2048ull + id * 8, 8}};
        visit(&node, context);
        return true;
    }
    bool GetNodeBrief(unsigned long long, unsigned int id, NodeBrief* out) const override {
        *out = NodeBrief();
        out->id = id;
        const bool folder = id <= kFolders + 1;
        out->isDirectory = folder;
        out->kind = folder ? 3 : 2;
        out->parentId = id == 1 ? 0 : folder ? 1 : static_cast<unsigned>(2 + (id - kFolders - 2) % kFolders);
        out->size = folder ? 0 : 4096;
        out->typeId = folder ? 0 : 46;
        thread_local std::wstring name;
        name = (folder ? L"folder " : L"IMG_") + std::to_wstring(id) + (folder ? L"" : L".JPG");
        out->name = name.c_str();
        out->secondTime = 1546300800 + id;
        return true;
    }
    unsigned long long GetChildCount(unsigned long long, unsigned int id) const override {
        if (id == 1) return kFolders;
        if (id > kFolders + 1) return 0;
        return files_ / kFolders + ((id - 2) < files_ % kFolders ? 1 : 0);
    }
    unsigned int GetChild(unsigned long long, unsigned int id, unsigned long long i) const override {
        if (id == 1) return static_cast<unsigned>(2 + i);
        return static_cast<unsigned>(kFolders + 2 + (id - 2) + i * kFolders);
    }
    unsigned long long GetVisibleChildCount(unsigned long long p, unsigned int id) const override {
        return GetChildCount(p, id);
    }
    unsigned int GetVisibleChild(unsigned long long p, unsigned int id, unsigned long long i) const override {
        return GetChild(p, id, i);
    }
    unsigned long long GetVisibleDirCount(unsigned long long, unsigned int) const override { return 0; }
    unsigned int GetVisibleDir(unsigned long long, unsigned int, unsigned long long) const override { return 0; }
    void SetNodeChecked(unsigned long long, unsigned int, bool) override {}
    void SetNodesChecked(const unsigned long long*, const unsigned int*, int, bool) override {}
    const wchar_t* CurrentPath() const override { return L""; }
    unsigned long long GetCheckedBytes() const override { return 0; }
    bool GetNodeStatus(unsigned long long, unsigned int, NodeStatusBrief*) const override { return false; }
    bool OpenReader(unsigned long long) override { return false; }
    bool ReadNodeData(unsigned long long, unsigned int, void*, unsigned long long, unsigned int) override {
        return false;
    }
    bool ReadNodeDataChecked(unsigned long long, unsigned int, void*, unsigned long long, unsigned int, ReadGap*,
                             unsigned int, unsigned int* count) override {
        *count = 0;
        return false;
    }
    void CloseReader(unsigned long long) override {}

private:
    unsigned long long files_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_report_memory NODES [json|dfxml|body]\n");
        return 64;
    }
    unsigned long long files = std::strtoull(argv[1], nullptr, 10);
    std::string format = argc > 2 ? argv[2] : "json";
    SyntheticView view(files);
    std::ofstream out("/dev/null");
    auto writer = MakeReportWriter(format, out);
    if (!writer) return 64;
    auto started = std::chrono::steady_clock::now();
    writer->Begin(ScanInfo());
    ScanTotals totals = WalkResults(view, true, *writer);
    writer->End(totals);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s report, %llu files: %.1f s, peak RSS %.1f MiB\n", format.c_str(),
                static_cast<unsigned long long>(totals.files), seconds, usage.ru_maxrss / 1024.0);
    return totals.files == files ? 0 : 1;
}
