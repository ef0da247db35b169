// The one way the agent acts on the board: shell commands and the first line of their output.
// Tests install their own ops to see every command and script every answer.
#pragma once

#include <sys/types.h>

#include <cstddef>

// How long a board command may take before its whole process group is killed: well above the
// designed duration of each, so only a tool that hangs is cut off.
constexpr int PLATFORM_LIMIT_DEFAULT_SECONDS = 10;
constexpr int PLATFORM_LIMIT_DHCP_SECONDS = 30;        // DHCP client, network start script
constexpr int PLATFORM_LIMIT_WIFI_START_SECONDS = 60;  // Wi-Fi start script: client and lease
constexpr int PLATFORM_LIMIT_BT_SCAN_SECONDS = 30;     // inquiry takes about 10 s
constexpr int PLATFORM_LIMIT_PING_SECONDS = 20;        // 3 echoes, then up to 10 s for the last

// What an op returns when the command ran past its limit and was killed.
constexpr int PLATFORM_TIMED_OUT = -2;

struct stPlatformOps {
    // As system(3): the wait status, or -1 when no shell could be started.
    int (*runCommand)(const char *command, int limitSeconds);
    // As popen(3) "r" + one fgets of `size` bytes + pclose: 1 when the pipe opened, else 0.
    // `buffer` is left as the caller cleared it when the command prints nothing.
    int (*readFirstLine)(const char *command, char *buffer, int size, int limitSeconds);
};

// A command past its limit logs an info line naming it, reads as not run (-1, or 0 with the
// buffer cleared) and marks the exchange as timed out.
int PlatformRunCommand(const char *command, int limitSeconds = PLATFORM_LIMIT_DEFAULT_SECONDS);
int PlatformReadFirstLine(const char *command, char *buffer, int size,
                          int limitSeconds = PLATFORM_LIMIT_DEFAULT_SECONDS);

// Whether a command timed out since the last call; clears the mark. The dispatcher turns the
// answer of an exchange in which one did into a fail.
bool PlatformTakeTimedOut();

// nullptr restores the real shell.
void PlatformSetOps(const stPlatformOps *ops);

// Wraps `text` in single quotes so the shell passes it on as one literal word.
// Returns false (and writes an empty string) when `out` is too small.
bool ShellQuote(const char *text, char *out, std::size_t outSize);

// ---- system files: written so that a power cut never leaves half of one

// Writes all `size` bytes, retrying short writes and interruptions.
bool WriteAll(int fd, const char *data, std::size_t size);

// fsyncs the directory holding `path`: its rename or creation is durable only then.
bool SyncDirectoryOf(const char *path);

// Replaces `path` so that a power cut leaves either the old or the new contents, never a
// mix: temporary file in the same directory, fsync, rename, fsync of the directory.
// A new file gets `mode`; an existing one keeps its own. 1 on success.
int WriteFileAtomically(const char *path, const char *data, std::size_t size, mode_t mode);

// Appends by replacing the file whole (old contents and `data`) as WriteFileAtomically does, so
// a power cut leaves the old file or the new one, never half a record. 1 on success.
int AppendFileDurably(const char *path, const char *data, std::size_t size, mode_t mode);
