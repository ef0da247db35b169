// The agent's two log formats. Always on, always to standard error.
#pragma once

#include <cstdio>

#define LOG_DEBUG(fmt, ...) \
    std::fprintf(stderr, "DEBUG %s:%d: " fmt "\n", __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define LOG_INFO(fmt, ...) \
    std::fprintf(stderr, "[INFO] (%s:%d) " fmt "\n", __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
