// Soak: N exchanges of a mixed command set, with random line noise (never '<') before each
// request, through the simulated board; counts what came back and watches the agent's memory
// and descriptors. Prints; asserts nothing (exit 1 only when an exchange was not answered
// right, so a script can use it).
//
//   soak [-n N] [--seed S] [--noise-max K] [--port PATH [--gap-ms MS]] [--mix LIST]
//
// Without --port: the real agent in the board sandbox (the --fast board), with the board files
// the mix needs. With --port: a board already running on that serial device (a twin started by
// `sim/sim start`); the agent's memory and descriptors are not visible from here then.
// --mix: commas of version, board-type, mac, volume, usb, unsupported, bad-sum (default: all in
// the sandbox; version, unsupported, bad-sum on a port, the ones whose answer any board gives).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "BoardHarness.h"
#include "FixtureLink.h"
#include "Frames.h"
#include "Protocol.h"

namespace {

using fixture::Bytes;
using support::Answer;
using support::Frame;

constexpr int kResponseTimeoutMs = 3000;
constexpr int kProgressEvery = 1000;

const Bytes kMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};

struct Exchange {
    std::string kind;
    Bytes request;
    Bytes expected;
};

// The agent starts a frame at every '<': only the first byte of a request may be one.
bool Sendable(const Bytes &request) {
    for (size_t i = 1; i < request.size(); ++i) {
        if (request[i] == MSG_START_DESCRIPTOR) return false;
    }
    return true;
}

Exchange Make(const std::string &kind, std::mt19937 &random) {
    if (kind == "version") return {kind, Frame(0x32, {}), Answer(0x32, ACK_PASS, {5, 0, 0})};
    if (kind == "board-type") return {kind, Frame(0x30, {}), Answer(0x30, ACK_PASS, {1})};
    if (kind == "mac") {
        Bytes text;
        for (size_t i = 0; i < kMac.size(); ++i) {
            if (i > 0) text.push_back(0x3A);
            text.push_back(kMac[i]);
        }
        return {kind, Frame(0x19, {}), Answer(0x19, ACK_PASS, text)};
    }
    if (kind == "volume") {
        for (;;) {
            const uint8_t volume = static_cast<uint8_t>(random() & 0xFF);
            Exchange e{kind, Frame(0x31, {volume}), Answer(0x31, ACK_PASS, {volume})};
            if (Sendable(e.request)) return e;
        }
    }
    if (kind == "usb") {
        const bool present = (random() & 1) != 0;
        const std::string name = present ? "soak.bin" : "missing.bin";
        return {
            kind, Frame(0x15, Bytes(name.begin(), name.end())),
            present ? Answer(0x15, ACK_PASS, {}) : Answer(0x15, ACK_FAIL, {ERR_CODE_TEST_FAILED})};
    }
    if (kind == "unsupported") {
        return {kind, Frame(0x40, {}), Answer(0x40, ACK_FAIL, {ERR_CODE_CMD_NOT_SUPPORTED})};
    }
    // bad-sum: a version request whose checksum is off by one.
    return {kind, Frame(0x32, {}, 1), Answer(0x32, ACK_FAIL, {ERR_CODE_WRONG_CHECKSUM})};
}

std::string StatusField(pid_t pid, const char *name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(std::string(name) + ":", 0) == 0) {
            size_t at = line.find_first_not_of(" \t", std::strlen(name) + 1);
            return at == std::string::npos ? "" : line.substr(at);
        }
    }
    return "?";
}

std::string Descriptors(pid_t pid) {
    std::error_code ec;
    size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return ec ? "?" : std::to_string(count);
}

std::string AgentFigures(pid_t pid) {
    if (pid <= 0) return "not visible from here";
    return "RSS " + StatusField(pid, "VmRSS") + ", " + Descriptors(pid) + " descriptors";
}

std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: soak [-n N] [--seed S] [--noise-max K] [--port PATH [--gap-ms MS]] "
                 "[--mix version,board-type,mac,volume,usb,unsupported,bad-sum]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    long count = 20000;
    unsigned seed = 1;
    int noiseMax = 16;
    int gapMs = 50;
    std::string port;
    std::string mix;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-n" && hasValue) {
            count = std::atol(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            seed = static_cast<unsigned>(std::atol(argv[++i]));
        } else if (arg == "--noise-max" && hasValue) {
            noiseMax = std::atoi(argv[++i]);
        } else if (arg == "--port" && hasValue) {
            port = argv[++i];
        } else if (arg == "--gap-ms" && hasValue) {
            gapMs = std::atoi(argv[++i]);
        } else if (arg == "--mix" && hasValue) {
            mix = argv[++i];
        } else {
            return Usage();
        }
    }
    if (count <= 0 || noiseMax < 0) return Usage();
    if (mix.empty()) {
        mix = port.empty() ? "version,board-type,mac,volume,usb,unsupported,bad-sum"
                           : "version,unsupported,bad-sum";
    }
    const std::vector<std::string> kinds = Split(mix);
    for (const std::string &kind : kinds) {
        static const std::vector<std::string> known = {"version", "board-type",  "mac",    "volume",
                                                       "usb",     "unsupported", "bad-sum"};
        if (std::find(known.begin(), known.end(), kind) == known.end()) return Usage();
    }

    std::unique_ptr<e2e::BoardSandbox> board;
    fixture::Link portLink;
    fixture::Link *link = &portLink;
    pid_t agent = -1;
    if (port.empty()) {
        board = std::make_unique<e2e::BoardSandbox>();
        board->WriteFile("hwtest/conf_settings.ini", "BOARD TYPE=TVK\n");
        board->WriteFile("sys/class/net/eth0/address", "02:00:00:00:00:10\n");
        board->WriteFile("mnt/soak.bin", "soak\n");
        if (!board->Start()) {
            std::fprintf(stderr, "soak: the sandbox board did not start\n%s\n",
                         board->AgentLog().c_str());
            return 2;
        }
        link = &board->link();
        agent = board->AgentPid();
    } else {
        std::string error;
        if (!portLink.OpenDevice(port, error)) {
            std::fprintf(stderr, "soak: %s: %s\n", port.c_str(), error.c_str());
            return 2;
        }
    }

    // Before each request: wait until the agent listens again, then take whatever is on the
    // line: after one answer per request, anything there is a duplicate.
    long duplicated = 0;
    int64_t lastAnswerUs = 0;
    const std::function<void()> waitAgent = link->waitListening;
    link->waitListening = [&] {
        if (waitAgent) {
            waitAgent();
        } else {
            const int64_t readyAt = lastAnswerUs + int64_t{gapMs} * 1000;
            const int64_t now = fixture::NowUs();
            if (readyAt > now) usleep(static_cast<useconds_t>(readyAt - now));
        }
        Bytes extra;
        while (link->ReadFrame(extra, 1) == fixture::Status::Ok) ++duplicated;
    };

    std::mt19937 random(seed);
    std::map<std::string, long> sent, lostBy, wrongBy;
    long answered = 0, lost = 0, wrong = 0;
    std::string firstWrong;
    const std::string before = AgentFigures(agent);
    const int64_t start = fixture::NowUs();
    std::printf("soak: %ld exchanges, mix %s, noise 0-%d bytes, seed %u, %s\n", count, mix.c_str(),
                noiseMax, seed, port.empty() ? "sandbox board" : port.c_str());
    std::printf("agent at start: %s\n", AgentFigures(agent).c_str());
    std::fflush(stdout);

    for (long i = 0; i < count; ++i) {
        const std::string &kind = kinds[random() % kinds.size()];
        const Exchange e = Make(kind, random);
        Bytes bytes;
        const int noise = noiseMax > 0 ? static_cast<int>(random() % (noiseMax + 1)) : 0;
        for (int k = 0; k < noise; ++k) {
            uint8_t b = static_cast<uint8_t>(random() & 0xFF);
            bytes.push_back(b == MSG_START_DESCRIPTOR ? 0x00 : b);
        }
        bytes.insert(bytes.end(), e.request.begin(), e.request.end());
        ++sent[kind];
        const fixture::Exchange got = link->SendRaw(bytes, kResponseTimeoutMs);
        lastAnswerUs = fixture::NowUs();
        if (got.status == fixture::Status::Timeout || got.status == fixture::Status::IoError) {
            ++lost;
            ++lostBy[kind];
        } else if (got.response.raw != e.expected) {
            ++wrong;
            ++wrongBy[kind];
            if (firstWrong.empty()) {
                firstWrong = kind + ": sent " + fixture::Hex(bytes) + ", got " +
                             fixture::Hex(got.response.raw) + ", expected " +
                             fixture::Hex(e.expected);
            }
        } else {
            ++answered;
        }
        if ((i + 1) % kProgressEvery == 0) {
            std::printf("  %ld: answered %ld, lost %ld, duplicated %ld, wrong %ld\n", i + 1,
                        answered, lost, duplicated, wrong);
            std::fflush(stdout);
        }
    }
    // A late duplicate of the last answer.
    link->waitListening();
    const double seconds = static_cast<double>(fixture::NowUs() - start) / 1e6;

    std::printf("exchanges %ld in %.1f s (%.0f a second)\n", count, seconds,
                static_cast<double>(count) / seconds);
    std::printf("answered %ld, lost %ld, duplicated %ld, wrong %ld\n", answered, lost, duplicated,
                wrong);
    for (const auto &[kind, n] : sent) {
        std::printf("  %-12s sent %6ld  lost %ld  wrong %ld\n", kind.c_str(), n, lostBy[kind],
                    wrongBy[kind]);
    }
    if (!firstWrong.empty()) std::printf("first wrong answer: %s\n", firstWrong.c_str());
    std::printf("agent at start: %s\nagent at end:   %s\n", before.c_str(),
                AgentFigures(agent).c_str());
    if (board && !board->Running()) std::printf("the agent is no longer running\n");
    return lost == 0 && wrong == 0 && duplicated == 0 ? 0 : 1;
}
