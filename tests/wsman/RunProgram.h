// Runs the Linux wmicheck as a monitoring engine does: its one line on
// standard output, its exit code, how long it took.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace wsmantest {

struct Outcome {
    int code = -1;
    std::string out;
    double seconds = 0;
};

// Runs wmicheck with args, WMICHECK_PASSWORD set to password unless null.
inline Outcome RunProgram(const std::vector<std::string>& args, const char* password) {
    int pipe[2];
    if (::pipe(pipe) != 0) return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(pipe[0]);
        if (password) setenv("WMICHECK_PASSWORD", password, 1);
        else unsetenv("WMICHECK_PASSWORD");
        std::vector<char*> argv{const_cast<char*>(WMICHECK)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(WMICHECK, argv.data());
        _exit(127);
    }
    close(pipe[1]);
    Outcome outcome;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe[0], buffer, sizeof buffer)) > 0;) outcome.out.append(buffer, n);
    close(pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

}  // namespace wsmantest
