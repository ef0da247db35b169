// Frame codec and dispatcher of the fixture link.
#pragma once

#include <cstdint>

#include "CommonDef.h"
#include "Protocol.h"

extern stRecvPkt recvPkt;
extern stResponsePkt respPkt;

uint8_t CalcCheckSum(const uint8_t *message, uint8_t length);
int ParseAndValidatePkt(const uint8_t *dataPkt);
// Composes the response from respPkt into the body fields (length, checksum, cmdID).
void ComposeResponse();
uint8_t BuildSerialPkt(uint8_t *message);
uint8_t CreateAndSendResponse();

struct stCommand {
    uint8_t cmdID;
    TestHandler handler;
};

// nullptr for an id without a handler.
TestHandler FindHandler(uint8_t cmdID);

// One exchange after the frame has been received: parse, run the handler, compose.
// The loop sends what this leaves in respPkt.
void DispatchFrame(const uint8_t *frame);

uint8_t MsgHandler();
