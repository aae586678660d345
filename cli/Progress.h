// Progress on stderr: a one-line bar on a terminal, plain lines every few seconds otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

namespace ravlin::cli {

struct ProgressSample {
    uint64_t scannedSectors = 0;
    uint64_t totalSectors = 0;
    uint64_t filesFound = 0;
    std::string currentPath;
    std::string stage;
    bool readsFailing = false;  // the source reported failed reads or went away
    bool quick = false;         // a quick scan: file systems only, no sectors to count
    double verifyFraction = -1;  // of the image's stored hash checked so far; < 0 for none
};

class ProgressDisplay {
public:
    // `terminal`: stderr is a terminal. `quiet`: print nothing.
    ProgressDisplay(bool terminal, bool quiet);
    void Update(const ProgressSample& sample);
    // A line of its own between progress updates; the bar is drawn again by the next update.
    void Message(const std::string& line);
    // Ends the bar's line (terminal) or prints the last plain line.
    void Finish(const ProgressSample& sample, const std::string& outcome);

    // "1:02:03" or "4:05"; "--" for none.
    static std::string FormatDuration(double seconds);

private:
    using Clock = std::chrono::steady_clock;
    struct Point {
        Clock::time_point at;
        uint64_t sectors;
    };
    std::string Line(const ProgressSample& sample, int width) const;
    double Rate() const;  // bytes per second over the recent window
    bool Stalled() const;

    bool terminal_;
    bool quiet_;
    Clock::time_point started_;
    Clock::time_point lastPrinted_;
    Clock::time_point lastAdvance_;
    std::deque<Point> window_;
    bool printedBar_ = false;
};

}  // namespace ravlin::cli
