// Runs a program from an argv (no shell in between) and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace support {

struct ProcessResult {
    int exitCode = -1;   // -1 when it did not exit by itself (killed at the time limit, signal)
    bool timedOut = false;
    std::string out;     // standard output
    std::string err;     // standard error
};

// `input` is written to its standard input, which is then closed. Past `timeoutMs` it is killed.
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input = {},
                         int timeoutMs = 30000);

}  // namespace support
