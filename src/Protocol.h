// The fixture link's wire, for both ends: '<' id '#' L '#' body (L bytes) '#' checksum '>'.
// The agent and the fixture library each keep their own codec; only these facts are shared.
#pragma once

#include <cstdint>

constexpr uint8_t MSG_START_DESCRIPTOR = 60;  // '<'
constexpr uint8_t MSG_END_DESCRIPTOR = 62;    // '>'
constexpr uint8_t MSG_FIELD_DESCRIPTOR = 35;  // '#'
constexpr uint8_t MSG_PARAM_SEPARATOR = 59;   // ';'

// Where each part of a frame sits; the trailer follows the L body bytes.
constexpr int FRAME_START_OFFSET = 0;
constexpr int FRAME_CMD_OFFSET = 1;
constexpr int FRAME_FIELD1_OFFSET = 2;
constexpr int FRAME_LENGTH_OFFSET = 3;
constexpr int FRAME_FIELD2_OFFSET = 4;
constexpr int FRAME_HEADER_SIZE = 5;   // '<' id '#' L '#': the body starts here
constexpr int FRAME_TRAILER_SIZE = 3;  // '#' checksum '>'
constexpr int FRAME_OVERHEAD = FRAME_HEADER_SIZE + FRAME_TRAILER_SIZE;
// Offsets of the trailer's bytes in a frame whose body is `length` bytes.
constexpr int FrameField3Offset(int length) {
    return FRAME_HEADER_SIZE + length;
}
constexpr int FrameChecksumOffset(int length) {
    return FRAME_HEADER_SIZE + length + 1;
}
constexpr int FrameEndOffset(int length) {
    return FRAME_HEADER_SIZE + length + 2;
}

// A frame plus its trailing zero byte must fit 128 bytes.
constexpr int MAX_BODY_LENGTH = 119;
constexpr int MAX_FRAME_SIZE = 128;
static_assert(MAX_BODY_LENGTH + FRAME_OVERHEAD + 1 == MAX_FRAME_SIZE);

// A response body is the ack, then (see each end's codec for when) ';' and the data.
constexpr uint8_t ACK_PASS = 0;
constexpr uint8_t ACK_FAIL = 1;

enum TEST_FAIL_ERROR_CODE : int {
    NO_ERROR = -1,
    ERR_CODE_CMD_NOT_SUPPORTED = 0,
    ERR_CODE_WRONG_CHECKSUM = 1,
    ERR_CODE_WRONG_MSG_FORMAT = 2,
    ERR_CODE_WRONG_CHECKSUM_OR_MSG_FORMAT = 3,
    ERR_CODE_TEST_TIMED_OUT = 4,
    ERR_CODE_TEST_FAILED = 5,
};

// Command ids.
enum : uint8_t {
    CMD_RTC_SET = 0x12,
    CMD_BLUETOOTH = 0x13,
    CMD_RTC_GET = 0x14,
    CMD_USB = 0x15,
    CMD_CAN = 0x16,
    CMD_LCD = 0x17,
    CMD_MAC_ADDRESS = 0x19,
    CMD_AUDIO = 0x20,
    CMD_HAPTIC_START = 0x21,
    CMD_TOUCH_SCREEN = 0x22,
    CMD_ETHERNET_CONFIG = 0x25,
    CMD_ETHERNET_PING = 0x26,
    CMD_WIFI_CONFIG = 0x27,
    CMD_WIFI_PING = 0x28,
    CMD_HAPTIC_STOP = 0x29,
    CMD_BOARD_TYPE = 0x30,
    CMD_VOLUME_SET = 0x31,
    CMD_VERSION = 0x32,
    CMD_WIFI_STOP = 0x33,
};
