// Runs the built ravlin binary and captures what it printed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ravlin::test {

struct RunResult {
    int code = -1;  // exit code; 128 + n when killed by signal n
    std::string out;
    std::string err;
    std::vector<std::string> ErrLines() const;
};

// Runs `ravlin args...` in `workdir` (the current folder when empty), killed after `limit`,
// on a machine whose zone is UTC.
RunResult RunRavlin(const std::vector<std::string>& args, const std::string& workdir = "",
                    std::chrono::seconds limit = std::chrono::seconds(300));

// Runs a program by path; stdout and stderr are captured. With `interruptOn`, signal `sig` is sent
// once stderr holds that text.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workdir = "", std::chrono::seconds limit = std::chrono::seconds(300),
                     const std::string& interruptOn = "", int sig = 2 /* SIGINT */);

}  // namespace ravlin::test
