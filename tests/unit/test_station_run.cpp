// A slot's run: the serial number the operator scans, the terminal's routing of answers, a
// run whose results cannot be saved, a terminal that stops reading, the line's stale answers
// and lost port, and a slot whose board is not there. Boards are pseudo-terminals answered
// here; the store is a real SQLite file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "FixtureLink.h"
#include "Frames.h"
#include "Postgres.h"
#include "Protocol.h"
#include "Station.h"
#include "Store.h"
#include "TempDir.h"
#include "Terminal.h"
#include "Text.h"
#include "UniqueFd.h"

namespace {

using station::SlotPhase;
using station::SlotView;
using station::Store;
using station::Verdict;
using namespace std::chrono_literals;
using support::TempDir;

// A board's end of a serial line.
struct Pty {
    UniqueFd master{posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)};
    std::string slave;
    Pty() {
        if (master.valid() && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0) {
            slave = ptsname(master.get());
        }
    }
};

// Answers every whole request frame on `pty` with a pass, until destroyed.
class PassingBoard {
  public:
    explicit PassingBoard(Pty &pty) : thread_([this, &pty] { Serve(pty.master.get()); }) {}
    ~PassingBoard() {
        stop_ = true;
        thread_.join();
    }

  private:
    void Serve(int fd) {
        support::Bytes in;
        while (!stop_) {
            pollfd p = {fd, POLLIN, 0};
            uint8_t buffer[256];
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) in.insert(in.end(), buffer, buffer + got);
            size_t whole;
            while (in.size() > FRAME_LENGTH_OFFSET &&
                   in.size() >= (whole = in[FRAME_LENGTH_OFFSET] + size_t{FRAME_OVERHEAD})) {
                const support::Bytes answer = support::Answer(in[FRAME_CMD_OFFSET], ACK_PASS);
                in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(whole));
                (void)!write(fd, answer.data(), answer.size());
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Waits until `check` holds for the slots, woken by the station's own changes.
bool WaitFor(station::StationControl &control,
             const std::function<bool(const std::vector<SlotView> &)> &check) {
    std::mutex mutex;
    std::condition_variable changed;
    const int id = control.Subscribe([&] {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    const bool held = changed.wait_for(lock, 20s, [&] { return check(control.Slots()); });
    lock.unlock();
    control.Unsubscribe(id);
    return held;
}

bool WaitPhase(station::StationControl &control, size_t slot, SlotPhase phase) {
    return WaitFor(control, [&](const std::vector<SlotView> &s) { return s[slot].phase == phase; });
}

station::StationConfig Line(const TempDir &dir, const std::string &plan,
                            const std::vector<std::string> &ports) {
    std::ofstream(dir.path() + "/line.plan") << plan;
    station::StationConfig config;
    config.path = dir.path() + "/line.toml";
    config.name = "L1";
    config.planPath = dir.path() + "/line.plan";
    for (size_t i = 0; i < ports.size(); ++i) {
        config.slots.push_back({std::string(1, static_cast<char>('A' + i)), ports[i], {}, {}});
    }
    return config;
}

TEST(StationRun, TheSerialNumberScannedNamesTheBoard) {
    std::string serial, error;
    EXPECT_TRUE(station::CheckSerial(" \tSN 0042\r\n", serial, error));
    EXPECT_EQ(serial, "SN 0042");
    EXPECT_TRUE(station::CheckSerial(std::string(64, 'x'), serial, error));
    for (const std::string &bad :
         std::vector<std::string>{"", "  ", "tab\tinside", "caf\xc3\xa9", std::string(65, 'x')}) {
        EXPECT_FALSE(station::CheckSerial(bad, serial, error)) << bad;
        EXPECT_FALSE(error.empty());
    }

    // The plan's serial step needs no exchange, but the slot still opens its line: a pty.
    TempDir dir;
    Pty pty;
    const auto config = Line(dir, "serial prompt=\"Scan the board\"\n", {pty.slave});
    auto store = Store::Open(dir.path() + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    auto line = station::Station::Create(config, *store, {}, error);
    ASSERT_TRUE(line) << error;
    std::ostringstream shown;
    auto terminal = std::make_unique<station::Terminal>(*line, shown, false);
    EXPECT_FALSE(line->EnterIdentity("A", "SN1", error)) << "asked before the slot runs";
    ASSERT_TRUE(line->StartSlot("A", error)) << error;
    ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Identify));
    EXPECT_EQ(line->Slots().at(0).prompt, "Scan the board");
    EXPECT_FALSE(line->StartSlot("A", error));
    // Refused text leaves the slot asking; a scanner's line (the number, Enter) is taken.
    EXPECT_FALSE(line->EnterIdentity("A", "bad\x01", error));
    EXPECT_NE(terminal->Handle("A sn  ").find("no serial number"), std::string::npos);
    EXPECT_EQ(line->Slots().at(0).phase, SlotPhase::Identify);
    EXPECT_EQ(terminal->Handle("  SN 0042\r"), "");
    ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Done));
    SlotView view = line->Slots().at(0);
    EXPECT_EQ(view.board, "SN 0042");
    EXPECT_EQ(view.verdict, Verdict::Pass);
    const auto history = store->History("SN 0042");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(store->Steps(history[0].id).at(0).reading, "SN 0042");
    terminal.reset();
    line.reset();

    // A simulated line has nobody to scan: each automatic run gets a number of its own.
    station::StationOptions automatic;
    automatic.autoRestart = automatic.autoIdentify = true;
    automatic.runsPerSlot = 1;
    line = station::Station::Create(config, *store, automatic, error);
    ASSERT_TRUE(line) << error;
    // After a restart the slot shows its last stored run.
    EXPECT_EQ(line->Slots().at(0).board, "SN 0042");
    EXPECT_EQ(line->Slots().at(0).verdict, Verdict::Pass);
    ASSERT_TRUE(line->StartSlot("A", error)) << error;
    line->WaitFinished();
    view = line->Slots().at(0);
    EXPECT_EQ(view.board, "AUTO-L1-A-" + std::to_string(view.runId));
    EXPECT_EQ(store->History(view.board).size(), 1u);
}

TEST(StationRun, TheTerminalRoutesEachAnswerToTheSlotThatAsks) {
    TempDir dir;
    Pty a, b;
    PassingBoard boardA(a), boardB(b);
    const auto config = Line(dir, "lcd confirm=\"Colour bars?\"\n", {a.slave, b.slave});
    std::string error;
    auto store = Store::Open(dir.path() + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    auto line = station::Station::Create(config, *store, {}, error);
    ASSERT_TRUE(line) << error;
    std::ostringstream shown;
    station::Terminal terminal(*line, shown, false);
    EXPECT_EQ(terminal.Handle("y"), "no slot asks anything");
    EXPECT_EQ(terminal.Handle(""), "");  // Enter starts both
    ASSERT_TRUE(WaitFor(*line, [](const std::vector<SlotView> &s) {
        return s[0].phase == SlotPhase::Confirm && s[1].phase == SlotPhase::Confirm;
    }));
    const struct {
        const char *typed, *reply;
    } refused[] = {{"y", "several slots ask: name one"},
                   {"A maybe", "answer y or n"},
                   {"C y", "no slot 'C'"},
                   {"A", "slot A is running"}};
    for (const auto &r : refused) EXPECT_EQ(terminal.Handle(r.typed), r.reply) << r.typed;
    EXPECT_EQ(terminal.Handle("B no"), "");
    ASSERT_TRUE(WaitPhase(*line, 1, SlotPhase::Done));
    // One slot asks now: a bare answer is its.
    EXPECT_EQ(terminal.Handle("y"), "");
    ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Done));
    const auto slots = line->Slots();
    EXPECT_EQ(slots[0].verdict, Verdict::Pass);
    EXPECT_EQ(slots[1].verdict, Verdict::Fail);
    EXPECT_EQ(slots[1].failedReading, "the operator said no: Colour bars?");
}

TEST(StationRun, TheTerminalShowsControlCharactersAndADeliveryBacklog) {
    const struct {
        const char *raw, *shown;
    } texts[] = {{"plain Müller", "plain Müller"},
                 {"bell\a esc\x1b[2J", "bell^G esc^[[2J"},
                 {"del\x7f nl\n", "del^? nl^J"},
                 {"c1 \xc2\x9b latin1 \xe9", "c1 \\xC2\\x9B latin1 \\xE9"}};
    for (const auto &t : texts) EXPECT_EQ(fixture::VisibleText(t.raw), t.shown) << t.raw;

    // Results for a PostgreSQL nobody answers: the log says they wait, and why.
    TempDir dir;
    Pty pty;
    PassingBoard board(pty);
    const auto config = Line(dir, "lcd\n", {pty.slave});
    std::string error;
    auto store = Store::Open(dir.path() + "/results.db", true, error);
    ASSERT_TRUE(store) << error;
    station::PostgresSender sender(*store, "host=127.0.0.1 port=1 connect_timeout=1");
    auto line = station::Station::Create(config, *store, {}, {&sender}, error);
    ASSERT_TRUE(line) << error;
    sender.Start();
    std::ostringstream shown;
    {
        station::Terminal terminal(*line, shown, false);
        std::thread reader([&] { terminal.Run(-1, true); });
        EXPECT_EQ(terminal.Handle(""), "");
        const bool done = WaitPhase(*line, 0, SlotPhase::Done);
        std::this_thread::sleep_for(1500ms);  // the log looks at the backlog once a second
        terminal.Finish();
        reader.join();
        ASSERT_TRUE(done);
    }
    sender.Stop();
    EXPECT_NE(shown.str().find("postgres: "), std::string::npos) << shown.str();
    EXPECT_NE(shown.str().find("results waiting since"), std::string::npos) << shown.str();
    EXPECT_NE(shown.str().find("; last error: "), std::string::npos) << shown.str();
}

// A filesystem with no room left: the results store's folder.
struct FullDisk {
    TempDir dir{"tvk-full"};
    bool mounted = false;
    FullDisk() { mounted = mount("tvk", dir.path().c_str(), "tmpfs", 0, "size=1m") == 0; }
    ~FullDisk() {
        if (mounted) umount2(dir.path().c_str(), MNT_DETACH);
    }
    void Fill() {
        UniqueFd fd(open((dir.path() + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        const std::string block(4096, 'x');
        while (write(fd.get(), block.data(), block.size()) > 0) {
        }
    }
    void Free() { unlink((dir.path() + "/filler").c_str()); }
};

TEST(StationRun, CleanUpStepsAreStoredButNeverDecideAndAStopLeavesTheBoardUnjudged) {
    TempDir dir;
    Pty pty;
    PassingBoard board(pty);
    // The board's pass of `version` carries no version: that clean-up step cannot pass.
    const auto config =
        Line(dir, "lcd confirm=\"Colour bars?\"\nversion expect=9.9.9 cleanup=yes\n", {pty.slave});
    std::string error;
    auto store = Store::Open(dir.path() + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    auto line = station::Station::Create(config, *store, {}, error);
    ASSERT_TRUE(line) << error;
    const auto steps = [&](int64_t run) {
        std::string out;
        for (const auto &s : store->Steps(run)) out += s.command + " " + s.verdict + "; ";
        return out;
    };
    for (const bool yes : {true, false}) {
        ASSERT_TRUE(line->StartSlot("A", error)) << error;
        ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Confirm));
        ASSERT_TRUE(line->Answer("A", yes, error)) << error;
        ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Done));
        const SlotView view = line->Slots().at(0);
        EXPECT_EQ(view.verdict, yes ? Verdict::Pass : Verdict::Fail);
        EXPECT_EQ(steps(view.runId),
                  std::string("lcd ") + (yes ? "PASS" : "FAIL") + "; version ERROR; ");
    }
    // Nobody answers before the station stops.
    ASSERT_TRUE(line->StartSlot("A", error)) << error;
    ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Confirm));
    line->Shutdown();
    const SlotView view = line->Slots().at(0);
    EXPECT_EQ(view.verdict, Verdict::Aborted);
    EXPECT_EQ(steps(view.runId), "lcd ERROR; version ERROR; ");
    EXPECT_EQ(store->Steps(view.runId).at(0).reading, "not answered: Colour bars?");
}

TEST(StationRun, ResultsThatCannotBeSavedEndTheRunAsError) {
    FullDisk disk;
    ASSERT_TRUE(disk.mounted) << "mounting a tmpfs needs root";
    Pty pty;
    const auto config = Line(disk.dir, "serial\n", {pty.slave});
    std::string error;
    auto store = Store::Open(disk.dir.path() + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    station::StationOptions options;
    options.autoIdentify = true;
    auto line = station::Station::Create(config, *store, options, error);
    ASSERT_TRUE(line) << error;
    disk.Fill();
    ASSERT_TRUE(line->StartSlot("A", error)) << error;
    ASSERT_TRUE(WaitPhase(*line, 0, SlotPhase::Done));
    SlotView view = line->Slots().at(0);
    EXPECT_EQ(view.verdict, Verdict::Error);
    EXPECT_EQ(view.failedReading.rfind("results not saved: ", 0), 0u) << view.failedReading;
    EXPECT_GT(view.failedReading.size(), std::string("results not saved: ").size());
    // Counted once the run has returned, just after its tile shows it.
    EXPECT_TRUE(WaitFor(*line, [&](const std::vector<SlotView> &) { return line->Unsaved() == 1; }))
        << line->Unsaved();
    // Room again: the next run is stored and passes.
    disk.Free();
    ASSERT_TRUE(line->StartSlot("A", error)) << error;
    ASSERT_TRUE(WaitFor(*line, [&](const std::vector<SlotView> &s) {
        return s[0].phase == SlotPhase::Done && s[0].runId != view.runId;
    }));
    EXPECT_EQ(line->Slots().at(0).verdict, Verdict::Pass);
    EXPECT_EQ(line->Unsaved(), 1);
}

// Writes to a descriptor, blocking as a terminal does when nobody reads it.
class FdBuf : public std::streambuf {
  public:
    explicit FdBuf(int fd) : fd_(fd) {}

  protected:
    std::streamsize xsputn(const char *text, std::streamsize count) override {
        std::streamsize done = 0;
        while (done < count) {
            const ssize_t put = write(fd_, text + done, static_cast<size_t>(count - done));
            if (put <= 0) return done;
            done += put;
        }
        return done;
    }
    int_type overflow(int_type c) override {
        const char byte = static_cast<char>(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }

  private:
    int fd_;
};

TEST(StationRun, ATerminalThatStopsReadingStopsNoSlot) {
    TempDir dir;
    Pty a, b, screen;
    const auto config = Line(dir, "serial\n", {a.slave, b.slave});
    std::string error;
    auto store = Store::Open(dir.path() + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    station::StationOptions options;
    options.autoRestart = options.autoIdentify = true;
    options.runsPerSlot = 4;
    auto line = station::Station::Create(config, *store, options, error);
    ASSERT_TRUE(line) << error;

    // The screen's reader pauses: its buffer is full before the station draws anything.
    UniqueFd screenOut(open(screen.slave.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    UniqueFd filler(open(screen.slave.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    const std::string block(1024, 'x');
    // Full once the kernel has moved what it can to the reader's side, too.
    for (int idle = 0; idle < 5; usleep(20000)) {
        idle = write(filler.get(), block.data(), block.size()) > 0 ? 0 : idle + 1;
    }
    FdBuf buffer(screenOut.get());
    std::ostream out(&buffer);
    station::Terminal live(*line, out, true);
    std::ostringstream log;
    station::Terminal events(*line, log, false);
    std::thread drawLive([&] { live.Run(-1, true); });
    std::thread drawLog([&] { events.Run(-1, true); });

    for (const char *slot : {"A", "B"}) ASSERT_TRUE(line->StartSlot(slot, error)) << error;
    std::future<void> finished = std::async(std::launch::async, [&] { line->WaitFinished(); });
    EXPECT_EQ(finished.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(store->Runs(0).size(), 8u);
    // The reader comes back: everything unwinds.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char sink[4096];
        while (reading) {
            if (read(screen.master.get(), sink, sizeof sink) <= 0) usleep(1000);
        }
    });
    finished.wait();
    live.Finish();
    events.Finish();
    drawLive.join();
    drawLog.join();
    reading = false;
    reader.join();
    // Every verdict is in the log, however fast the slots went on.
    size_t verdicts = 0;
    for (size_t at = 0; (at = log.str().find("  PASS  ", at)) != std::string::npos; ++at) {
        ++verdicts;
    }
    EXPECT_EQ(verdicts, 8u) << log.str();
}

TEST(StationRun, TheLinkSkipsStaleAnswersAndSeesItsPortLost) {
    Pty pty;
    fixture::Link link;
    std::string error;
    ASSERT_TRUE(link.OpenDevice(pty.slave, error)) << error;
    link.gapMs = 0;
    const support::Bytes request = fixture::BuildRequest(CMD_MAC_ADDRESS, {});
    // A late answer to the request a crash cut short arrives before this one's.
    const support::Bytes stale = support::Answer(CMD_VERSION, ACK_PASS, {'5', '.', '0'});
    const support::Bytes answer = support::Answer(CMD_MAC_ADDRESS, ACK_PASS, {1, 2, 3, 4, 5, 6});
    const support::Bytes both = support::Cat({stale, answer});
    ASSERT_EQ(write(pty.master.get(), both.data(), both.size()), ssize_t(both.size()));
    // (The link drains what is already there before it sends: the board answers after.)
    std::thread board([&] {
        usleep(50000);
        (void)!write(pty.master.get(), both.data(), both.size());
    });
    fixture::Exchange got = link.Transact(request, 2000, 0, true);
    board.join();
    ASSERT_EQ(got.status, fixture::Status::Ok) << got.error;
    EXPECT_EQ(got.response.cmdId, CMD_MAC_ADDRESS);
    EXPECT_FALSE(link.Lost());

    // A board that does not answer on a good line is a timeout, not a lost port.
    got = link.Transact(request, 300, 0, true);
    EXPECT_EQ(got.status, fixture::Status::Timeout);
    EXPECT_FALSE(link.Lost());

    // The other end goes away: the exchange fails at once, naming the port.
    pty.master.Close();
    const int64_t start = fixture::NowUs();
    got = link.Transact(request, 10000, 1, true);
    EXPECT_LT(fixture::NowUs() - start, 1000000);
    EXPECT_EQ(got.status, fixture::Status::IoError);
    ASSERT_TRUE(link.Lost());
    EXPECT_EQ(link.LostReason().rfind("fixture port " + pty.slave + " lost: ", 0), 0u)
        << link.LostReason();
}

TEST(StationRun, ASlotWithoutItsBoardStartsNoRun) {
    TempDir dir;
    const std::string port = dir.path() + "/A-tty";
    const auto config = Line(dir, "serial\n", {port});
    std::string error;
    auto store = Store::Open(dir.path() + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    {
        // An operator's start is answered at once.
        auto line = station::Station::Create(config, *store, {}, error);
        ASSERT_TRUE(line) << error;
        EXPECT_FALSE(line->StartSlot("A", error));
        EXPECT_EQ(error, "waiting for the board on " + port);
    }
    // Under --auto the slot waits for its board, and runs once it is there.
    station::StationOptions options;
    options.autoRestart = options.autoIdentify = true;
    options.runsPerSlot = 1;
    auto line = station::Station::Create(config, *store, options, error);
    ASSERT_TRUE(line) << error;
    ASSERT_TRUE(line->StartSlot("A", error)) << error;
    ASSERT_TRUE(WaitFor(*line, [&](const std::vector<SlotView> &s) {
        return s[0].note == "waiting for the board on " + port;
    }));
    std::this_thread::sleep_for(1500ms);  // a check or two finds nothing
    EXPECT_TRUE(store->Runs(0).empty());
    Pty pty;
    ASSERT_EQ(symlink(pty.slave.c_str(), port.c_str()), 0);
    line->WaitFinished();
    ASSERT_EQ(store->Runs(0).size(), 1u);
    EXPECT_EQ(line->Slots().at(0).verdict, Verdict::Pass);
    EXPECT_EQ(line->Slots().at(0).note, "");
}

}  // namespace
