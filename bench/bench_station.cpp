// The station's figures: throughput of four slots against one (four fast simulated boards),
// the station's CPU while its boards wait, the SQLite commit per step, and how long a result
// takes to reach PostgreSQL once the board returned it and how fast a backlog drains after an
// outage. Prints figures; checks nothing.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CfxSender.h"
#include "Metrics.h"
#include "PgServer.h"
#include "Postgres.h"
#include "Process.h"
#include "RabbitServer.h"
#include "Runs.h"
#include "Station.h"
#include "Store.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kTop = TVK_SOURCE_DIR;

// What a program printed, both streams.
std::string Output(const std::vector<std::string> &argv) {
    const support::ProcessResult r = support::RunProcess(argv, {}, 120000);
    return r.out + r.err;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double CpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Line {
    std::string dir;
    std::vector<std::string> slots = {"A", "B", "C", "D"};

    bool Start() {
        char pattern[] = "/tmp/tvk-bench-station-XXXXXX";
        dir = mkdtemp(pattern);
        for (size_t i = 0; i < slots.size(); ++i) {
            const std::string out = Output({kTop + "/sim/sim", "--state", dir + "/" + slots[i],
                                            "start", "--fast", "--agent", TVK_AGENT_PATH, "--mac",
                                            "02:00:00:00:03:0" + std::to_string(i)});
            if (out.find("/dev/") == std::string::npos) {
                std::fprintf(stderr, "board %s did not start: %s\n", slots[i].c_str(), out.c_str());
                return false;
            }
        }
        return true;
    }
    ~Line() {
        for (const std::string &slot : slots) {
            Output({kTop + "/sim/sim", "--state", dir + "/" + slot, "stop"});
        }
        fs::remove_all(dir);
    }

    station::StationConfig Config(const std::string &plan, size_t count,
                                  const std::string &db) const {
        station::StationConfig config;
        config.path = dir + "/line.toml";
        config.name = "bench";
        config.planPath = plan;
        config.sqlitePath = db;
        config.vars = {{"BOARD_TYPE", "TVK"},      {"SERVER", "10.0.77.1"},
                       {"ETH_ADDR", "10.0.77.10"}, {"WIFI_ADDR", "10.0.77.20"},
                       {"WIFI_SSID", "TVK-LAB"},   {"WIFI_PSK", "tvk-lab-passphrase"}};
        for (size_t i = 0; i < count; ++i) {
            station::SlotConfig slot;
            slot.name = slots[i];
            slot.port = dir + "/" + slots[i] + "/tty";
            slot.vars["MAC"] = "02:00:00:00:03:0" + std::to_string(i);
            // The simulated operator taps through the board's running relay: a shell's
            // echo, not an interpreter of its own per tap, so the figure is the station's.
            slot.onPrompt = {"/bin/sh", "-c", "echo touch 400 240 15 > \"$1\"", "sh",
                             dir + "/" + slots[i] + "/control"};
            config.slots.push_back(slot);
        }
        return config;
    }
};

// Runs per second with `count` slots, each running `plan` `runs` times.
double Throughput(const Line &line, const std::string &plan, size_t count, int runs) {
    const std::string db = line.dir + "/throughput-" + std::to_string(count) + "-" +
                           fs::path(plan).stem().string() + ".db";
    std::string error;
    auto store = station::Store::Open(db, false, error);
    station::StationOptions options;
    options.autoRestart = options.autoConfirm = true;
    options.runsPerSlot = runs;
    auto st = station::Station::Create(line.Config(plan, count, db), *store, options, error);
    if (!st) {
        std::fprintf(stderr, "station: %s\n", error.c_str());
        return 0;
    }
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) st->StartSlot(line.slots[i], error);
    st->WaitFinished();
    const double seconds = Seconds(start);
    int passed = 0;
    for (const station::RunRow &run : store->Runs(0))
        passed += run.verdict == station::Verdict::Pass;
    std::printf("  %zu slot(s): %d runs (%d passed) in %.1f s\n", count,
                runs * static_cast<int>(count), passed, seconds);
    // Where the time goes: a step that slows with more slots shares something between boards.
    std::printf("    slowest steps:");
    for (const station::StepStat &step : store->Yield(0).slowestSteps) {
        std::printf(" %s %.2f s;", step.step.c_str(), step.medianSeconds);
    }
    std::printf("\n");
    return runs * count / seconds;
}

// The station's own CPU while all four boards sit in a touch test nobody taps (10 s).
void CpuWhileWaiting(const Line &line) {
    const std::string plan = line.dir + "/touch.plan";
    std::ofstream(plan) << "touch\n";
    const std::string db = line.dir + "/cpu.db";
    std::string error;
    auto store = station::Store::Open(db, false, error);
    station::StationConfig config = line.Config(plan, 4, db);
    for (auto &slot : config.slots) slot.onPrompt.clear();
    station::StationOptions options;
    options.autoRestart = true;
    options.runsPerSlot = 1;
    auto st = station::Station::Create(config, *store, options, error);
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    for (const auto &slot : config.slots) st->StartSlot(slot.name, error);
    st->WaitFinished();
    const double wall = Seconds(start);
    std::printf("station CPU while 4 boards wait: %.2f%% of a core (%.3f s CPU in %.1f s)\n",
                100 * (CpuSeconds() - cpu) / wall, CpuSeconds() - cpu, wall);
}

// `bench_station cfx`: four slots with the factory link on (a RabbitMQ of its own) and the
// metrics page read once a second, as Prometheus would: the station's CPU and memory.
int BusAndMetrics(const Line &line, const std::string &plan, int runs) {
    tvk_test::RabbitServer rabbit;
    if (!rabbit.ok()) return std::fprintf(stderr, "RabbitMQ: %s\n", rabbit.error().c_str()), 1;
    const std::string db = line.dir + "/cfx.db";
    std::string error;
    auto store =
        station::Store::Open(db, {{station::kCfxTarget, station::OutboxKinds::Edges}}, error);
    station::CfxOptions cfx{
        {rabbit.Broker(), "/exchange/amq.topic", rabbit.User(), rabbit.PasswordFile()},
        "bench.station"};
    station::CfxSender sender(*store, cfx);
    station::Metrics metrics(station::NowMs());
    station::StationOptions options;
    options.autoRestart = options.autoConfirm = true;
    options.runsPerSlot = runs;
    options.metrics = &metrics;
    auto st = station::Station::Create(line.Config(plan, 4, db), *store, options, {&sender}, error);
    if (!st) return std::fprintf(stderr, "station: %s\n", error.c_str()), 1;
    sender.Start();
    sender.StationUp(station::NowMs(), error);
    std::atomic<bool> done{false};
    size_t pageBytes = 0;
    std::thread scraper([&] {
        while (!done) {
            pageBytes = metrics.Format(st->Slots(), st->Outboxes(), station::NowMs()).size();
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    for (const auto &slot : line.slots) st->StartSlot(slot, error);
    st->WaitFinished();
    const bool drained = sender.Stop(std::chrono::seconds(10));
    const double wall = Seconds(start);
    done = true;
    scraper.join();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "bus and metrics on, %d runs on 4 slots in %.1f s (%s): station CPU %.2f%% of a "
        "core (%.2f s), peak RSS %ld MB, metrics page %zu bytes\n",
        runs * 4, wall, drained ? "every message accepted" : "messages left waiting",
        100 * (CpuSeconds() - cpu) / wall, CpuSeconds() - cpu, usage.ru_maxrss / 1024, pageBytes);
    return 0;
}

void CommitPerStep(const std::string &dir) {
    std::string error;
    auto store = station::Store::Open(dir + "/commit.db", false, error);
    const int64_t run = store->BeginRun(support::NewRun("bench", "A", "plan", "h", "", 1), error);
    std::vector<double> ms;
    for (int i = 1; i <= 500; ++i) {
        const auto start = Clock::now();
        store->AddStep({run, i, 1, "version", "5.0.0", "expect=5.0.0", "PASS", 0.05,
                        "3C 32 23 00 23 23 00 3E", "3C 32 23 04 23 00 3B 05 00 00 23 ?? 3E"},
                       error);
        ms.push_back(Seconds(start) * 1000);
    }
    std::printf("SQLite commit per step (WAL, synchronous=FULL, %s): median %.3f ms, max %.3f ms\n",
                dir.c_str(), Median(ms), *std::max_element(ms.begin(), ms.end()));
}

// How fast a backlog reaches PostgreSQL once the server is back: entries a second.
void DrainAfterOutage(tvk_test::PgServer &pg, const std::string &dir) {
    std::string error;
    auto store = station::Store::Open(dir + "/drain.db", true, error);
    constexpr int kRuns = 50, kSteps = 40;  // 50 runs of 40 steps: 2,100 entries with the runs'
    for (int r = 0; r < kRuns; ++r) {
        const int64_t run =
            store->BeginRun(support::NewRun("bench", "A", "plan", "h", "", r), error);
        for (int i = 1; i <= kSteps; ++i)
            store->AddStep({run, i, 1, "version", "5.0.0", "", "PASS", 0.05, "3C", "3E"}, error);
        store->EndRun(run, station::Verdict::Pass, r + 1, "", "", error);
    }
    const int waiting = store->OutboxState(station::kPostgresTarget).waiting;
    station::PostgresSender sender(*store, pg.Connection());
    const auto start = Clock::now();
    const bool sent = sender.SendPending(error);
    const double seconds = Seconds(start);
    std::printf("outbox drain after an outage: %d entries in %.2f s, %.0f entries/s%s%s\n", waiting,
                seconds, waiting / seconds, sent ? "" : "; failed: ", error.c_str());
}

void DelayToPostgres(const std::string &dir) {
    tvk_test::PgServer pg;
    if (!pg.ok()) {
        std::printf("PostgreSQL: %s\n", pg.error().c_str());
        return;
    }
    std::string error;
    auto store = station::Store::Open(dir + "/outbox.db", true, error);
    station::PostgresSender sender(*store, pg.Connection());
    std::mutex mutex;
    Clock::time_point committed;
    std::vector<double> ms;
    sender.onSent = [&](const station::OutboxItem &item) {
        std::lock_guard<std::mutex> lock(mutex);
        if (item.kind == "step") ms.push_back(Seconds(committed) * 1000);
    };
    sender.Start();
    const int64_t run = store->BeginRun(support::NewRun("bench", "A", "plan", "h", "", 1), error);
    sender.Wake();
    for (int i = 1; i <= 200; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            committed = Clock::now();
        }
        store->AddStep({run, i, 1, "version", "5.0.0", "", "PASS", 0.05, "3C", "3E"}, error);
        sender.Wake();
        // The next step comes after the board's next answer; give this one time to arrive.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sender.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    std::printf(
        "result to PostgreSQL after the step's commit: median %.2f ms, max %.2f ms "
        "(%zu steps, local server on a Unix socket)\n",
        Median(ms), ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()), ms.size());
    DrainAfterOutage(pg, dir);
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 2;
    Line line;
    if (!line.Start()) return 1;
    // With the touch step the operator's tap is part of the figure; without it, only boards
    // and station.
    const std::string plan = kTop + "/sim/plans/station.plan";
    const std::string noTouch = line.dir + "/station-no-touch.plan";
    {
        std::ifstream in(plan);
        std::ofstream out(noTouch);
        for (std::string text; std::getline(in, text);)
            if (text.rfind("touch", 0) != 0) out << text << '\n';
    }
    if (argc > 2 && std::string(argv[2]) == "cfx") return BusAndMetrics(line, plan, runs);
    for (const std::string &p : {plan, noTouch}) {
        std::printf("throughput, %s on fast simulated boards, %d runs a slot:\n",
                    fs::path(p).filename().c_str(), runs);
        const double one = Throughput(line, p, 1, runs);
        const double four = Throughput(line, p, 4, runs);
        std::printf("four slots against one (%s): %.2f times (%.3f against %.3f runs/s)\n",
                    p == plan ? "with the touch step" : "without it", one > 0 ? four / one : 0,
                    four, one);
    }
    CpuWhileWaiting(line);
    CommitPerStep(line.dir);
    DelayToPostgres(line.dir);
    return 0;
}
