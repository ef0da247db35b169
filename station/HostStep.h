// Programs the station runs itself between board tests (flashing a chip, writing data): by argv,
// never through a shell, each in its own process group that dies whole at its time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"

namespace station {

// A program's output beyond this (its start) is dropped: the end says why it failed.
constexpr size_t kHostOutputKept = 4096;

struct HostCommand {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH
    int timeoutMs = 0;              // past it the whole process group is killed
    std::string folder;             // working folder; empty: the station's own
    // Pass when the output holds this text (without regard to case) instead of on exit status 0.
    std::optional<std::string> expect;
    // Masked in the output before it is cut to its end, so a cut never leaves half of one.
    std::vector<std::string> secrets;
};

struct HostRun {
    bool started = false;  // false: it could not be run at all (see error)
    bool timedOut = false;
    int exitStatus = -1;       // -1 when it did not exit by itself
    int signal = 0;            // the signal that ended it, if one did
    std::string output;        // stdout and stderr as they came: the last kHostOutputKept bytes
    bool truncated = false;    // output lost its start
    int64_t processGroup = 0;  // its group id, gone when the run returns
    double seconds = 0;
    bool passed = false;
    std::string summary;  // one line for a person: "exit 0", "killed after 5000 ms"
};

HostRun RunHostCommand(const HostCommand &command);

// The run as a plan step's result: "exit 0" its reading, the exit status its value and number;
// a program that could not be started is the station's error, not a fail.
fixture::Result StepResultOf(const HostRun &run);

// The file a step programs, as the run records it.
struct ImageDigest {
    std::string path;
    std::string sha256;  // lowercase hex
    uint64_t size = 0;
};

bool DigestFile(const std::string &path, ImageDigest &out, std::string &error);
std::string Sha256Hex(const std::string &bytes);

}  // namespace station
