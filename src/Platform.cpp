#include "Platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "Log.h"
#include "UniqueFd.h"

extern char **environ;

namespace {

constexpr char kShell[] = "/bin/sh";
// The wait for a command's end polls, from this short a pause up to the longer one.
constexpr useconds_t kFirstPauseUs = 200;
constexpr useconds_t kLongestPauseUs = 20000;
constexpr std::size_t kReadChunk = 256;
constexpr int PATH_TEXT_SIZE = 256;
constexpr char kTempSuffix[] = ".tmp";

int64_t NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int64_t DeadlineMs(int limitSeconds) {
    return NowMs() + int64_t{limitSeconds > 0 ? limitSeconds : 1} * 1000;
}

// `/bin/sh -c command` in a process group of its own (so a timeout kills all it started), its
// standard output on `outFd` when that is not -1. The child calls only async-signal-safe
// functions: the CAN thread may hold a lock at the fork.
pid_t StartShell(const char *command, int outFd) {
    char shellName[] = "sh";
    char dashC[] = "-c";
    char *argv[] = {shellName, dashC, const_cast<char *>(command), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // The agent ignores SIGPIPE; the board's tools expect the default.
        signal(SIGPIPE, SIG_DFL);
        if (outFd >= 0 && dup2(outFd, STDOUT_FILENO) < 0) _exit(127);
        execve(kShell, argv, environ);
        _exit(127);
    }
    // Asked on both sides: whichever runs first, the group exists before anything is killed.
    if (pid > 0) setpgid(pid, pid);
    return pid;
}

// Kills the command's whole group and reaps the shell.
void KillGroup(pid_t pid) {
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// The shell's wait status, -1 when it cannot be had, or PLATFORM_TIMED_OUT after killing the
// group at the deadline.
int WaitForShell(pid_t pid, int64_t deadlineMs) {
    useconds_t pause = kFirstPauseUs;
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0 && errno != EINTR) return -1;
        if (NowMs() >= deadlineMs) {
            KillGroup(pid);
            return PLATFORM_TIMED_OUT;
        }
        usleep(pause);
        pause = pause * 2 < kLongestPauseUs ? pause * 2 : kLongestPauseUs;
    }
}

int RealRunCommand(const char *command, int limitSeconds) {
    const int64_t deadline = DeadlineMs(limitSeconds);
    const pid_t pid = StartShell(command, -1);
    if (pid < 0) return -1;
    return WaitForShell(pid, deadline);
}

// Reads as fgets would: at most size - 1 bytes, up to and including the first line end.
// Returns the count, or -1 when the deadline passed first.
int ReadLine(int fd, char *buffer, int size, int64_t deadlineMs) {
    int count = 0;
    while (count < size - 1) {
        const int64_t left = deadlineMs - NowMs();
        if (left <= 0) return -1;
        pollfd ready = {fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) continue;
        char chunk[kReadChunk];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got && count < size - 1; ++i) {
            buffer[count++] = chunk[i];
            if (chunk[i] == '\n') return count;
        }
    }
    return count;
}

int RealReadFirstLine(const char *command, char *buffer, int size, int limitSeconds) {
    const int64_t deadline = DeadlineMs(limitSeconds);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return 0;
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t pid = StartShell(command, writeEnd.get());
    writeEnd.Close();
    if (pid < 0) return 0;
    const int count = ReadLine(readEnd.get(), buffer, size, deadline);
    // As pclose: the rest of the output goes nowhere, then the command is waited for.
    readEnd.Close();
    if (count < 0) {
        KillGroup(pid);
        return PLATFORM_TIMED_OUT;
    }
    if (count > 0) buffer[count] = '\0';
    return WaitForShell(pid, deadline) == PLATFORM_TIMED_OUT ? PLATFORM_TIMED_OUT : 1;
}

const stPlatformOps kRealOps = {RealRunCommand, RealReadFirstLine};
const stPlatformOps *gOps = &kRealOps;
bool gTimedOut = false;

void NoteTimeout(const char *command, int limitSeconds) {
    gTimedOut = true;
    LOG_INFO("command timed out after %d s, its processes killed: %s", limitSeconds, command);
}

}  // namespace

int PlatformRunCommand(const char *command, int limitSeconds) {
    std::fflush(nullptr);  // keep our log lines ahead of the tool's own output
    const int status = gOps->runCommand(command, limitSeconds);
    if (status != PLATFORM_TIMED_OUT) return status;
    NoteTimeout(command, limitSeconds);
    return -1;
}

int PlatformReadFirstLine(const char *command, char *buffer, int size, int limitSeconds) {
    std::fflush(nullptr);
    const int opened = gOps->readFirstLine(command, buffer, size, limitSeconds);
    if (opened != PLATFORM_TIMED_OUT) return opened;
    NoteTimeout(command, limitSeconds);
    if (size > 0) std::memset(buffer, 0, static_cast<std::size_t>(size));
    return 0;
}

bool PlatformTakeTimedOut() {
    const bool timedOut = gTimedOut;
    gTimedOut = false;
    return timedOut;
}

void PlatformSetOps(const stPlatformOps *ops) {
    gOps = ops != nullptr ? ops : &kRealOps;
}

bool ShellQuote(const char *text, char *out, std::size_t outSize) {
    std::size_t used = 0;
    auto put = [&](const char *s) {
        std::size_t n = std::strlen(s);
        if (used + n + 1 > outSize) return false;
        std::memcpy(out + used, s, n);
        used += n;
        return true;
    };
    bool ok = put("'");
    for (const char *p = text; ok && *p != '\0'; ++p) {
        if (*p == '\'') {
            ok = put("'\\''");
        } else {
            const char one[2] = {*p, '\0'};
            ok = put(one);
        }
    }
    ok = ok && put("'");
    if (!ok) {
        if (outSize > 0) out[0] = '\0';
        return false;
    }
    out[used] = '\0';
    return true;
}

bool WriteAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool SyncDirectoryOf(const char *path) {
    char dir[PATH_TEXT_SIZE] = {};
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(dir, sizeof dir, ".");
    } else if (slash == path) {
        std::snprintf(dir, sizeof dir, "/");
    } else {
        const int length = static_cast<int>(slash - path);
        if (length >= static_cast<int>(sizeof dir)) return false;
        std::snprintf(dir, sizeof dir, "%.*s", length, path);
    }
    UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && fsync(fd.get()) == 0;
}

int WriteFileAtomically(const char *path, const char *data, std::size_t size, mode_t mode) {
    char temp[PATH_TEXT_SIZE] = {};
    const int needed = std::snprintf(temp, sizeof temp, "%s%s", path, kTempSuffix);
    if (needed < 0 || needed >= static_cast<int>(sizeof temp)) return 0;
    struct stat old;
    if (stat(path, &old) == 0) mode = old.st_mode & 07777;

    UniqueFd fd(open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) return 0;
    const bool written =
        fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), data, size) && fsync(fd.get()) == 0;
    if (fd.Close() != 0 || !written || rename(temp, path) != 0) {
        unlink(temp);
        return 0;
    }
    return SyncDirectoryOf(path) ? 1 : 0;
}

int AppendFileDurably(const char *path, const char *data, std::size_t size, mode_t mode) {
    std::string content;
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.valid()) {
        char chunk[kReadChunk];
        for (;;) {
            const ssize_t got = read(fd.get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return 0;
            if (got == 0) break;
            content.append(chunk, static_cast<std::size_t>(got));
        }
    } else if (errno != ENOENT) {
        return 0;
    }
    content.append(data, size);
    return WriteFileAtomically(path, content.data(), content.size(), mode);
}
