// The agent's two log formats. Always on, always to standard error.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstring>

#define LOG_DEBUG(fmt, ...) \
    std::fprintf(stderr, "DEBUG %s:%d: " fmt "\n", __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define LOG_INFO(fmt, ...) \
    std::fprintf(stderr, "[INFO] (%s:%d) " fmt "\n", __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// A result the caller has decided not to act on (a log write that failed, a call whose failure
// shows later). Unlike a cast to void, it also quiets warn_unused_result.
template <typename T>
inline void IgnoreResult(T &&) {}

// The board's log reader expects some texts raw, with their terminating NUL: written straight
// to standard error (flush stdio first to keep the order). A failed write is not reported:
// standard error is where it would go.
inline void LogRawWithNul(const char *text) {
    IgnoreResult(write(STDERR_FILENO, text, std::strlen(text) + 1));
}
