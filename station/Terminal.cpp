#include "Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>
#include <utility>

#include "RunReport.h"
#include "Station.h"
#include "Text.h"

namespace station {

namespace {

std::string Seconds(int64_t ms) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
    return text;
}

// Boards, plans and files write these texts: shown with their control characters made visible.
SlotView Shown(SlotView s) {
    for (std::string *text : {&s.name, &s.port, &s.board, &s.stepName, &s.prompt, &s.confirm,
                              &s.failedStep, &s.failedReading, &s.note}) {
        *text = fixture::VisibleText(*text);
    }
    return s;
}

}  // namespace

// A log whose reader stopped keeps this many event lines; beyond, it counts what it drops.
constexpr size_t kPendingLines = 4096;

WakePipe::Ends WakePipe::Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return {};
    return {fds[0], fds[1]};
}

void WakePipe::Wake() {
    const char byte = 'q';
    if (write_.valid()) (void)!write(write_.get(), &byte, 1);
}

Terminal::Terminal(StationControl &control, std::ostream &out, bool live)
    : control_(control), out_(out), live_(live) {
    subscription_ = control_.Subscribe([this] { Changed(); });
}

Terminal::~Terminal() {
    control_.Unsubscribe(subscription_);
}

void Terminal::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
    wake_.Wake();
}

void Terminal::Changed() {
    // A log needs every start, question and verdict, so it notes them now: the slot that
    // changed cannot move on before this returns. A live screen only needs the latest state.
    const std::vector<SlotView> slots = live_ ? std::vector<SlotView>{} : control_.Slots();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dirty_ = true;
        for (std::string &line : Events(slots)) {
            if (pending_.size() < kPendingLines) {
                pending_.push_back(std::move(line));
            } else {
                ++dropped_;
            }
        }
    }
    changed_.notify_all();
}

// On a live screen a station's ERROR stands apart from a board's FAIL.
std::string Terminal::Coloured(Verdict verdict) const {
    const char *colour = verdict == Verdict::Pass      ? "32"
                         : verdict == Verdict::Fail    ? "31"
                         : verdict == Verdict::Error   ? "35"
                         : verdict == Verdict::Aborted ? "33"
                                                       : nullptr;
    if (!live_ || colour == nullptr) return VerdictName(verdict);
    return std::string("\033[") + colour + "m" + VerdictName(verdict) + "\033[0m";
}

// A delivery target that is behind, for the operator: what waits, since when, and why.
std::string Terminal::Backlog(const OutboxStatus &o) {
    std::string line = fixture::VisibleText(o.target) + ": ";
    line += o.waiting == 0
                ? "nothing waiting"
                : std::to_string(o.waiting) + " results waiting since " + FormatTime(o.oldestMs);
    if (o.setAside > 0) line += ", " + std::to_string(o.setAside) + " refused for good";
    if (!o.lastError.empty()) line += "; last error: " + fixture::VisibleText(o.lastError);
    return line;
}

std::string Terminal::Line(const SlotView &view, int64_t nowMs) const {
    const SlotView s = Shown(view);
    std::ostringstream line;
    line << s.name << "  ";
    const std::string progress =
        "[" + std::to_string(s.step) + "/" + std::to_string(s.steps) + "] " + s.stepName;
    switch (s.phase) {
        case SlotPhase::Idle:
            line << (s.note.empty() ? "waiting: Enter starts it" : s.note);
            break;
        case SlotPhase::Running:
            line << progress;
            if (s.attempt > 1) line << " (try " << s.attempt << ")";
            if (!s.prompt.empty()) {
                line << "  >> " << s.prompt;
                if (live_ && s.promptDeadlineMs > nowMs) {
                    line << " (" << (s.promptDeadlineMs - nowMs + 999) / 1000 << " s left)";
                }
            }
            break;
        case SlotPhase::Confirm:
            line << progress << "  ?? " << s.confirm << "  (type: " << s.name << " y / " << s.name
                 << " n)";
            break;
        case SlotPhase::Identify:
            line << progress << "  ## " << s.prompt << "  (scan, or type: " << s.name
                 << " sn NUMBER)";
            break;
        case SlotPhase::Done:
            line << Coloured(s.verdict) << "  " << Seconds(s.endedMs - s.startedMs);
            if (!s.failedStep.empty() || !s.failedReading.empty()) {
                line << "  at " << s.failedStep << ": " << s.failedReading;
            }
            break;
    }
    if (!s.board.empty()) line << "  board " << s.board;
    if (!s.variant.empty()) line << " (" << s.variant << ")";
    if (!s.note.empty() && s.phase != SlotPhase::Idle) line << "  (" << s.note << ")";
    return line.str();
}

std::vector<std::string> Terminal::Events(const std::vector<SlotView> &slots) {
    std::vector<std::string> events;
    lastEvents_.resize(slots.size());
    lastRuns_.resize(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        const SlotView &s = slots[i];
        const std::string started = s.name + "  run " + std::to_string(s.runId) + " started";
        std::string event;
        // A serial step may ask before any other event: the start goes first, then the question.
        if (s.phase == SlotPhase::Identify && s.runId != lastRuns_[i]) {
            events.push_back(started);
            lastRuns_[i] = s.runId;
        }
        if (s.phase == SlotPhase::Done || s.phase == SlotPhase::Confirm ||
            s.phase == SlotPhase::Identify ||
            (s.phase == SlotPhase::Running && !s.prompt.empty())) {
            event = Line(s, 0);
        } else if (s.phase == SlotPhase::Running && s.runId != lastRuns_[i]) {
            event = started;
            lastRuns_[i] = s.runId;
        } else if (!s.note.empty()) {
            event = fixture::VisibleText(s.name + "  " + s.note);
        }
        if (event.empty() || event == lastEvents_[i]) continue;
        lastEvents_[i] = event;
        events.push_back(event);
    }
    return events;
}

std::string Terminal::Frame(const std::vector<SlotView> &slots,
                            const std::vector<std::string> &backlog, bool fresh) {
    if (fresh) drawnLines_ = 0;
    std::string text;
    if (drawnLines_ > 0) text += "\033[" + std::to_string(drawnLines_) + "A";
    const int64_t now = NowMs();
    for (const SlotView &s : slots) text += "\r\033[2K" + Line(s, now) + "\n";
    for (const std::string &line : backlog) text += "\r\033[2K" + line + "\n";
    // Lines a shorter frame leaves behind are cleared, then the cursor comes back up.
    const int drawn = static_cast<int>(slots.size() + backlog.size());
    for (int extra = drawn; extra < drawnLines_; ++extra) text += "\r\033[2K\n";
    if (drawnLines_ > drawn) text += "\033[" + std::to_string(drawnLines_ - drawn) + "A";
    drawnLines_ = drawn;
    return text;
}

// Only targets that are behind; a log line when that changes.
std::vector<std::string> Terminal::BacklogLines(bool &anyTarget) {
    std::vector<std::string> lines;
    const std::vector<OutboxStatus> outboxes = control_.Outboxes();
    anyTarget = !outboxes.empty();
    for (const OutboxStatus &o : outboxes) {
        if (o.waiting > 0 || o.setAside > 0 || !o.lastError.empty()) lines.push_back(Backlog(o));
    }
    return lines;
}

void Terminal::Write(const std::string &text) {
    if (text.empty()) return;
    std::lock_guard<std::mutex> lock(outMutex_);
    out_ << text << std::flush;
}

void Terminal::DrawLoop() {
    bool counting = false, last = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!last) {
        // A prompt's time left and a delivery backlog change with no slot changing.
        const auto ready = [this] { return dirty_ || finished_; };
        if (counting) {
            changed_.wait_for(lock, std::chrono::seconds(1), ready);
        } else {
            changed_.wait(lock, ready);
        }
        last = finished_;
        dirty_ = false;
        const bool fresh = std::exchange(cursorMoved_, false);
        std::vector<std::string> events = std::move(pending_);
        pending_.clear();
        const size_t dropped = std::exchange(dropped_, 0);
        lock.unlock();
        // Whatever happened while the last write was stuck is drawn once, as it is now.
        std::string text;
        bool anyTarget = false;
        const std::vector<std::string> backlog = BacklogLines(anyTarget);
        if (live_) {
            const std::vector<SlotView> slots = control_.Slots();
            counting = !backlog.empty() ||
                       std::any_of(slots.begin(), slots.end(),
                                   [](const SlotView &s) { return s.promptDeadlineMs > 0; });
            text = Frame(slots, backlog, fresh);
        } else {
            if (dropped > 0) text += std::to_string(dropped) + " event lines dropped\n";
            for (const std::string &event : events) text += event + "\n";
            // A backlog is told when it begins, when its reason changes and when it is gone.
            counting = anyTarget;
            if (backlog != lastBacklog_) {
                for (const std::string &line : backlog) text += line + "\n";
                if (backlog.empty()) text += "every result delivered\n";
            }
            lastBacklog_ = backlog;
        }
        Write(text);
        lock.lock();
    }
}

std::string Terminal::Handle(const std::string &typed) {
    const std::string line = fixture::Trim(typed);
    std::string error;
    const std::vector<SlotView> slots = control_.Slots();
    if (line.empty()) {
        int started = 0;
        for (const SlotView &s : slots) {
            if (s.phase == SlotPhase::Idle || s.phase == SlotPhase::Done) {
                started += control_.StartSlot(s.name, error);
            }
        }
        return started == 0 ? "no slot is waiting" : "";
    }
    if (line == "?" || line == "help") {
        return "Enter: start every waiting slot; NAME Enter: start slot NAME; NAME y / NAME n: "
               "answer slot NAME's question (y / n alone when one slot asks); NAME sn NUMBER: "
               "slot NAME's serial number (the number alone when one slot asks); q: quit";
    }
    std::istringstream words(line);
    std::string first, second;
    words >> first >> second;
    if (second == "sn") {
        std::string number;
        std::getline(words, number);
        return control_.EnterIdentity(first, number, error) ? "" : error;
    }
    // A scanner types the number and Enter: with one slot asking, a line that is neither a
    // slot's name nor y / n is its serial number.
    std::vector<std::string> identifying;
    bool named = false;
    for (const SlotView &s : slots) {
        if (s.phase == SlotPhase::Identify) identifying.push_back(s.name);
        named = named || s.name == first;
    }
    if (!named && !identifying.empty() && line != "y" && line != "n") {
        if (identifying.size() > 1) return "several slots ask for a serial number: NAME sn NUMBER";
        return control_.EnterIdentity(identifying.front(), line, error) ? "" : error;
    }
    if ((first == "y" || first == "n") && second.empty()) {
        std::vector<std::string> asking;
        for (const SlotView &s : slots) {
            if (s.phase == SlotPhase::Confirm) asking.push_back(s.name);
        }
        if (asking.size() != 1) {
            return asking.empty() ? "no slot asks anything" : "several slots ask: name one";
        }
        second = first;
        first = asking.front();
    }
    if (second.empty()) return control_.StartSlot(first, error) ? "" : error;
    if (second != "y" && second != "n" && second != "yes" && second != "no") {
        return "answer y or n";
    }
    return control_.Answer(first, second[0] == 'y', error) ? "" : error;
}

void Terminal::Run(int inputFd, bool stayAfterEnd) {
    std::thread drawer([this] { DrawLoop(); });
    std::string pending;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (finished_) break;
        }
        pollfd fds[2] = {{inputFd, POLLIN, 0}, {wake_.ReadEnd(), POLLIN, 0}};
        if (inputFd < 0) fds[0].fd = -1;
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) break;
        if (fds[0].revents == 0) continue;
        char buffer[256];
        const ssize_t n = read(inputFd, buffer, sizeof buffer);
        if (n <= 0) {
            if (!stayAfterEnd) break;
            inputFd = -1;
            continue;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t newline;
        bool quit = false;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (fixture::Trim(line) == "q") {
                quit = true;
                break;
            }
            const std::string reply = Handle(line);
            if (!reply.empty()) Write(reply + "\n");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                // The typed line moved the cursor: draw the slot lines afresh below it.
                cursorMoved_ = dirty_ = true;
            }
            changed_.notify_all();
        }
        if (quit) break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
    drawer.join();
}

}  // namespace station
