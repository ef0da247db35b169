// Child processes for tests: started from an argv (no shell in between), in their own process
// group, killed with it when their owner goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "UniqueFd.h"

namespace support {

struct ProcessResult {
    int exitCode = -1;  // -1 when it did not exit by itself (killed at the time limit, signal)
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

struct ChildOptions {
    // Empty: standard output and error are pipes the owner reads (Collect). Else both are
    // appended to this file.
    std::string logPath;
    bool inputPipe = true;  // standard input a pipe the owner writes (Type), else /dev/null
    // SIGKILL when the test process dies, so a crashed test leaves nothing running.
    bool dieWithParent = true;
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // False with `error` when it could not be started (a missing program exits 127).
    bool Start(const std::vector<std::string> &argv, const ChildOptions &options,
               std::string &error);
    pid_t pid() const { return pid_; }

    bool Type(const std::string &text);
    void CloseInput() { input_.Close(); }
    // Writes `input`, reads both pipes until they close, then reaps; killed past `timeoutMs`.
    ProcessResult Collect(const std::string &input, int timeoutMs);

    // Exit status; -1 ended by a signal; -2 still running after `timeoutMs`.
    int Wait(int timeoutMs);
    bool Running() { return Wait(0) == -2; }
    // SIGKILL to its process group, then reaped. Nothing is signalled once it is reaped.
    void Kill();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    UniqueFd input_{-1}, output_{-1}, errors_{-1};
};

// `input` is written to its standard input, which is then closed. Past `timeoutMs` it is killed.
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input = {},
                         int timeoutMs = 30000);

}  // namespace support
