#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace ravlin::cli {
namespace {

constexpr auto kWindow = std::chrono::seconds(5);
constexpr auto kStall = std::chrono::seconds(3);
constexpr auto kPlainEvery = std::chrono::seconds(5);

int TerminalWidth() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

// Cuts UTF-8 text to at most `columns` characters, keeping its end (paths end in the name).
std::string KeepEnd(const std::string& text, size_t columns) {
    size_t characters = 0;
    for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
    if (characters <= columns) return text;
    size_t drop = characters - columns + 1, i = 0;
    while (i < text.size() && drop > 0) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        --drop;
    }
    return "\xE2\x80\xA6" + text.substr(i);  // …
}

}  // namespace

ProgressDisplay::ProgressDisplay(bool terminal, bool quiet)
    : terminal_(terminal), quiet_(quiet), started_(Clock::now()), lastPrinted_(started_), lastAdvance_(started_) {}

std::string ProgressDisplay::FormatDuration(double seconds) {
    if (!(seconds >= 0) || seconds > 1e8) return "--";
    auto total = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(total / 3600),
                      static_cast<unsigned long long>(total / 60 % 60), static_cast<unsigned long long>(total % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(total / 60),
                      static_cast<unsigned long long>(total % 60));
    return text;
}

double ProgressDisplay::Rate() const {
    if (window_.size() < 2) return 0;
    double seconds = std::chrono::duration<double>(window_.back().at - window_.front().at).count();
    if (seconds < 0.2) return 0;
    return static_cast<double>(window_.back().sectors - window_.front().sectors) * 512.0 / seconds;
}

bool ProgressDisplay::Stalled() const { return Clock::now() - lastAdvance_ > kStall; }

std::string ProgressDisplay::Line(const ProgressSample& sample, int width) const {
    double fraction = sample.totalSectors ? static_cast<double>(sample.scannedSectors) / sample.totalSectors : 0;
    if (fraction > 1) fraction = 1;
    double rate = Rate();
    std::string eta = "--";
    // No estimate while reads fail or nothing moves: it would only be wrong.
    if (rate > 0 && !sample.readsFailing && !Stalled())
        eta = FormatDuration(static_cast<double>(sample.totalSectors - std::min(sample.totalSectors, sample.scannedSectors)) * 512.0 / rate);
    char head[160];
    std::snprintf(head, sizeof head, "%5.1f%%  %7.1f MB/s  ETA %s  %llu files", fraction * 100, rate / 1e6,
                  eta.c_str(), static_cast<unsigned long long>(sample.filesFound));
    if (sample.quick)
        std::snprintf(head, sizeof head, "quick scan  %llu files", static_cast<unsigned long long>(sample.filesFound));
    std::string line;
    if (terminal_ && !sample.quick) {
        int barWidth = width >= 100 ? 24 : width >= 70 ? 12 : 0;
        if (barWidth > 0) {
            int filled = static_cast<int>(fraction * barWidth);
            line = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] ";
        }
    }
    line += head;
    if (sample.verifyFraction >= 0) {
        char verify[32];
        std::snprintf(verify, sizeof verify, "  verify %.0f%%", std::min(sample.verifyFraction, 1.0) * 100);
        line += verify;
    }
    std::string where = !sample.stage.empty() ? sample.stage : sample.currentPath;
    if (!where.empty()) {
        int room = width - static_cast<int>(line.size()) - 3;
        if (!terminal_) room = 200;
        if (room >= 8) line += "  " + KeepEnd(where, static_cast<size_t>(room));
    }
    return line;
}

void ProgressDisplay::Update(const ProgressSample& sample) {
    if (quiet_) return;
    auto now = Clock::now();
    if (window_.empty() || sample.scannedSectors != window_.back().sectors) lastAdvance_ = now;
    window_.push_back({now, sample.scannedSectors});
    while (window_.size() > 2 && now - window_.front().at > kWindow) window_.pop_front();
    if (terminal_) {
        std::cerr << '\r' << Line(sample, TerminalWidth()) << "\x1b[K" << std::flush;
        printedBar_ = true;
    } else if (now - lastPrinted_ >= kPlainEvery) {
        std::cerr << "ravlin: " << Line(sample, 0) << '\n';
        lastPrinted_ = now;
    }
}

void ProgressDisplay::Message(const std::string& line) {
    if (quiet_) return;
    if (terminal_ && printedBar_) std::cerr << '\r' << "\x1b[K";
    std::cerr << line << '\n';
}

void ProgressDisplay::Finish(const ProgressSample& sample, const std::string& outcome) {
    if (quiet_) return;
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    if (terminal_ && printedBar_) std::cerr << '\r' << "\x1b[K";
    char line[200];
    const char* files = sample.filesFound == 1 ? "file" : "files";
    if (sample.quick) {
        std::snprintf(line, sizeof line, "ravlin: %s after %s: %llu %s found", outcome.c_str(),
                      FormatDuration(seconds).c_str(), static_cast<unsigned long long>(sample.filesFound), files);
        std::cerr << line << '\n';
        return;
    }
    std::snprintf(line, sizeof line, "ravlin: %s after %s: %llu of %llu sectors, %llu %s found", outcome.c_str(),
                  FormatDuration(seconds).c_str(), static_cast<unsigned long long>(sample.scannedSectors),
                  static_cast<unsigned long long>(sample.totalSectors),
                  static_cast<unsigned long long>(sample.filesFound), files);
    std::cerr << line << '\n';
}

}  // namespace ravlin::cli
