// Runs the raw pass alone (no file-system pass, carving on) over a whole source and prints
// MB/s, the files carved and the process's peak resident memory, then the time each of the
// stages after the pass took.
//   bench_raw_pass PATH
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/DiskRecoveryEngine.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when each stage begins; the pass ends where the first begins.
class StageClock final : public IScanHost {
public:
    bool ShouldRetryDevice() override { return false; }
    void BeginStages(uint32_t) override { marks.push_back(Clock::now()); }
    void OnStage(uint32_t, uint32_t, const wchar_t*) override { marks.push_back(Clock::now()); }
    void EndStages() override { marks.push_back(Clock::now()); }
    void OnReadErrors(uint32_t, uint32_t, uint64_t, bool) override {}
    std::vector<Clock::time_point> marks;  // stages begun, then their end
};

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
        return 64;
    }
    std::error_code ec;
    uint64_t bytes = std::filesystem::file_size(argv[1], ec);
    if (ec) return 66;
    ScanInput input;
    input.devicePath = ravlin::platform::Utf8ToWide(argv[1]);
    input.sectorCount = bytes / 512;
    input.scanMode = 1;  // the raw pass and what follows it, no file-system pass
    StageClock stages;
    input.host = &stages;
    ravlin::DiskRecoveryEngine engine(input);
    auto started = Clock::now();
    engine.Run();
    const auto ended = Clock::now();
    const auto passEnded = stages.marks.empty() ? ended : stages.marks.front();
    double seconds = Seconds(started, passEnded);
    double mb = static_cast<double>(engine.Output()->scannedSectors.load()) * 512 / 1e6;
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%.1f MB/s (%.0f MB in %.3f s), %llu files carved, peak RSS %.0f MiB\n", mb / seconds, mb, seconds,
                static_cast<unsigned long long>(engine.Output()->carvedFiles.load()),
                static_cast<double>(usage.ru_maxrss) / 1024);
    if (stages.marks.size() >= 3) {
        const double staged = Seconds(stages.marks[1], stages.marks.back());
        std::printf("stages %.3f s (%.1f %% of the raw pass):", staged, 100 * staged / seconds);
        for (size_t i = 1; i + 1 < stages.marks.size(); ++i)
            std::printf(" %zu:%.1fms", i, 1000 * Seconds(stages.marks[i], stages.marks[i + 1]));
        std::printf("\n");
    }
    return 0;
}
