// A program run as a child process: its standard output through a pipe the
// test reads line by line, standard error kept in a file, signals and a
// bounded wait for its end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace childtest {

class TChild {
  public:
    // Starts path with the arguments; extraEnv entries ("NAME=value") are
    // added to (or replace) the test's environment. Standard input is
    // /dev/null.
    TChild(const std::string& path, const std::vector<std::string>& args,
           const std::vector<std::string>& extraEnv = {}) {
        static int serial = 0;
        errPath_ = "/tmp/palmo_child_" + std::to_string(getpid()) + "_" + std::to_string(++serial) +
                   ".err";
        std::vector<std::string> argStrings{path};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const std::string& extra : extraEnv) {
                replaced = replaced || entry.substr(0, entry.find('=') + 1) ==
                                           extra.substr(0, extra.find('=') + 1);
            }
            if (!replaced) {
                envStrings.push_back(entry);
            }
        }
        envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> argv;
        for (std::string& s : argStrings) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& s : envStrings) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in, 0);
            dup2(out[1], 1);
            dup2(err, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        close(err);
        close(in);
        out_ = out[0];
        fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
    }
    ~TChild() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            int raw = 0;
            waitpid(pid_, &raw, 0);
        }
        CloseOutput();
        std::remove(errPath_.c_str());
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int sig) const {
        if (pid_ > 0 && !status_) {
            kill(pid_, sig);
        }
    }

    // The next line of standard output without its line end; nothing when
    // none came within timeoutMs or the output ended.
    std::optional<std::string> ReadLine(int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !Fill(static_cast<int>(left))) {
                return std::nullopt;
            }
        }
    }

    // Closes the test's end of the output pipe (the child then meets EPIPE).
    void CloseOutput() {
        if (out_ >= 0) {
            close(out_);
            out_ = -1;
        }
    }

    // Reads at least count bytes of output (fewer when it ends or timeoutMs pass).
    std::string ReadBytes(size_t count, int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer_.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !Fill(static_cast<int>(left))) {
                break;
            }
        }
        return std::exchange(buffer_, {});
    }

    // The exit status once the child has ended within timeoutMs: its code,
    // or 128 plus the signal that ended it; nothing while it still runs.
    std::optional<int> Wait(int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!status_ && pid_ > 0) {
            int raw = 0;
            const pid_t r = waitpid(pid_, &raw, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            usleep(2000);
        }
        return status_;
    }

    std::string ErrText() const {
        std::ifstream in(errPath_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    // Waits for more output; false when it ended or nothing came in time.
    bool Fill(int timeoutMs) {
        if (out_ < 0) {
            return false;
        }
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string errPath_;
    std::optional<int> status_;
};

}  // namespace childtest
