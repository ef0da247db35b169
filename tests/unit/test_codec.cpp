// The frames are the contract with fixtures on the line: every byte is checked.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FixtureLink.h"
#include "Frames.h"
#include "TVKTestApp.h"

namespace {

using fixture::Bytes;

Bytes Frame(const std::string &hex) {
    Bytes bytes = support::FromHex(hex);
    EXPECT_FALSE(bytes.empty()) << hex;
    return bytes;
}

// What the agent sends back for one received buffer (as the receive left it).
Bytes Exchange(const Bytes &received) {
    uint8_t buffer[MAX_FRAME_SIZE] = {};
    if (!received.empty()) {
        std::memcpy(buffer, received.data(), std::min(received.size(), sizeof buffer));
    }
    DispatchFrame(buffer);
    ComposeResponse();
    uint8_t frame[MAX_FRAME_SIZE] = {};
    uint8_t count = BuildSerialPkt(frame);
    EXPECT_EQ(frame[count], 0) << "frame must be followed by a zero byte";
    return Bytes(frame, frame + count);
}

struct ExchangeCase {
    const char *name;
    const char *request;
    const char *response;
};

// In order: some cases depend on the id the previous request left behind.
const ExchangeCase kExchanges[] = {
    {"abandoned receive before any request echoes id 0", "", "3C 00 23 03 23 01 3B 02 23 3E 3E"},
    {"version", "3C 32 23 00 23 23 00 3E", "3C 32 23 05 23 00 3B 05 00 00 23 40 3E"},
    {"abandoned receive echoes the previous id", "", "3C 32 23 03 23 01 3B 02 23 3E 3E"},
    {"buffer not starting with '<' keeps the previous id", "00 3C 30 23 00 23 23 00 3E",
     "3C 32 23 03 23 01 3B 02 23 3E 3E"},
    {"wrong checksum, board type", "3C 30 23 00 23 23 01 3E", "3C 30 23 03 23 01 3B 01 23 3D 3E"},
    {"wrong checksum, volume", "3C 31 23 01 23 50 23 51 3E", "3C 31 23 03 23 01 3B 01 23 3D 3E"},
    {"byte 2 not '#'", "3C 30 24 00 23 23 00 3E", "3C 30 23 03 23 01 3B 02 23 3E 3E"},
    {"byte 4 not '#'", "3C 41 23 00 24 23 00 3E", "3C 41 23 03 23 01 3B 02 23 3E 3E"},
    {"closing '#' missing", "3C 42 23 01 23 07 24 07 3E", "3C 42 23 03 23 01 3B 02 23 3E 3E"},
    {"wrong end byte", "3C 32 23 00 23 23 00 3F", "3C 32 23 03 23 01 3B 02 23 3E 3E"},
    {"wrong checksum beats wrong end byte", "3C 32 23 00 23 23 05 3F",
     "3C 32 23 03 23 01 3B 01 23 3D 3E"},
    {"length above 119", "3C 43 23 78 23", "3C 43 23 03 23 01 3B 02 23 3E 3E"},
    {"unknown id", "3C 40 23 00 23 23 00 3E", "3C 40 23 03 23 01 3B 00 23 3C 3E"},
    {"id 0 has no handler", "3C 00 23 00 23 23 00 3E", "3C 00 23 03 23 01 3B 00 23 3C 3E"},
    {"id 255 has no handler", "3C FF 23 00 23 23 00 3E", "3C FF 23 03 23 01 3B 00 23 3C 3E"},
    {"data may hold '#', ';' and '>'", "3C 32 23 03 23 23 3B 3E 23 9C 3E",
     "3C 32 23 05 23 00 3B 05 00 00 23 40 3E"},
    {"the CAN worked example request parses", "3C 16 23 05 23 12 03 AA BB CC 23 46 3E", nullptr},
};

TEST(Codec, ExchangesByteForByte) {
    for (const ExchangeCase &c : kExchanges) {
        SCOPED_TRACE(c.name);
        Bytes request = c.request[0] ? Frame(c.request) : Bytes{};
        Bytes response = Exchange(request);
        if (c.response != nullptr) {
            EXPECT_EQ(fixture::Hex(response), fixture::Hex(Frame(c.response)));
        }
    }
}

TEST(Codec, ParserFillsRecordAndClearsTheRest) {
    uint8_t buffer[MAX_FRAME_SIZE] = {};
    std::memset(recvPkt.data, 0xEE, sizeof recvPkt.data);
    Bytes can = Frame("3C 16 23 05 23 12 03 AA BB CC 23 46 3E");
    std::memcpy(buffer, can.data(), can.size());
    ASSERT_EQ(ParseAndValidatePkt(buffer), NO_ERROR);
    EXPECT_EQ(recvPkt.cmdID, 0x16);
    EXPECT_EQ(recvPkt.length, 5);
    EXPECT_EQ(recvPkt.checksum, 0x46);
    const uint8_t want[] = {0x12, 0x03, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(std::memcmp(recvPkt.data, want, sizeof want), 0);
    for (int i = 5; i < PKT_DATA_SIZE; ++i) ASSERT_EQ(recvPkt.data[i], 0) << i;

    // L = 0: eight bytes, '#' '#' side by side, all data zero.
    Bytes empty = Frame("3C 30 23 00 23 23 00 3E");
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, empty.data(), empty.size());
    ASSERT_EQ(ParseAndValidatePkt(buffer), NO_ERROR);
    for (int i = 0; i < PKT_DATA_SIZE; ++i) ASSERT_EQ(recvPkt.data[i], 0) << i;

    // L = 119, the largest body, every data byte 0x01.
    Bytes big = {0x3C, 0x01, 0x23, 119, 0x23};
    big.insert(big.end(), 119, 0x01);
    big.insert(big.end(), {0x23, 119, 0x3E});
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, big.data(), big.size());
    EXPECT_EQ(ParseAndValidatePkt(buffer), NO_ERROR);
    EXPECT_EQ(recvPkt.length, 119);
}

struct ComposeCase {
    const char *name;
    uint8_t cmdID;
    uint8_t ack;
    Bytes data;
    const char *frame;
};

TEST(Codec, ComposerForms) {
    const ComposeCase cases[] = {
        {"pass without data", 0x29, 0, {}, "3C 29 23 01 23 00 23 00 3E"},
        {"fail", 0x30, 1, {5}, "3C 30 23 03 23 01 3B 05 23 41 3E"},
        {"board type TVK: checksum equals '<'", 0x30, 0, {1}, "3C 30 23 03 23 00 3B 01 23 3C 3E"},
        {"board type RDMX", 0x30, 0, {0}, "3C 30 23 03 23 00 3B 00 23 3B 3E"},
        {"CAN worked example",
         0x16,
         0,
         {0x12, 0x03, 0xAA, 0xBB, 0xCC},
         "3C 16 23 07 23 00 3B 12 03 AA BB CC 23 81 3E"},
        {"other ack values carry no separator", 0x32, 7, {9}, "3C 32 23 02 23 07 09 23 10 3E"},
    };
    for (const ComposeCase &c : cases) {
        SCOPED_TRACE(c.name);
        recvPkt.cmdID = c.cmdID;
        std::memset(respPkt.data, 0, sizeof respPkt.data);
        respPkt.ack = c.ack;
        respPkt.length = static_cast<uint8_t>(c.data.size());
        if (!c.data.empty()) std::memcpy(respPkt.data, c.data.data(), c.data.size());
        ComposeResponse();
        uint8_t frame[MAX_FRAME_SIZE] = {};
        uint8_t count = BuildSerialPkt(frame);
        EXPECT_EQ(fixture::Hex(Bytes(frame, frame + count)), fixture::Hex(Frame(c.frame)));
        EXPECT_EQ(count, respPkt.length + 8);
    }
}

TEST(Codec, OversizedCountStaysInsideTheFrame) {
    recvPkt.cmdID = 0x50;
    respPkt.ack = 0;
    respPkt.length = 200;
    std::memset(respPkt.data, 0x11, sizeof respPkt.data);
    ComposeResponse();
    uint8_t frame[MAX_FRAME_SIZE] = {};
    uint8_t count = BuildSerialPkt(frame);
    EXPECT_EQ(respPkt.length, MAX_BODY_LENGTH);
    EXPECT_EQ(count, MAX_BODY_LENGTH + 8);
}

TEST(Codec, ChecksumWrapsAtEightBits) {
    const uint8_t bytes[] = {0xFF, 0x02, 0x80, 0x80};
    EXPECT_EQ(CalcCheckSum(bytes, 0), 0);
    EXPECT_EQ(CalcCheckSum(bytes, 2), 0x01);
    EXPECT_EQ(CalcCheckSum(bytes, 4), 0x01);
}

TEST(Codec, EveryDesignedIdIsInTheTable) {
    // Ids without a built handler are answered "not supported" until they land; the ids
    // outside the table never get a handler.
    const uint8_t unknown[] = {0, 17, 24, 26, 31, 35, 36, 42, 47, 52, 255};
    for (uint8_t id : unknown) EXPECT_EQ(FindHandler(id), nullptr) << int(id);
    EXPECT_NE(FindHandler(CMD_VERSION), nullptr);
}

}  // namespace
