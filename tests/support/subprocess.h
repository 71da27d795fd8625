// Child processes for tests that need a real second process (claims, registry sharing, tools).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sorvex::test {

class Subprocess {
public:
    struct Options {
        std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) ours
        bool pipeStdin = true;
        bool captureStdout = true;
        bool captureStderr = true;
    };

    // Starts argv[0] (a path) with the arguments. Throws std::system_error when it cannot.
    explicit Subprocess(std::vector<std::string> argv);
    Subprocess(std::vector<std::string> argv, Options options);
    ~Subprocess();  // kills the child (SIGKILL) if it still runs, and reaps it
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return m_Pid; }

    // Writes all bytes to the child's standard input.
    void Write(const std::string& bytes);
    void CloseStdin();

    // Next line of standard output without its line end, or nullopt at end of output or when
    // nothing complete arrived within the time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    // Waits for the child to end; its exit code (128 + signal when killed), or nullopt on
    // time-out. Collects the rest of its output.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    void Kill(int signal);

    // Everything read so far from standard output that ReadLine has not consumed, and all of
    // standard error.
    const std::string& PendingStdout() const { return m_Stdout; }
    const std::string& Stderr() const { return m_Stderr; }

private:
    void Pump(int timeoutMs);

    pid_t m_Pid = -1;
    int m_In = -1;
    int m_Out = -1;
    int m_Err = -1;
    std::string m_Stdout;
    std::string m_Stderr;
    std::optional<int> m_Exit;
};

// Runs a program to completion: exit code, standard output and standard error.
struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
RunResult Run(std::vector<std::string> argv, const std::string& input = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(60),
              Subprocess::Options options = {});

// The running test executable (for tests that start a copy of themselves as a second process).
std::string SelfPath();

}  // namespace sorvex::test
