// Figures for the agent on the host's board sandbox: request turnaround on the serial line,
// CPU spent while a touch test waits, peak memory after a production plan, and the plan's
// wall time against the waits the tests themselves prescribe. Prints; asserts nothing.
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BoardHarness.h"
#include "Commands.h"
#include "FixtureLink.h"
#include "Plan.h"
#include "Process.h"

namespace {

using fixture::Bytes;

constexpr int kTurnaroundRequests = 500;
constexpr double kBaud = 19200;
constexpr double kBitsPerByte = 10;  // start, 8 data, stop
constexpr size_t kVersionRequestBytes = 8;
constexpr size_t kVersionResponseBytes = 13;
const std::string kSim = std::string(TVK_SOURCE_DIR) + "/sim/sim";
const std::string kNetlab = std::string(TVK_SOURCE_DIR) + "/sim/netlab";
const std::string kSamplePlan = std::string(TVK_SOURCE_DIR) + "/sim/plans/sample.plan";

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The agent runs inside the sandbox's PID namespace: find it among the sandbox's descendants.
pid_t FindAgent(pid_t sandbox) {
    std::vector<std::pair<pid_t, pid_t>> parents;  // pid, ppid
    std::vector<pid_t> agents;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t close = stat.rfind(')');
        size_t open = stat.find('(');
        if (close == std::string::npos || open == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        parents.emplace_back(pid, ppid);
        if (stat.substr(open + 1, close - open - 1) == "TVKTestApp") agents.push_back(pid);
    }
    closedir(proc);
    for (pid_t agent : agents) {
        for (pid_t at = agent; at > 1;) {
            if (at == sandbox) return agent;
            auto it = std::find_if(parents.begin(), parents.end(),
                                   [at](const auto &p) { return p.first == at; });
            if (it == parents.end()) break;
            at = it->second;
        }
    }
    return -1;
}

struct CpuTime {
    double tickMs = 0;  // utime + stime, in clock-tick resolution
    double runNs = 0;   // time on a CPU from schedstat (nanoseconds), when the kernel has it
};

CpuTime AgentCpu(pid_t pid) {
    CpuTime cpu;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        std::vector<std::string> fields;
        while (rest >> field) fields.push_back(field);
        // Fields from 3 on (state is 3): utime is field 14, stime field 15.
        if (fields.size() > 12) {
            const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
            cpu.tickMs = ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
    }
    std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
    sched >> cpu.runNs;
    return cpu;
}

std::string StatusField(pid_t pid, const std::string &name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            size_t start = line.find_first_not_of(" \t", name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "?";
}

bool MakeBoard(const e2e::BoardSandbox &board) {
    return support::RunProcess({"python3", kSim, "make-board", board.board()}).exitCode == 0;
}

// (a) From the last request byte written to the first response byte read, on the pty.
void Turnaround(e2e::BoardSandbox &board) {
    fixture::Link &link = board.link();
    const int fd = link.fd();
    const Bytes request = fixture::BuildRequest(0x32, {});
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < kTurnaroundRequests; ++i) {
        link.waitListening();
        uint8_t scratch[256];
        while (read(fd, scratch, sizeof scratch) > 0) {
        }
        const int64_t start = fixture::NowUs();
        if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            ++lost;
            continue;
        }
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 3000) != 1) {
            ++lost;
            continue;
        }
        micros.push_back(static_cast<double>(fixture::NowUs() - start));
        Bytes frame;
        // The rest of the frame, so the next round starts clean.
        if (link.ReadFrame(frame, 3000) != fixture::Status::Ok) ++lost;
    }
    const double lineMs = static_cast<double>(kVersionRequestBytes + kVersionResponseBytes) *
                          kBitsPerByte / kBaud * 1000.0;
    std::printf("(a) version request turnaround on the pty, %zu requests (%d lost):\n",
                micros.size(), lost);
    if (micros.empty()) return;
    std::printf(
        "    agent, last request byte to first response byte: median %.3f ms, "
        "99th percentile %.3f ms, max %.3f ms\n",
        Percentile(micros, 0.5) / 1000.0, Percentile(micros, 0.99) / 1000.0,
        Percentile(micros, 1.0) / 1000.0);
    std::printf(
        "    line time of the same exchange at 19200 baud: (%zu + %zu bytes) x 10 bits / "
        "19200 = %.2f ms\n",
        kVersionRequestBytes, kVersionResponseBytes, lineMs);
}

// (b) What the agent burns while the touch test waits out its window with nobody touching.
void TouchWaitCpu(e2e::BoardSandbox &board, pid_t agent) {
    const CpuTime before = AgentCpu(agent);
    const int64_t start = fixture::NowUs();
    fixture::Exchange got = board.Request(0x22, {}, 20000);
    const double wallS = static_cast<double>(fixture::NowUs() - start) / 1e6;
    const CpuTime after = AgentCpu(agent);
    std::printf(
        "(b) touch test with no touch: %s after %.2f s (driver load, 1 s settle, "
        "window)\n",
        got.status == fixture::Status::Ok && got.response.ack == 1 ? "fail response"
                                                                   : "unexpected answer",
        wallS);
    std::printf(
        "    agent CPU time (utime+stime): %.0f ms (clock tick %ld ms); on-CPU time "
        "(schedstat): %.3f ms = %.4f %% of the wait\n",
        after.tickMs - before.tickMs, 1000 / sysconf(_SC_CLK_TCK),
        (after.runNs - before.runNs) / 1e6, (after.runNs - before.runNs) / 1e9 / wallS * 100.0);
}

struct PrescribedWait {
    const char *command;
    double seconds;
    const char *why;
};

// Waits the tests prescribe themselves, on a real board (the simulated tools do not play
// sound or scan the air).
const PrescribedWait kPrescribedWaits[] = {
    {"touch", 1.0, "1 s settle after the driver load; the window ends at the tap"},
    {"audio", 3.0, "aplay -d 3 (the simulated aplay returns at once)"},
    {"bt", 1.0, "1 s after hciconfig up, plus the scan itself"},
    {"ping", 2.0, "ping -c 3: three echoes 1 s apart"},
    {"wifi-ping", 2.0, "ping -c 3: three echoes 1 s apart"},
    {"can", 5.0, "more than 5 s only when no frame comes back"},
};

// (c) and (d): the sample plan, run through the plan runner over the harness's line.
void SamplePlan(e2e::BoardSandbox &board, pid_t agent) {
    std::ifstream in(kSamplePlan);
    std::stringstream text;
    text << in.rdbuf();
    fixture::Plan plan;
    std::vector<std::string> errors;
    if (!fixture::ParsePlan(text.str(), "sample", plan, errors)) {
        std::printf("(c) sample plan does not parse: %s\n", errors.front().c_str());
        return;
    }
    // The operator's tap: the panel FIFO opens for writing once the touch test reads it.
    std::atomic<bool> done{false};
    std::thread tapper([&] {
        const std::string fifo = board.Path("dev/input/event0");
        while (!done.load()) {
            int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                usleep(5000);
                continue;
            }
            input_event events[3];
            std::memset(events, 0, sizeof events);
            const uint16_t types[] = {EV_ABS, EV_ABS, EV_SYN};
            const uint16_t codes[] = {ABS_X, ABS_Y, SYN_REPORT};
            const int32_t values[] = {400, 240, 0};
            for (int i = 0; i < 3; ++i) {
                events[i].type = types[i];
                events[i].code = codes[i];
                events[i].value = values[i];
            }
            ssize_t put = write(fd, events, sizeof events);
            (void)put;
            close(fd);
            return;
        }
    });
    auto results =
        fixture::RunPlan(plan,
                         [&](const fixture::Request &request) {
                             return board.link().Transact(request.frame, request.timeoutMs, 1);
                         },
                         {});
    done.store(true);
    tapper.join();

    int passed = 0;
    double wall = 0, prescribed = 0, prescribedSim = 0;
    for (const auto &r : results) {
        passed += r.ran && r.result.outcome == fixture::Outcome::Pass ? 1 : 0;
        wall += r.seconds;
    }
    std::printf(
        "(c) agent peak resident memory after the sample plan (%d of %zu steps passed): "
        "VmHWM %s (VmRSS now %s)\n",
        passed, results.size(), StatusField(agent, "VmHWM").c_str(),
        StatusField(agent, "VmRSS").c_str());
    std::printf("(d) sample plan wall time per step against the waits the tests prescribe:\n");
    for (const auto &r : results) {
        double wait = 0;
        const char *why = "";
        for (const PrescribedWait &w : kPrescribedWaits) {
            if (r.step->request.def->name == std::string(w.command)) {
                wait = w.seconds;
                why = w.why;
            }
        }
        prescribed += wait;
        if (std::string(r.step->request.def->name) != "audio") prescribedSim += wait;
        std::printf("    %-42s %6.2f s   prescribed %4.1f s  %s\n", r.step->text.c_str(), r.seconds,
                    wait, why);
    }
    std::printf(
        "    total: %.2f s wall; prescribed waits %.1f s on a board, %.1f s of them "
        "on the simulated board; the rest, %.2f s, is the agent, the board's tools and "
        "the line\n",
        wall, prescribed, prescribedSim, wall - prescribedSim);
}

}  // namespace

int main() {
    e2e::BoardOptions options;
    options.netSetup = kNetlab;
    e2e::BoardSandbox board(options);
    if (!MakeBoard(board) || !board.Start()) {
        std::fprintf(stderr, "bench: the board sandbox did not start\n%s\n",
                     board.AgentLog().c_str());
        return 1;
    }
    const pid_t agent = FindAgent(board.pid());
    if (agent < 0) {
        std::fprintf(stderr, "bench: cannot find the agent process\n");
        return 1;
    }
    std::printf("agent %s, pid %d (host view), machine: %ld CPUs\n", TVK_AGENT_PATH, agent,
                sysconf(_SC_NPROCESSORS_ONLN));
    Turnaround(board);
    TouchWaitCpu(board, agent);
    SamplePlan(board, agent);
    return 0;
}
