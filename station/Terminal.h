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
#include "UniqueFd.h"

namespace station {

// A pipe that wakes a poll from another thread.
class WakePipe {
  public:
    WakePipe() : WakePipe(Open()) {}
    WakePipe(const WakePipe &) = delete;
    WakePipe &operator=(const WakePipe &) = delete;
    int ReadEnd() const { return read_.get(); }
    void Wake();

  private:
    struct Ends {
        int read = -1, write = -1;
    };
    static Ends Open();
    explicit WakePipe(Ends ends) : read_(ends.read), write_(ends.write) {}
    UniqueFd read_, write_;
};

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
    void Changed();  // the station's callback, on a slot's thread: never waits on the output
    void DrawLoop();
    std::string Frame(const std::vector<SlotView> &slots, const std::vector<std::string> &backlog,
                      bool fresh);
    std::vector<std::string> BacklogLines(bool &anyTarget);
    static std::string Backlog(const OutboxStatus &outbox);
    std::vector<std::string> Events(const std::vector<SlotView> &slots);  // under mutex_
    void Write(const std::string &text);
    std::string Line(const SlotView &slot, int64_t nowMs) const;
    std::string Coloured(Verdict verdict) const;

    StationControl &control_;
    std::ostream &out_;
    const bool live_;
    WakePipe wake_;
    // Lock order: Station's subscription lock, then mutex_. Neither is held while writing:
    // outMutex_ (only the drawer and the input reader take it) keeps their lines apart.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool dirty_ = true, finished_ = false, cursorMoved_ = false;
    std::vector<std::string> lastEvents_;  // per slot, the event line noted last
    std::vector<int64_t> lastRuns_;        // per slot, the run whose start was noted
    std::vector<std::string> pending_;     // event lines not yet written (a log)
    size_t dropped_ = 0;                   // event lines a stalled reader cost
    std::mutex outMutex_;
    int drawnLines_ = 0;                    // the drawer's own
    std::vector<std::string> lastBacklog_;  // the drawer's own: the backlog last told (a log)
    int subscription_ = 0;
};

}  // namespace station
