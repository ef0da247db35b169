// What the host side parses from outside: response frames from the line (the fixture's reader
// and decoder) and production plans (the plan parser). Only the library's public functions.
//
// Input: a plan text up to the first NUL byte, then response bytes. Each step of the plan (or,
// when it has none, of a fixed plan naming every command) gets the next chunk of response
// bytes twice: as they are, and wrapped into a frame with good framing and checksum, so the
// per-command decoders see any body.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "FixtureLink.h"
#include "Plan.h"

namespace {

using fixture::Bytes;

const char kEveryCommand[] =
    "version\nboard-type\nrtc-set 2024-03-15T09:05\nrtc-get\ncan --id 0x12 --data aa:bb\n"
    "touch\nhaptic-start 2\nhaptic-stop\nlcd\naudio\nvolume 200\nusb FILE\nmac\nbt Phone\n"
    "eth-static 10.0.77.10/24 --gw 10.0.77.1\neth-dhcp --expect 10.0.77.10\nping 10.0.77.1\n"
    "wifi TVK-LAB --psk tvk-lab-passphrase\nwifi-ping 10.0.77.1\nwifi-stop\n"
    "version expect=5.0.0\nping 10.0.77.1 max_ms=50\nvolume 10 min=5 max=20\n";

void Check(bool condition) {
    if (!condition) std::abort();
}

const fixture::Plan &EveryCommand() {
    static const fixture::Plan plan = [] {
        fixture::Plan parsed;
        std::vector<std::string> errors;
        Check(fixture::ParsePlan(kEveryCommand, "every", parsed, errors));
        return parsed;
    }();
    return plan;
}

// '<' id '#' L '#' body '#' sum '>' around any body.
Bytes Wrap(uint8_t id, const uint8_t *body, size_t count) {
    Bytes frame = {0x3C, id, 0x23, static_cast<uint8_t>(count), 0x23};
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        frame.push_back(body[i]);
        sum = static_cast<uint8_t>(sum + body[i]);
    }
    frame.insert(frame.end(), {0x23, sum, 0x3E});
    return frame;
}

void Decode(const fixture::Request &request, const Bytes &frame) {
    fixture::Exchange exchange;
    exchange.attempts = 1;
    exchange.response.raw = frame;
    exchange.status = fixture::DecodeResponse(frame, exchange.response, exchange.error)
                          ? fixture::Status::Ok
                          : fixture::Status::BadFrame;
    if (exchange.status == fixture::Status::Ok) {
        Check(exchange.response.raw.size() >= 8 || exchange.response.raw.empty());
    }
    const fixture::Result result = fixture::DecodeExchange(request, exchange);
    (void)result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t textSize = nul != nullptr ? static_cast<size_t>(nul - data) : size;
    const std::string text(reinterpret_cast<const char *>(data), textSize);
    fixture::Plan plan;
    std::vector<std::string> errors;
    const bool parsed = fixture::ParsePlan(text, "fuzz", plan, errors);
    if (!parsed) Check(!errors.empty());
    const fixture::Plan &steps = parsed && !plan.steps.empty() ? plan : EveryCommand();

    const uint8_t *rest = nul != nullptr ? nul + 1 : data + size;
    size_t left = nul != nullptr ? size - textSize - 1 : 0;
    for (const fixture::PlanStep &step : steps.steps) {
        if (left == 0) break;
        // A chunk: its length, then that many bytes (as many as are left).
        size_t count = rest[0];
        ++rest;
        --left;
        if (count > left) count = left;
        const Bytes chunk(rest, rest + count);
        const uint8_t id = step.request.frame.size() > 1 ? step.request.frame[1] : 0;
        Decode(step.request, chunk);
        Decode(step.request, Wrap(id, rest, count > 255 ? 255 : count));
        rest += count;
        left -= count;
    }
    return 0;
}
