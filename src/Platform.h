// The one way the agent acts on the board: shell commands and the first line of their output.
// Tests install their own ops to see every command and script every answer.
#pragma once

#include <cstddef>

struct stPlatformOps {
    // As system(3): the wait status, or -1 when no shell could be started.
    int (*runCommand)(const char *command);
    // As popen(3) "r" + one fgets of `size` bytes + pclose: 1 when the pipe opened, else 0.
    // `buffer` is left as the caller cleared it when the command prints nothing.
    int (*readFirstLine)(const char *command, char *buffer, int size);
};

int PlatformRunCommand(const char *command);
int PlatformReadFirstLine(const char *command, char *buffer, int size);

// nullptr restores the real shell.
void PlatformSetOps(const stPlatformOps *ops);

// Wraps `text` in single quotes so the shell passes it on as one literal word.
// Returns false (and writes an empty string) when `out` is too small.
bool ShellQuote(const char *text, char *out, std::size_t outSize);
