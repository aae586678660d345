#include "RunRavlin.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace ravlin::test {

std::vector<std::string> RunResult::ErrLines() const {
    std::vector<std::string> lines;
    std::stringstream stream(err);
    std::string line;
    while (std::getline(stream, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

RunResult RunRavlin(const std::vector<std::string>& args, const std::string& workdir, std::chrono::seconds limit) {
    std::vector<std::string> withZone{"TZ=UTC", RAVLIN_CLI_PATH};
    withZone.insert(withZone.end(), args.begin(), args.end());
    return RunProgram("/usr/bin/env", withZone, workdir, limit);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workdir,
                     std::chrono::seconds limit, const std::string& interruptOn, int sig) {
    RunResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, STDIN_FILENO);
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(127);
        signal(SIGINT, SIG_DFL);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto started = std::chrono::steady_clock::now();
    bool interrupted = interruptOn.empty();
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        auto elapsed = std::chrono::steady_clock::now() - started;
        if (elapsed > limit) {
            kill(pid, SIGKILL);
            break;
        }
        if (!interrupted && result.err.find(interruptOn) != std::string::npos) {
            kill(pid, sig);
            interrupted = true;
        }
        if (poll(fds, 2, 50) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace ravlin::test
