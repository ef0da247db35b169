// Records and codes shared by the fixture link and every test handler.
#pragma once

#include <cstdint>

#include "Protocol.h"

constexpr int PKT_DATA_SIZE = 128;

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
