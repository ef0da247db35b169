#include "Frames.h"

#include <cctype>
#include <cstdio>

namespace support {

namespace {
constexpr uint8_t kStart = 0x3C;
constexpr uint8_t kField = 0x23;
constexpr uint8_t kSeparator = 0x3B;
constexpr uint8_t kEnd = 0x3E;
constexpr uint8_t kAckPass = 0;
constexpr uint8_t kAckFail = 1;
constexpr uint8_t kCodeTestFailed = 5;

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string Hex(const Bytes &bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += pair;
    }
    return text;
}

Bytes FromHex(const std::string &hex) {
    Bytes bytes;
    int high = -1;
    for (char c : hex) {
        if (c == ' ' || c == ':') continue;
        const int value = Digit(c);
        if (value < 0) return {};
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    return high < 0 ? bytes : Bytes{};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Frame(uint8_t id, const Bytes &body, int sumDelta) {
    Bytes frame = {kStart, id, kField, static_cast<uint8_t>(body.size()), kField};
    uint8_t sum = 0;
    for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.insert(frame.end(), {kField, static_cast<uint8_t>(sum + sumDelta), kEnd});
    return frame;
}

Bytes Answer(uint8_t id, uint8_t ack, const Bytes &data) {
    Bytes body = {ack};
    if (!data.empty() || ack != kAckPass) {
        body.push_back(kSeparator);
        body.insert(body.end(), data.begin(), data.end());
    }
    return Frame(id, body);
}

Bytes FailAnswer(uint8_t id) {
    return Answer(id, kAckFail, {kCodeTestFailed});
}

}  // namespace support
