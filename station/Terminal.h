// The operator's terminal: one live line per slot, and typed requests (a slot's name and Enter
// starts it, Enter alone starts every waiting slot, "A y"/"A n" answers slot A's question,
// "A sn NUMBER" gives slot A's serial number, or the number alone when one slot asks).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "StationView.h"

namespace station {

class Terminal {
  public:
    // `live`: redraw the slot lines in place (a terminal); else print a line per event.
    Terminal(StationControl &control, std::ostream &out, bool live);
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Reads requests from `inputFd` until "q", end of input (unless `stayAfterEnd`) or
    // Finish(); draws meanwhile.
    void Run(int inputFd, bool stayAfterEnd);
    void Finish();  // from any thread
    // One request as typed; the reply for the operator ("" when none).
    std::string Handle(const std::string &line);

  private:
    void Draw();
    void DrawLoop();
    std::string Line(const SlotView &slot, int64_t nowMs) const;

    StationControl &control_;
    std::ostream &out_;
    bool live_;
    int subscription_ = 0;
    int wakeFds_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool dirty_ = true, finished_ = false;
    int drawnLines_ = 0;
    std::vector<std::string> lastEvents_;  // per slot, the event line printed last
    std::vector<int64_t> lastRuns_;        // per slot, the run whose start was printed
};

}  // namespace station
