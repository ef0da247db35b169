#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace support {

namespace {

int64_t NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Both ends owned from the start: a failure later on closes whatever was already made.
bool MakePipe(UniqueFd &readEnd, UniqueFd &writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd = UniqueFd(fds[0]);
    writeEnd = UniqueFd(fds[1]);
    return true;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    Kill();
}

bool ChildProcess::Start(const std::vector<std::string> &argv, const ChildOptions &options,
                         std::string &error) {
    if (argv.empty() || pid_ > 0) {
        error = argv.empty() ? "no program" : "already started";
        return false;
    }
    // The child's ends; everything is opened before the fork, the child only dups and execs.
    UniqueFd childIn(-1), childOut(-1), childErr(-1);
    if (options.inputPipe
            ? !MakePipe(childIn, input_)
            : (childIn = UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC))).get() < 0) {
        error = std::string("standard input: ") + std::strerror(errno);
        return false;
    }
    if (options.logPath.empty()) {
        if (!MakePipe(output_, childOut) || !MakePipe(errors_, childErr)) {
            error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
    } else {
        childOut = UniqueFd(
            open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!childOut.valid()) {
            error = options.logPath + ": " + std::strerror(errno);
            return false;
        }
    }
    std::vector<std::string> words = argv;
    std::vector<char *> args;
    for (std::string &w : words) args.push_back(w.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        if (options.dieWithParent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
        }
        dup2(childIn.get(), 0);
        dup2(childOut.get(), 1);
        dup2(childErr.valid() ? childErr.get() : childOut.get(), 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);  // also here: a Kill right after Start reaches the group
    pid_ = pid;
    return true;
}

bool ChildProcess::Type(const std::string &text) {
    size_t done = 0;
    while (input_.valid() && done < text.size()) {
        const ssize_t put = write(input_.get(), text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return done == text.size();
}

int ChildProcess::Wait(int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    while (pid_ > 0) {
        int status = 0;
        const pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_ || (got < 0 && errno != EINTR)) {
            status_ = got == pid_ ? ExitCode(status) : -1;
            pid_ = -1;  // reaped: never signal a recycled id
            break;
        }
        if (NowMs() >= deadline) return -2;
        usleep(10000);
    }
    return status_;
}

void ChildProcess::Kill() {
    input_.Close();
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = -1;
    pid_ = -1;
}

ProcessResult ChildProcess::Collect(const std::string &input, int timeoutMs) {
    ProcessResult result;
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) input_.Close();
    const int64_t deadline = NowMs() + timeoutMs;
    while (output_.valid() || errors_.valid() || input_.valid()) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            result.timedOut = true;
            Kill();
            break;
        }
        pollfd fds[3] = {
            {output_.get(), POLLIN, 0}, {errors_.get(), POLLIN, 0}, {input_.get(), POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                (i == 0 ? output_ : errors_).Close();
            }
        }
        if (input_.valid() && fds[2].revents != 0) {
            const ssize_t put = write(input_.get(), input.data() + written, input.size() - written);
            if (put > 0) written += static_cast<size_t>(put);
            if (put < 0 || written == input.size()) input_.Close();
        }
    }
    output_.Close();
    errors_.Close();
    const int code = Wait(timeoutMs);
    if (code == -2) {
        result.timedOut = true;
        Kill();
    } else if (!result.timedOut) {
        result.exitCode = code;
    }
    return result;
}

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input,
                         int timeoutMs) {
    ChildProcess child;
    std::string error;
    if (!child.Start(argv, {}, error)) {
        ProcessResult result;
        result.err = error;
        return result;
    }
    return child.Collect(input, timeoutMs);
}

}  // namespace support
