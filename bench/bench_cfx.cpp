// The factory link's figures, against a real RabbitMQ: the time from a run's last commit to the
// broker's accept of its messages, and how fast a backlog drains once the broker is back.
// Prints figures; checks nothing.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CfxSender.h"
#include "RabbitServer.h"
#include "Runs.h"
#include "Store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A run of 18 steps; `beforeEnd` just before its last commit (so the delay counts that commit).
int64_t Commit(station::Store &store, const std::string &slot, int64_t &clock,
               const std::function<void(int64_t)> &beforeEnd = {}) {
    std::string error;
    const int64_t run = store.BeginRun(
        support::NewRun("line-1", slot, "station.plan", "3f9a", "ana", ++clock), error);
    store.SetBoard(run, "board-" + std::to_string(run), ++clock, error);
    for (int i = 1; i <= 18; ++i) {
        store.AddStep({run, i, 1, "ping 10.0.77.1", "3 ms", "max=50", "PASS", 0.1, "", ""}, error);
    }
    if (beforeEnd) beforeEnd(run);
    store.EndRun(run, station::Verdict::Pass, ++clock, "", "", error);
    return run;
}

bool WaitEmpty(station::CfxSender &sender, int seconds) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (sender.Status().waiting > 0 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return sender.Status().waiting == 0;
}

}  // namespace

int main() {
    tvk_test::RabbitServer rabbit;
    if (!rabbit.ok()) {
        std::fprintf(stderr, "bench_cfx: %s\n", rabbit.error().c_str());
        return 1;
    }
    char pattern[] = "/tmp/tvk-bench-cfx-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::string error;
    auto store = station::Store::Open(dir + "/results.db",
                                      {{station::kCfxTarget, station::OutboxKinds::Edges}}, error);
    if (!store) {
        std::fprintf(stderr, "bench_cfx: %s\n", error.c_str());
        return 1;
    }
    station::CfxOptions options;
    options.amqp.broker = rabbit.Broker();
    options.amqp.user = rabbit.User();
    options.amqp.passwordFile = rabbit.PasswordFile();
    options.handle = "line-1.station";
    int64_t clock = 1776672930000;

    // Delay: one run ends every 50 ms, as four fast slots end theirs.
    std::mutex mutex;
    std::map<int64_t, Clock::time_point> committed;
    std::vector<double> delays;
    {
        station::CfxSender sender(*store, options);
        sender.onSent = [&](const station::OutboxItem &item) {
            std::lock_guard<std::mutex> lock(mutex);
            if (item.kind == "run-ended") delays.push_back(Ms(Clock::now() - committed[item.ref]));
        };
        sender.Start();
        const char *slots[] = {"A", "B", "C", "D"};
        for (int i = 0; i < 200; ++i) {
            Commit(*store, slots[i % 4], clock, [&](int64_t run) {
                std::lock_guard<std::mutex> lock(mutex);
                committed[run] = Clock::now();
            });
            sender.Wake();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        WaitEmpty(sender, 60);
        sender.Stop();
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        std::printf(
            "last commit to the broker's accept: median %.1f ms, worst %.1f ms (%zu runs)\n",
            delays[delays.size() / 2], delays.back(), delays.size());
    }

    // Drain: the broker is away while 1000 runs end, then comes back.
    rabbit.Stop();
    for (int i = 0; i < 1000; ++i) Commit(*store, "A", clock);
    rabbit.Start();
    station::CfxSender sender(*store, options);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    sender.Start();
    const bool drained = WaitEmpty(sender, 300);
    const double seconds = Ms(Clock::now() - start) / 1000;
    getrusage(RUSAGE_SELF, &after);
    sender.Stop();
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                       (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec + after.ru_stime.tv_usec -
                        before.ru_stime.tv_usec) /
                           1e6;
    std::printf(
        "drain after an outage: 3000 messages (1000 runs) in %.2f s: %.0f messages/s%s, "
        "sender CPU %.2f s, peak RSS %ld MB\n",
        seconds, 3000 / seconds, drained ? "" : " (NOT drained)", cpu, after.ru_maxrss / 1024);
    std::filesystem::remove_all(dir);
    return 0;
}
