#include "tests/support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>

extern char** environ;

namespace sorvex::test {

namespace {

void Pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
}

int ToExitCode(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

}  // namespace

Subprocess::Subprocess(std::vector<std::string> argv) : Subprocess(std::move(argv), Options{}) {}

Subprocess::Subprocess(std::vector<std::string> argv, Options options) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.pipeStdin) {
        Pipe(in);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (options.captureStdout) {
        Pipe(out);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    if (options.captureStderr) {
        Pipe(err);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    }

    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (auto& [k, v] : options.env) {
        env[k] = v;
    }
    std::vector<std::string> envStrings;
    for (auto& [k, v] : env) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);

    int rc = ::posix_spawn(&m_Pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    auto closeIf = [](int fd) {
        if (fd >= 0) {
            ::close(fd);
        }
    };
    closeIf(in[0]);
    closeIf(out[1]);
    closeIf(err[1]);
    m_In = in[1];
    m_Out = out[0];
    m_Err = err[0];
    if (rc != 0) {
        closeIf(m_In);
        closeIf(m_Out);
        closeIf(m_Err);
        m_In = m_Out = m_Err = -1;
        m_Pid = -1;
        throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
    }
    if (m_Out >= 0) {
        ::fcntl(m_Out, F_SETFL, O_NONBLOCK);
    }
    if (m_Err >= 0) {
        ::fcntl(m_Err, F_SETFL, O_NONBLOCK);
    }
}

Subprocess::~Subprocess() {
    if (m_Pid > 0 && !m_Exit) {
        ::kill(m_Pid, SIGKILL);
        int status = 0;
        ::waitpid(m_Pid, &status, 0);
    }
    for (int fd : {m_In, m_Out, m_Err}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void Subprocess::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_In, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "write to child");
        }
        done += static_cast<std::size_t>(n);
    }
}

void Subprocess::CloseStdin() {
    if (m_In >= 0) {
        ::close(m_In);
        m_In = -1;
    }
}

void Subprocess::Pump(int timeoutMs) {
    pollfd fds[2];
    int n = 0;
    if (m_Out >= 0) {
        fds[n++] = {m_Out, POLLIN, 0};
    }
    if (m_Err >= 0) {
        fds[n++] = {m_Err, POLLIN, 0};
    }
    if (n == 0) {
        return;
    }
    if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        int& fd = (fds[i].fd == m_Out) ? m_Out : m_Err;
        std::string& sink = (fds[i].fd == m_Out) ? m_Stdout : m_Stderr;
        for (;;) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                sink.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::close(fd);
                fd = -1;
            }
            break;
        }
    }
}

std::optional<std::string> Subprocess::ReadLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = m_Stdout.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_Stdout.substr(0, nl);
            m_Stdout.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_Out < 0) {
            return std::nullopt;
        }
        Pump(static_cast<int>(left.count()));
    }
}

std::optional<int> Subprocess::Wait(std::chrono::milliseconds timeout) {
    if (m_Exit) {
        return m_Exit;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(m_Pid, &status, WNOHANG);
        if (r == m_Pid) {
            m_Exit = ToExitCode(status);
            while (m_Out >= 0 || m_Err >= 0) {
                Pump(100);
            }
            return m_Exit;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        Pump(10);
    }
}

void Subprocess::Kill(int signal) {
    if (m_Pid > 0 && !m_Exit) {
        ::kill(m_Pid, signal);
    }
}

RunResult Run(std::vector<std::string> argv, const std::string& input,
              std::chrono::milliseconds timeout, Subprocess::Options options) {
    Subprocess child(std::move(argv), options);
    if (options.pipeStdin) {
        if (!input.empty()) {
            child.Write(input);
        }
        child.CloseStdin();
    }
    RunResult result;
    auto code = child.Wait(timeout);
    if (!code) {
        child.Kill(SIGKILL);
        code = child.Wait(std::chrono::seconds(5));
        result.err = "timed out; ";
    }
    result.exitCode = code.value_or(-1);
    result.out = child.PendingStdout();
    result.err += child.Stderr();
    return result;
}

std::string SelfPath() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n < 0) {
        throw std::system_error(errno, std::generic_category(), "readlink /proc/self/exe");
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace sorvex::test
