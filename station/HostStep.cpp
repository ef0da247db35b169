#include "HostStep.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "FixtureLink.h"
#include "Plan.h"
#include "UniqueFd.h"

extern char **environ;

namespace station {

namespace {

int64_t MonotonicMs() {
    return fixture::NowUs() / 1000;
}

bool ContainsNoCase(const std::string &text, const std::string &part) {
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

// Keeps the end of what the program printed (trimmed in batches, to the limit at the end).
// `margin` more than the limit is kept: a secret split by a batch trim lies wholly in the part
// the last cut drops.
void Keep(HostRun &run, const char *data, size_t size, size_t margin) {
    run.output.append(data, size);
    if (run.output.size() > 2 * kHostOutputKept + margin) {
        run.output.erase(0, run.output.size() - kHostOutputKept - margin);
        run.truncated = true;
    }
}

size_t LongestSecret(const std::vector<std::string> &secrets) {
    size_t longest = 0;
    for (const std::string &s : secrets) longest = std::max(longest, s.size());
    return longest;
}

// Starts argv in a new process group with stdout and stderr on `out`, stdin from /dev/null and
// the signal state a program expects (the station blocks some in its threads).
int Spawn(const HostCommand &command, int out, pid_t &pid) {
    std::vector<char *> args;
    for (const std::string &a : command.argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    if (!command.folder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, command.folder.c_str());
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

void Finish(HostRun &run, const HostCommand &command, int status) {
    run.output = fixture::MaskValues(std::move(run.output), command.secrets);
    if (run.output.size() > kHostOutputKept) {
        run.output.erase(0, run.output.size() - kHostOutputKept);
        run.truncated = true;
    }
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    if (run.timedOut) {
        run.summary = "killed at its time limit (" + std::to_string(command.timeoutMs) + " ms)";
    } else if (run.signal != 0) {
        run.summary = std::string("killed by signal ") + strsignal(run.signal);
    } else {
        run.summary = "exit " + std::to_string(run.exitStatus);
    }
    if (run.timedOut || run.signal != 0) return;
    if (command.expect) {
        run.passed = ContainsNoCase(run.output, *command.expect);
        if (!run.passed) run.summary += ", output lacks \"" + *command.expect + "\"";
    } else {
        run.passed = run.exitStatus == 0;
    }
}

std::string HexDigest(sha256_ctx &context) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    char hex[2 * SHA256_DIGEST_SIZE + 1];
    for (size_t i = 0; i < sizeof digest; ++i) {
        snprintf(hex + 2 * i, sizeof hex - 2 * i, "%02x", digest[i]);
    }
    return hex;
}

}  // namespace

HostRun RunHostCommand(const HostCommand &command) {
    HostRun run;
    if (command.argv.empty() || command.timeoutMs <= 0) {
        run.summary = command.argv.empty() ? "no program given" : "no time limit given";
        return run;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        run.summary = std::string("cannot make a pipe: ") + strerror(errno);
        return run;
    }
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    const int64_t start = MonotonicMs();
    pid_t pid = -1;
    if (const int error = Spawn(command, writeEnd.get(), pid); error != 0) {
        run.summary = "cannot run " + command.argv[0] + ": " + strerror(error);
        return run;
    }
    writeEnd.Close();
    run.started = true;
    run.processGroup = pid;
    // Readable once the leader exits (glibc's wrapper lacks C linkage in some releases).
    UniqueFd exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    const int64_t deadline = start + command.timeoutMs;
    const size_t margin = LongestSecret(command.secrets);
    bool reaped = false, open = true;
    int status = 0;
    while (open || !reaped) {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd fds[2] = {{open ? readEnd.get() : -1, POLLIN, 0},
                         {reaped ? -1 : exited.get(), POLLIN, 0}};
        // Without a pidfd the leader is looked at every 50 ms.
        const int wait = exited.valid() ? static_cast<int>(left) : std::min<int64_t>(left, 50);
        if (poll(fds, 2, wait) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) {
            char chunk[4096];
            const ssize_t got = read(readEnd.get(), chunk, sizeof chunk);
            if (got > 0) Keep(run, chunk, static_cast<size_t>(got), margin);
            if (got == 0 || (got < 0 && errno != EINTR)) open = false;
        }
        if (!reaped && waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            // What it left running would outlive the step; its output stays readable.
            kill(-pid, SIGKILL);
        }
    }
    kill(-pid, SIGKILL);
    if (!reaped) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    run.seconds = static_cast<double>(MonotonicMs() - start) / 1000;
    Finish(run, command, status);
    return run;
}

fixture::Result StepResultOf(const HostRun &run) {
    fixture::Result result;
    result.outcome = run.passed    ? fixture::Outcome::Pass
                     : run.started ? fixture::Outcome::Fail
                                   : fixture::Outcome::Error;
    result.summary = result.reading = run.summary;
    if (run.exitStatus >= 0) {
        result.value = std::to_string(run.exitStatus);
        result.number = run.exitStatus;
    }
    if (!run.passed) result.error = run.summary;
    result.fields = {{"exit_status", std::to_string(run.exitStatus), true},
                     {"output", run.output, false}};
    return result;
}

std::string Sha256Hex(const std::string &bytes) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), reinterpret_cast<const uint8_t *>(bytes.data()));
    return HexDigest(context);
}

bool DigestFile(const std::string &path, ImageDigest &out, std::string &error) {
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        error = path + ": " + strerror(errno);
        return false;
    }
    sha256_ctx context;
    sha256_init(&context);
    out = ImageDigest{path, "", 0};
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            error = path + ": " + strerror(errno);
            return false;
        }
        sha256_update(&context, static_cast<size_t>(got), reinterpret_cast<uint8_t *>(chunk));
        out.size += static_cast<uint64_t>(got);
    }
    out.sha256 = HexDigest(context);
    return true;
}

}  // namespace station
