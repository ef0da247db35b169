// RS-485 transport to the fixture: one frame out, one frame in, port opened anew each time.
#pragma once

#include <cstdint>

constexpr const char *SERIAL_PORT_PATH = "/dev/ttyS2";

// The port every send and receive opens; tests of the transport point it at a pty.
extern const char *rs485PortPath;

// Logged each time the port is open and flushed again: simulators and tests wait for it before
// they send, since a request sent earlier is flushed away.
constexpr char RS485_LISTENING_TEXT[] = "Reading (hit q, return to quit)";

int ModbusSend(const uint8_t *RequestData, uint8_t length);

// 1: complete frame, framing good; 2: complete frame, framing wrong; 0: abandoned (too long).
int ModbusRecieve(uint8_t *Response);

// The collection state machine behind ModbusRecieve, fed one byte at a time by `nextByte`
// (returns 1 with a byte, 0 when there will be no more). Returns as ModbusRecieve, or -1
// when the source ran dry mid-frame.
using RS485ByteSource = int (*)(void *context, uint8_t *byte);
int RS485CollectFrame(RS485ByteSource nextByte, void *context, uint8_t *Response);
