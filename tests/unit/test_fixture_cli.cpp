// The fixture client: arguments to request bytes, response bytes to readings, plans to reports.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "FixtureLink.h"
#include "Plan.h"
#include "Report.h"

namespace {

using fixture::Bytes;
using fixture::Exchange;
using fixture::Outcome;
using fixture::Request;
using fixture::Result;

std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> words;
    std::vector<bool> quoted;
    std::string error;
    EXPECT_TRUE(fixture::SplitWords(line, words, quoted, error)) << error;
    return words;
}

Bytes Frame(const std::string &hex) {
    Bytes bytes;
    EXPECT_TRUE(fixture::ParseHex(hex, bytes)) << hex;
    return bytes;
}

// A response frame as the agent composes it: body = ack [';'] data, checksum over the body.
Bytes Response(uint8_t id, uint8_t ack, const Bytes &data) {
    Bytes body = {ack};
    if (ack == ACK_FAIL || !data.empty()) body.push_back(MSG_PARAM_SEPARATOR);
    for (uint8_t byte : data) body.push_back(byte);
    // Request and response frames share their layout.
    Bytes frame = fixture::BuildRequest(id, body);
    EXPECT_FALSE(frame.empty());
    return frame;
}

Exchange Answer(const Bytes &frame) {
    Exchange exchange;
    exchange.attempts = 1;
    exchange.status = fixture::Status::Ok;
    std::string error;
    EXPECT_TRUE(fixture::DecodeResponse(frame, exchange.response, error)) << error;
    return exchange;
}

fixture::RunOptions Options(bool keepGoing, std::ostream *progress = nullptr) {
    fixture::RunOptions options;
    options.keepGoing = keepGoing;
    options.progress = progress;
    return options;
}

Request Parse(const std::string &line) {
    Request request;
    std::string error;
    EXPECT_TRUE(fixture::ParseRequest(Words(line), request, error)) << line << ": " << error;
    return request;
}

struct FrameCase {
    const char *command;
    const char *frame;
};

TEST(FixtureArguments, EachCommandBuildsItsRequestFrame) {
    const FrameCase cases[] = {
        {"version", "3C 32 23 00 23 23 00 3E"},
        {"board-type", "3C 30 23 00 23 23 00 3E"},
        // 15 March 2024, 09:05: day, month, century, year, hour, minute.
        {"rtc-set 2024-03-15T09:05", "3C 12 23 06 23 0F 03 14 18 09 05 23 4C 3E"},
        {"rtc-set '1999-12-31 23:59'", "3C 12 23 06 23 1F 0C 13 63 17 3B 23 F3 3E"},
        {"rtc-get", "3C 14 23 00 23 23 00 3E"},
        {"can --id 0x12 --data aa:bb:cc", "3C 16 23 05 23 12 03 AA BB CC 23 46 3E"},
        {"can --id=18 --data=AABBCC", "3C 16 23 05 23 12 03 AA BB CC 23 46 3E"},
        {"can --id 7", "3C 16 23 02 23 07 00 23 07 3E"},
        {"touch", "3C 22 23 00 23 23 00 3E"},
        {"haptic-start 2", "3C 21 23 01 23 02 23 02 3E"},
        {"haptic-stop", "3C 29 23 00 23 23 00 3E"},
        {"lcd", "3C 17 23 00 23 23 00 3E"},
        {"audio", "3C 20 23 00 23 23 00 3E"},
        {"volume 200", "3C 31 23 01 23 C8 23 C8 3E"},
        {"volume 0", "3C 31 23 01 23 00 23 00 3E"},
        {"usb dir/F.TXT", "3C 15 23 09 23 64 69 72 2F 46 2E 54 58 54 23 E2 3E"},
        {"mac", "3C 19 23 00 23 23 00 3E"},
        {"bt Beacon", "3C 13 23 06 23 42 65 61 63 6F 6E 23 48 3E"},
        {"eth-static 192.168.1.50/24 --gw 192.168.1.1",
         "3C 25 23 0D 23 01 C0 A8 01 32 FF FF FF 00 C0 A8 01 01 23 03 3E"},
        {"eth-static 10.0.77.10/20 --gw 10.0.77.1",
         "3C 25 23 0D 23 01 0A 00 4D 0A FF FF F0 00 0A 00 4D 01 23 A8 3E"},
        {"eth-dhcp", "3C 25 23 0D 23 00 00 00 00 00 00 00 00 00 00 00 00 00 23 00 3E"},
        {"eth-dhcp --expect 10.0.77.10",
         "3C 25 23 0D 23 02 0A 00 4D 0A 00 00 00 00 00 00 00 00 23 63 3E"},
        {"ping 192.168.1.1", "3C 26 23 04 23 C0 A8 01 01 23 6A 3E"},
        {"wifi-ping 10.0.77.1", "3C 28 23 04 23 0A 00 4D 01 23 58 3E"},
        // Flag, an unread byte, then SSID ';' passphrase, or the SSID alone when open.
        {"wifi LAB --psk secret12",
         "3C 27 23 0E 23 01 00 4C 41 42 3B 73 65 63 72 65 74 31 32 23 F4 3E"},
        {"wifi \"My Net\"", "3C 27 23 08 23 00 00 4D 79 20 4E 65 74 23 0D 3E"},
        {"wifi-stop", "3C 33 23 00 23 23 00 3E"},
        {"raw 3C 32 23 00 23 23 01 3E", "3C 32 23 00 23 23 01 3E"},
    };
    for (const FrameCase &c : cases) {
        SCOPED_TRACE(c.command);
        Request request = Parse(c.command);
        EXPECT_EQ(fixture::Hex(request.frame), c.frame);
        EXPECT_GT(request.timeoutMs, 0);
    }
}

TEST(FixtureArguments, TimeoutsCoverWhatEachTestWaits) {
    // CAN waits up to 6 s; touch loads a driver, settles 1 s and waits up to 11 s; a ping to
    // a silent host takes about 12 s.
    EXPECT_GT(Parse("can --id 1").timeoutMs, 6000);
    EXPECT_GT(Parse("touch").timeoutMs, 13000);
    EXPECT_GT(Parse("ping 10.0.0.1").timeoutMs, 12000);
    EXPECT_GE(Parse("eth-dhcp").timeoutMs, 30000);
    EXPECT_GT(Parse("audio").timeoutMs, 3000);
    EXPECT_LE(Parse("version").timeoutMs, 5000);
}

struct RefusedCase {
    std::string command;
    const char *why;  // part of the message
};

TEST(FixtureArguments, BadArgumentsAreRefusedWithAReason) {
    const RefusedCase cases[] = {
        {"", "no command"},
        {"reboot", "unknown command"},
        {"version extra", "usage: version"},
        {"rtc-set", "usage: rtc-set"},
        {"rtc-set 2024-3-15T9:05", "YYYY-MM-DDThh:mm"},
        {"rtc-set 2024-02-30T10:00", "no such day"},
        {"rtc-set 2023-02-29T10:00", "no such day"},
        {"rtc-set 2024-13-01T10:00", "month"},
        {"rtc-set 2024-03-15T24:00", "00:00-23:59"},
        {"rtc-set 2024-03-15T10:60", "00:00-23:59"},
        {"rtc-set 1969-12-31T23:59", "year"},
        {"can", "--id is required"},
        {"can --id 256", "0-255"},
        {"can --id -1", "0-255"},
        {"can --id 1 --data 01:02:03:04:05:06:07:08:09", "at most 8"},
        {"can --id 1 --data zz", "not hex"},
        {"can --id 1 --id 2", "twice"},
        {"can --id", "needs a value"},
        {"can --id 1 --bitrate 5", "unknown option"},
        {"haptic-start", "usage"},
        {"haptic-start 0", "LEVEL"},
        {"haptic-start 4", "LEVEL"},
        {"volume 256", "0-255"},
        {"volume loud", "0-255"},
        {"usb ''", "1 to 119"},
        {"usb ../etc/passwd", "'..'"},
        {"usb a/../../b", "'..'"},
        {"usb /etc/passwd", "relative"},
        {"usb " + std::string(120, 'A'), "1 to 119"},
        {"bt " + std::string(120, 'B'), "1 to 119"},
        {"usb \"a\tb\"", "printable"},
        {"bt ''", "PATTERN"},
        {"eth-static 10.0.0.5 --gw 10.0.0.1", "ADDR/PREFIX"},
        {"eth-static 10.0.0.5/33 --gw 10.0.0.1", "ADDR/PREFIX"},
        {"eth-static 10.0.0.5/24", "--gw"},
        {"eth-static 0.1.2.3/24 --gw 10.0.0.1", "not a host address"},
        {"eth-static 10.0.0.256/24 --gw 10.0.0.1", "not an IPv4 address"},
        {"eth-static 10.0.0.5/24 --gw 10.0.0", "not an IPv4 address"},
        {"eth-dhcp --expect 1.2.3", "not an IPv4 address"},
        {"ping 1.2.3", "not an IPv4"},
        {"ping 1.2.3.4.5", "not an IPv4"},
        {"ping 1..2.3", "not an IPv4"},
        {"ping ' 1.2.3.4'", "not an IPv4"},
        {"wifi-ping 0x1.2.3.4", "not an IPv4"},
        {"wifi LAB --psk short", "8 to 63"},
        {"wifi 'a;b' --psk secret12", "cannot hold ';'"},
        {"wifi LAB --psk 'secret;12'", "without"},
        {"wifi 'say \"hi\"'", "without '\"'"},
        {"wifi ''", "1 to 32"},
        {"raw", "hex"},
        {"raw 3C 3", "hex"},
    };
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.command);
        Request request;
        std::string error;
        EXPECT_FALSE(fixture::ParseRequest(Words(c.command), request, error));
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
}

TEST(FixtureArguments, RequestsTheAgentCannotReceiveAreRefused) {
    // The agent's receiver restarts a frame at every '<' (0x3C) after the first byte.
    const char *cases[] = {
        "volume 60",                 // data byte and checksum
        "ping 10.0.0.60",            // an octet
        "rtc-set 2024-01-01T07:07",  // 1+1+20+24+7+7 = 60: the checksum alone
        "can --id 1 --data 3c",
    };
    for (const char *command : cases) {
        SCOPED_TRACE(command);
        Request request;
        std::string error;
        EXPECT_FALSE(fixture::ParseRequest(Words(command), request, error));
        EXPECT_NE(error.find("0x3C"), std::string::npos) << error;
    }
    // Raw frames are the way to send exactly that, on purpose.
    EXPECT_EQ(fixture::InnerStartByte(Parse("raw 3C 31 23 01 23 3C 23 3C 3E").frame), 5);
    EXPECT_EQ(fixture::InnerStartByte(Frame("3C 32 23 00 23 23 00 3C")), -1) << "last byte";
}

struct DecodeCase {
    const char *name;
    const char *command;
    Bytes frame;
    Outcome outcome;
    const char *value;    // expected Result::value (pass only)
    const char *summary;  // part of the summary
};

TEST(FixtureDecoding, EveryResponseKindReadsAsAPersonWould) {
    const DecodeCase cases[] = {
        {"version", "version", Frame("3C 32 23 05 23 00 3B 05 00 00 23 40 3E"), Outcome::Pass,
         "5.0.0", "version 5.0.0"},
        // The TVK response's checksum is 0x3C, the start byte: it is data here.
        {"board type TVK", "board-type", Frame("3C 30 23 03 23 00 3B 01 23 3C 3E"), Outcome::Pass,
         "TVK", "board type TVK"},
        {"board type RDMX", "board-type", Frame("3C 30 23 03 23 00 3B 00 23 3B 3E"), Outcome::Pass,
         "RDMX", "RDMX"},
        {"board type unknown code", "board-type", Response(0x30, 0, {7}), Outcome::Error, "",
         "unknown board type code 7"},
        {"board type not found", "board-type", Frame("3C 30 23 03 23 01 3B 05 23 41 3E"),
         Outcome::Fail, "", "board type could not be read"},
        {"clock", "rtc-get", Response(0x14, 0, {15, 3, 20, 24, 9, 5}), Outcome::Pass,
         "2024-03-15T09:05", "clock reads 2024-03-15T09:05"},
        {"clock month not recognised", "rtc-get", Response(0x14, 0, {1, 13, 20, 24, 0, 0}),
         Outcome::Pass, "2024-?\?-01T00:00", "month not recognised"},
        {"clock set and read back", "rtc-set 2024-03-15T09:05",
         Response(0x12, 0, {15, 3, 20, 24, 9, 6}), Outcome::Pass, "2024-03-15T09:06",
         "clock reads 2024-03-15T09:06"},
        {"clock read back differs", "rtc-set 2024-03-15T09:05",
         Response(0x12, 0, {1, 1, 19, 70, 0, 0}), Outcome::Pass, "1970-01-01T00:00",
         "differs from the time set"},
        {"CAN frame back", "can --id 0x12 --data aa:bb:cc",
         Frame("3C 16 23 07 23 00 3B 12 03 AA BB CC 23 81 3E"), Outcome::Pass, "0x12#aa:bb:cc",
         "id 0x12, 3 bytes: aa:bb:cc"},
        {"CAN length byte and data disagree", "can --id 0x12", Response(0x16, 0, {0x12, 3, 1}),
         Outcome::Error, "", "does not match its length byte"},
        {"touch", "touch", Response(0x22, 0, {0x01, 0x23, 0x04, 0x56}), Outcome::Pass, "291,1110",
         "X 291 Y 1110"},
        {"volume", "volume 200", Response(0x31, 0, {200}), Outcome::Pass, "200",
         "volume set to 200"},
        {"volume echo differs", "volume 200", Response(0x31, 0, {20}), Outcome::Pass, "20",
         "requested 200"},
        {"MAC", "mac",
         Response(0x19, 0, {0x00, 0x3A, 0x1A, 0x3A, 0x2B, 0x3A, 0x3C, 0x3A, 0x4D, 0x3A, 0x5E}),
         Outcome::Pass, "00:1a:2b:3c:4d:5e", "MAC 00:1a:2b:3c:4d:5e"},
        {"MAC of an empty address file", "mac", Response(0x19, 0, Bytes(11, 0)), Outcome::Pass,
         "00:00:00:00:00:00", "not in address form"},
        {"Bluetooth", "bt Beacon",
         Response(0x13, 0, {0x00, 0x3A, 0x1A, 0x3A, 0x7D, 0x3A, 0xDA, 0x3A, 0x71, 0x3A, 0x13}),
         Outcome::Pass, "00:1a:7d:da:71:13", "Bluetooth device 00:1a:7d:da:71:13"},
        {"Ethernet address", "eth-dhcp", Response(0x25, 0, {10, 0, 77, 10}), Outcome::Pass,
         "10.0.77.10", "eth0 address 10.0.77.10"},
        {"Wi-Fi address", "wifi LAB", Response(0x27, 0, {192, 168, 1, 20}), Outcome::Pass,
         "192.168.1.20", "wlan0 address 192.168.1.20"},
        {"ping 1234 ms", "ping 10.0.0.1", Response(0x26, 0, {0, 0, 4, 210}), Outcome::Pass, "1234",
         "round trip 1234 ms"},
        {"ping below a millisecond", "wifi-ping 10.0.0.1", Response(0x28, 0, {0, 0, 0, 0}),
         Outcome::Pass, "0", "round trip 0 ms"},
        {"ping failed", "ping 10.0.0.1", Frame("3C 26 23 03 23 01 3B 05 23 41 3E"), Outcome::Fail,
         "", "no echo reply from the host"},
        {"file missing", "usb F.TXT", Response(0x15, 1, {5}), Outcome::Fail, "",
         "file not on the stick"},
        {"no touch", "touch", Response(0x22, 1, {5}), Outcome::Fail, "",
         "no touch within the window"},
        {"clock broken", "rtc-set 2024-03-15T09:05", Response(0x12, 1, {5}), Outcome::Fail, "",
         "the clock could not be read or set"},
        {"pass without data", "lcd", Frame("3C 17 23 01 23 00 23 00 3E"), Outcome::Pass, "",
         "test image shown"},
        {"pass with unexpected data", "lcd", Response(0x17, 0, {1}), Outcome::Error, "",
         "1 data bytes, expected 0"},
        {"version too short", "version", Response(0x32, 0, {5, 0}), Outcome::Error, "",
         "expected 3"},
        {"not supported", "wifi-stop", Frame("3C 33 23 03 23 01 3B 00 23 3C 3E"), Outcome::Error,
         "", "not supported"},
        {"agent saw a wrong checksum", "version", Frame("3C 32 23 03 23 01 3B 01 23 3D 3E"),
         Outcome::Error, "", "wrong checksum"},
        {"agent saw a malformed frame", "version", Frame("3C 32 23 03 23 01 3B 02 23 3E 3E"),
         Outcome::Error, "", "malformed frame"},
        {"answer to another command", "version", Frame("3C 30 23 03 23 00 3B 01 23 3C 3E"),
         Outcome::Error, "", "command id 0x30"},
        {"unknown ack", "version", Frame("3C 32 23 01 23 07 23 07 3E"), Outcome::Error, "",
         "unknown ack"},
        {"raw shows the bytes", "raw 3C 32 23 00 23 23 00 3E",
         Frame("3C 32 23 05 23 00 3B 05 00 00 23 40 3E"), Outcome::Pass, "05 00 00", "ack 0"},
        {"raw error response", "raw 3C 32 23 00 23 23 01 3E",
         Frame("3C 32 23 03 23 01 3B 01 23 3D 3E"), Outcome::Error, "", "wrong checksum"},
    };
    for (const DecodeCase &c : cases) {
        SCOPED_TRACE(c.name);
        Request request = Parse(c.command);
        Result result = fixture::DecodeExchange(request, Answer(c.frame));
        EXPECT_EQ(result.outcome, c.outcome) << result.summary;
        if (c.outcome == Outcome::Pass) {
            EXPECT_EQ(result.value, c.value);
        }
        EXPECT_NE(result.summary.find(c.summary), std::string::npos) << result.summary;
    }
}

TEST(FixtureDecoding, NoUsableAnswerIsAnError) {
    Request request = Parse("version");
    Exchange timeout;
    timeout.status = fixture::Status::Timeout;
    timeout.attempts = 2;
    timeout.error = "no response within 3000 ms";
    Result result = fixture::DecodeExchange(request, timeout);
    EXPECT_EQ(result.outcome, Outcome::Error);
    EXPECT_EQ(result.summary, "no response within 3000 ms (sent 2 times)");

    Exchange bad;
    bad.status = fixture::Status::BadFrame;
    bad.attempts = 1;
    bad.error = "wrong checksum";
    bad.response.raw = Frame("3C 32 23 01 23 00 23 07 3E");
    result = fixture::DecodeExchange(request, bad);
    EXPECT_EQ(result.outcome, Outcome::Error);
    EXPECT_NE(result.summary.find("bad response frame: wrong checksum: 3C 32 23 01"),
              std::string::npos)
        << result.summary;
}

TEST(FixtureDecoding, NumbersAndJsonFields) {
    Result ping = fixture::DecodeExchange(Parse("ping 10.0.0.1"),
                                          Answer(Response(0x26, 0, {0x01, 0x00, 0x00, 0x00})));
    ASSERT_TRUE(ping.number.has_value());
    EXPECT_EQ(*ping.number, 16777216);
    Result touch = fixture::DecodeExchange(Parse("touch"),
                                           Answer(Response(0x22, 0, {0xFF, 0xFF, 0x00, 0x00})));
    touch.summary = "a\"b\\c\n\x01\xff";  // what a board may send, bytes beyond UTF-8 too
    const auto json = nlohmann::json::parse(fixture::JsonResult(Parse("touch"), touch, Exchange{}));
    EXPECT_EQ(json["x"], 65535);
    EXPECT_EQ(json["y"], 0);
    EXPECT_TRUE(json["ms"].is_number());
    EXPECT_EQ(json["result"], "PASS");
    EXPECT_EQ(json["summary"], "a\"b\\c\n\x01\xEF\xBF\xBD");  // U+FFFD
    EXPECT_EQ(nlohmann::json::parse(fixture::JsonError("usage: volume VALUE"))["result"], "ERROR");
}

// ---------------------------------------------------------------- plans

TEST(FixturePlan, LinesCommentsQuotesAndLimits) {
    const std::string text =
        "# production plan\n"
        "\n"
        "version   expect=5.0.0   # the agent's version\n"
        "ping 10.0.77.1 max_ms=50 min_ms=0\r\n"
        "bt \"name=with # and blanks\"\n"
        "wifi 'Lab Net' --psk 'pass=word1' timeout_ms=120000\n"
        "volume 200 min=100 max=255\n"
        "can --id 0x12 --data aa:bb expect=0x12#aa:bb #comment\n";
    fixture::Plan plan;
    std::vector<std::string> errors;
    ASSERT_TRUE(fixture::ParsePlan(text, "sample", plan, errors)) << errors.front();
    ASSERT_EQ(plan.steps.size(), 6u);
    EXPECT_EQ(plan.steps[0].line, 3);
    EXPECT_EQ(plan.steps[0].text, "version");
    EXPECT_EQ(plan.steps[0].expectation.expect.value_or(""), "5.0.0");
    EXPECT_EQ(plan.steps[1].expectation.max.value_or(-1), 50);
    EXPECT_EQ(plan.steps[1].expectation.min.value_or(-1), 0);
    // Quoted words are arguments, never limits, and '#' inside quotes is no comment.
    EXPECT_EQ(plan.steps[2].text, "bt \"name=with # and blanks\"");
    EXPECT_EQ(fixture::Hex(plan.steps[2].request.frame).substr(0, 20), "3C 13 23 16 23 6E 61");
    EXPECT_EQ(plan.steps[3].request.timeoutMs, 120000);
    EXPECT_FALSE(plan.steps[3].expectation.expect.has_value());
    EXPECT_EQ(plan.steps[4].expectation.min.value_or(-1), 100);
    // '#' inside a word is no comment.
    EXPECT_EQ(plan.steps[5].expectation.expect.value_or(""), "0x12#aa:bb");
}

TEST(FixturePlan, EveryBadLineIsReportedBeforeAnythingRuns) {
    const std::string text =
        "version\n"
        "volume 300\n"
        "lcd expect=ok\n"
        "mac max=3\n"
        "ping 10.0.0.1 max_ms=fast\n"
        "bt \"unterminated\n"
        "frobnicate\n";
    fixture::Plan plan;
    std::vector<std::string> errors;
    EXPECT_FALSE(fixture::ParsePlan(text, "bad", plan, errors));
    ASSERT_EQ(errors.size(), 6u);
    EXPECT_EQ(errors[0].rfind("line 2: volume", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1].rfind("line 3: lcd gives no reading", 0), 0u) << errors[1];
    EXPECT_EQ(errors[2].rfind("line 4: mac gives no number", 0), 0u) << errors[2];
    EXPECT_EQ(errors[3].rfind("line 5: max_ms=fast", 0), 0u) << errors[3];
    EXPECT_EQ(errors[4].rfind("line 6: unterminated", 0), 0u) << errors[4];
    EXPECT_EQ(errors[5].rfind("line 7: unknown command", 0), 0u) << errors[5];

    EXPECT_FALSE(fixture::ParsePlan("# nothing\n\n", "empty", plan, errors));
    EXPECT_EQ(errors.front(), "the plan has no steps");
}

TEST(FixturePlan, ExpectationsTurnAPassIntoAFail) {
    struct {
        const char *name;
        fixture::Expectation expectation;
        const char *value;
        double number;
        Outcome outcome;
    } cases[] = {
        {"same reading, other case",
         {"02:00:00:00:00:0A", {}, {}},
         "02:00:00:00:00:0a",
         0,
         Outcome::Pass},
        {"other reading", {"TVK", {}, {}}, "RDMX", 0, Outcome::Fail},
        {"at the maximum", {{}, {}, 50.0}, "50", 50, Outcome::Pass},
        {"above the maximum", {{}, {}, 50.0}, "51", 51, Outcome::Fail},
        {"below the minimum", {{}, 10.0, {}}, "9", 9, Outcome::Fail},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Result result;
        result.outcome = Outcome::Pass;
        result.value = c.value;
        result.number = c.number;
        fixture::ApplyExpectation(c.expectation, result);
        EXPECT_EQ(result.outcome, c.outcome) << result.summary;
        if (c.outcome == Outcome::Fail) {
            EXPECT_FALSE(result.error.empty());
        }
    }
    Result failed;
    failed.outcome = Outcome::Error;
    fixture::ApplyExpectation({"x", {}, {}}, failed);
    EXPECT_EQ(failed.outcome, Outcome::Error) << "an error stays an error";
}

// A board that answers each command from a script, and records what it was asked.
struct ScriptedBoard {
    std::vector<std::string> asked;
    std::function<Bytes(const Request &)> answer;
    Exchange operator()(const Request &request) {
        asked.push_back(request.def->name);
        Bytes frame = answer(request);
        if (frame.empty()) {
            Exchange timeout;
            timeout.status = fixture::Status::Timeout;
            timeout.attempts = 2;
            timeout.error = "no response";
            return timeout;
        }
        return Answer(frame);
    }
};

fixture::Plan SamplePlan() {
    fixture::Plan plan;
    std::vector<std::string> errors;
    EXPECT_TRUE(
        fixture::ParsePlan("version\n"
                           "board-type expect=TVK\n"
                           "ping 10.0.0.1 max_ms=50\n"
                           "lcd\n",
                           "line-3 <board>", plan, errors));
    return plan;
}

Bytes PassingAnswer(const Request &request) {
    const uint8_t id = request.frame[1];
    switch (id) {
        case 0x32:
            return Response(id, 0, {5, 0, 0});
        case 0x30:
            return Response(id, 0, {0});  // RDMX, where the plan expects TVK
        case 0x26:
            return Response(id, 0, {0, 0, 0, 7});
        default:
            return Response(id, 0, {});
    }
}

TEST(FixturePlan, StopsAtTheFirstFailureUnlessToldToKeepGoing) {
    fixture::Plan plan = SamplePlan();
    std::ostringstream progress;
    ScriptedBoard board{{}, PassingAnswer};
    auto results = fixture::RunPlan(plan, std::ref(board), Options(false, &progress));
    EXPECT_EQ(board.asked, (std::vector<std::string>{"version", "board-type"}));
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[1].result.outcome, Outcome::Fail);
    EXPECT_EQ(results[1].result.summary, "expected TVK, got RDMX");
    EXPECT_FALSE(results[2].ran);
    EXPECT_EQ(fixture::OverallOutcome(results), Outcome::Fail);
    EXPECT_NE(progress.str().find("[2/4] board-type ... FAIL  expected TVK, got RDMX"),
              std::string::npos)
        << progress.str();

    ScriptedBoard all{{}, PassingAnswer};
    results = fixture::RunPlan(plan, std::ref(all), Options(true));
    EXPECT_EQ(all.asked.size(), 4u);
    EXPECT_TRUE(results[3].ran);
    EXPECT_EQ(results[2].result.outcome, Outcome::Pass);
    EXPECT_EQ(results[3].result.outcome, Outcome::Pass);

    std::ostringstream table;
    fixture::PrintResultsTable(table, results);
    EXPECT_NE(table.str().find("ping 10.0.0.1"), std::string::npos);
    EXPECT_NE(table.str().find("7 ms"), std::string::npos) << table.str();
    EXPECT_NE(table.str().find("4 steps: 3 passed, 1 failed, 0 errors, 0 not run"),
              std::string::npos)
        << table.str();
}

TEST(FixturePlan, AnErrorOutranksAFail) {
    fixture::Plan plan = SamplePlan();
    ScriptedBoard board{{}, [](const Request &request) {
                            return request.frame[1] == 0x26 ? Bytes{} : PassingAnswer(request);
                        }};
    auto results = fixture::RunPlan(plan, std::ref(board), Options(true));
    EXPECT_EQ(results[2].result.outcome, Outcome::Error);
    EXPECT_EQ(results[2].attempts, 2);
    EXPECT_EQ(fixture::OverallOutcome(results), Outcome::Error);
}

size_t Count(const std::string &text, const std::string &needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST(FixturePlan, JUnitReportCountsAndEscapes) {
    fixture::Plan plan = SamplePlan();
    ScriptedBoard board{{}, PassingAnswer};
    auto results = fixture::RunPlan(plan, std::ref(board), Options(false));
    std::string xml =
        fixture::JUnitReport(plan, results, {"host&1", "2024-03-15T09:05:00", "/dev/x"});
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites", 0), 0u);
    EXPECT_NE(xml.find("<testsuite name=\"line-3 &lt;board&gt;\" tests=\"4\" failures=\"1\" "
                       "errors=\"0\" skipped=\"2\""),
              std::string::npos)
        << xml;
    EXPECT_EQ(Count(xml, "<testcase "), 4u);
    EXPECT_EQ(Count(xml, "</testcase>"), 4u);
    EXPECT_EQ(Count(xml, "<failure "), 1u);
    EXPECT_EQ(Count(xml, "<skipped "), 2u);
    EXPECT_NE(xml.find("message=\"expected TVK, got RDMX\""), std::string::npos);
    EXPECT_NE(xml.find("hostname=\"host&amp;1\""), std::string::npos);
    EXPECT_EQ(xml.find("<board>"), std::string::npos) << "raw markup leaked";
    EXPECT_EQ(fixture::XmlEscape("a<b>&\"c'\x01"), "a&lt;b&gt;&amp;&quot;c&apos;?");

    std::string json = fixture::JsonReport(plan, results);
    EXPECT_NE(json.find("\"result\":\"FAIL\",\"steps\""), std::string::npos) << json;
    EXPECT_EQ(Count(json, "\"result\":\"NOT RUN\""), 2u);
}

TEST(FixturePlan, APassphraseIsNeverShown) {
    const std::string secret = "pass=word1";
    const std::string secretHex = "70 61 73 73 3D 77 6F 72 64 31";
    fixture::Plan plan;
    std::vector<std::string> errors;
    // The third step's failure would read "expected <secret>, got 5.0.0".
    ASSERT_TRUE(fixture::ParsePlan("wifi LAB --psk " + secret + "\nwifi LAB --psk=" + secret +
                                       "\nversion expect=" + secret + "\n",
                                   "wifi", plan, errors));
    std::ostringstream progress;
    ScriptedBoard board{
        {}, [](const Request &r) {
            return r.frame[1] == 0x32 ? Response(0x32, 0, {5, 0, 0}) : Response(r.frame[1], 1, {5});
        }};
    auto results = fixture::RunPlan(plan, std::ref(board), Options(true, &progress));
    std::ostringstream table;
    fixture::PrintResultsTable(table, results);
    const Request &request = plan.steps[0].request;
    const std::string shown[] = {
        progress.str(),
        table.str(),
        fixture::JUnitReport(plan, results, {"h", "t", "p"}),
        fixture::JsonReport(plan, results),
        fixture::JsonResult(request, results[0].result, Exchange{}),
    };
    for (const std::string &text : shown) {
        EXPECT_EQ(text.find(secret), std::string::npos) << text;
        EXPECT_EQ(text.find(secretHex), std::string::npos) << text;
        EXPECT_NE(text.find("--psk"), std::string::npos) << "the step is still named: " << text;
    }
    EXPECT_EQ(plan.steps[0].text, "wifi LAB --psk ***");
    EXPECT_EQ(plan.steps[1].text, "wifi LAB --psk=***");
    // On the line it goes whole; only what is shown is masked.
    EXPECT_NE(fixture::Hex(request.frame).find(secretHex), std::string::npos);
    EXPECT_EQ(fixture::RequestHex(request), "3C 27 23 10 23 01 00 4C 41 42 3B " +
                                                std::string("** ** ** ** ** ** ** ** ** **") +
                                                " 23 EC 3E");
    EXPECT_NE(results[0].result.summary.find("could not join"), std::string::npos);
}

}  // namespace
