// The test windows of the CAN and touch tests: counted in whole seconds of time(), as the board's
// original tests did, from a time() value taken at the start.
#pragma once

#include <cstdint>
#include <ctime>

// Over once time() shows more than `seconds` since `start`, that is when it reaches
// start + seconds + 1. time() follows the coarse wall clock; the remaining time is counted on
// the monotonic clock, so a step of the wall clock back does not stretch the window.
class WholeSecondWindow {
  public:
    WholeSecondWindow(time_t start, int seconds)
        : start_(start),
          seconds_(seconds),
          deadlineMs_(NowMs(CLOCK_MONOTONIC) +
                      (int64_t{start + seconds + 1} * 1000 - NowMs(CLOCK_REALTIME_COARSE))) {}

    bool Over() const {
        return difftime(time(nullptr), start_) > seconds_ || RemainingMs() <= 0;
    }

    // Milliseconds to the end: 0 once it has passed, never more than the whole window.
    int64_t RemainingMs() const {
        const int64_t left = deadlineMs_ - NowMs(CLOCK_MONOTONIC);
        const int64_t most = int64_t{seconds_ + 1} * 1000;
        return left < 0 ? 0 : (left > most ? most : left);
    }

  private:
    static int64_t NowMs(clockid_t clock) {
        timespec now;
        clock_gettime(clock, &now);
        return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    }

    time_t start_;
    int seconds_;
    int64_t deadlineMs_;
};
