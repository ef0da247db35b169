// Records and codes shared by the fixture link and every test handler.
#pragma once

#include <cstdint>

constexpr int PKT_DATA_SIZE = 128;
// A frame plus its trailing zero byte must fit 128 bytes.
constexpr int MAX_BODY_LENGTH = 119;
constexpr int MAX_FRAME_SIZE = 128;

struct stRecvPkt {
    uint8_t cmdID;
    uint8_t length;
    uint8_t data[PKT_DATA_SIZE];
    uint8_t checksum;
};

struct stResponsePkt {
    uint8_t cmdID;
    uint8_t length;
    uint8_t ack;
    uint8_t data[PKT_DATA_SIZE];
    uint8_t checksum;
};

enum TEST_FAIL_ERROR_CODE : int {
    NO_ERROR = -1,
    ERR_CODE_CMD_NOT_SUPPORTED = 0,
    ERR_CODE_WRONG_CHECKSUM = 1,
    ERR_CODE_WRONG_MSG_FORMAT = 2,
    ERR_CODE_WRONG_CHECKSUM_OR_MSG_FORMAT = 3,
    ERR_CODE_TEST_TIMED_OUT = 4,
    ERR_CODE_TEST_FAILED = 5,
};

constexpr uint8_t ACK_PASS = 0;
constexpr uint8_t ACK_FAIL = 1;

// Handlers end in one of these two forms; the dispatcher adds the error form.
inline void SetPassResponse(stResponsePkt *respPkt, uint8_t count) {
    respPkt->ack = ACK_PASS;
    respPkt->length = count;
}

inline void SetFailResponse(stResponsePkt *respPkt) {
    respPkt->ack = ACK_FAIL;
    respPkt->length = 1;
    respPkt->data[0] = ERR_CODE_TEST_FAILED;
}

using TestHandler = void (*)(stRecvPkt *recvPkt, stResponsePkt *respPkt);

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
