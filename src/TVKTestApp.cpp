#include "TVKTestApp.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"
#include "RS485lib.h"
#include "TestAudio.h"
#include "TestBluetooth.h"
#include "TestBoardType.h"
#include "TestCAN.h"
#include "TestEthernet.h"
#include "TestHapticDriver.h"
#include "TestLCD.h"
#include "TestMacAddr.h"
#include "TestRTC.h"
#include "TestTouchScreen.h"
#include "TestUSB.h"
#include "TestVersion.h"
#include "TestWifi.h"

stRecvPkt recvPkt;
stResponsePkt respPkt;

namespace {

const stCommand kCommandTable[] = {
    {CMD_RTC_SET, TestRTCCurTime},
    {CMD_BLUETOOTH, TestBluetooth},
    {CMD_RTC_GET, TestRTCGetCurTime},
    {CMD_USB, TestUSB},
    {CMD_CAN, TestCAN},
    {CMD_LCD, TestLCD},
    {CMD_MAC_ADDRESS, TestMacAddr},
    {CMD_AUDIO, TestAudio},
    {CMD_HAPTIC_START, TestHapticDriverStart},
    {CMD_TOUCH_SCREEN, TestTouchScreen},
    {CMD_ETHERNET_CONFIG, TestEthernetConfiguration},
    {CMD_ETHERNET_PING, TestEthernetPing},
    {CMD_WIFI_CONFIG, TestWifiConfiguration},
    {CMD_WIFI_PING, TestWifiPing},
    {CMD_HAPTIC_STOP, TestHapticDriverStop},
    {CMD_BOARD_TYPE, TestBoardType},
    {CMD_VOLUME_SET, TestVolumeSet},
    {CMD_VERSION, TestVersion},
    {CMD_WIFI_STOP, TestWifiStop},
};

void SetErrorResponse(uint8_t code) {
    respPkt.length = 1;
    respPkt.ack = ACK_FAIL;
    respPkt.data[0] = code;
    respPkt.cmdID = recvPkt.cmdID;
}

}  // namespace

uint8_t CalcCheckSum(const uint8_t *message, uint8_t length) {
    uint8_t sum = 0;
    for (unsigned i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + message[i]);
    LOG_DEBUG("checksum : %x", sum);
    return sum;
}

int ParseAndValidatePkt(const uint8_t *dataPkt) {
    std::memset(recvPkt.data, 0, sizeof recvPkt.data);
    if (dataPkt[FRAME_START_OFFSET] != MSG_START_DESCRIPTOR) return ERR_CODE_WRONG_MSG_FORMAT;
    recvPkt.cmdID = dataPkt[FRAME_CMD_OFFSET];
    if (dataPkt[FRAME_FIELD1_OFFSET] != MSG_FIELD_DESCRIPTOR) return ERR_CODE_WRONG_MSG_FORMAT;
    recvPkt.length = dataPkt[FRAME_LENGTH_OFFSET];
    if (dataPkt[FRAME_FIELD2_OFFSET] != MSG_FIELD_DESCRIPTOR) return ERR_CODE_WRONG_MSG_FORMAT;
    const uint8_t length = recvPkt.length;
    if (length > MAX_BODY_LENGTH) return ERR_CODE_WRONG_MSG_FORMAT;
    std::memcpy(recvPkt.data, dataPkt + FRAME_HEADER_SIZE, length);
    if (dataPkt[FrameField3Offset(length)] != MSG_FIELD_DESCRIPTOR) {
        return ERR_CODE_WRONG_MSG_FORMAT;
    }
    recvPkt.checksum = dataPkt[FrameChecksumOffset(length)];
    if (recvPkt.checksum != CalcCheckSum(recvPkt.data, length)) return ERR_CODE_WRONG_CHECKSUM;
    if (dataPkt[FrameEndOffset(length)] != MSG_END_DESCRIPTOR) return ERR_CODE_WRONG_MSG_FORMAT;
    return NO_ERROR;
}

void ComposeResponse() {
    uint8_t body[MAX_FRAME_SIZE];
    std::memset(body, 0, sizeof body);
    body[0] = respPkt.ack;
    unsigned count = respPkt.length;
    unsigned start = 1;
    if ((respPkt.ack == ACK_PASS && count != 0) || respPkt.ack == ACK_FAIL) {
        body[1] = MSG_PARAM_SEPARATOR;
        start = 2;
    }
    // Handlers stay far below the limit; the clamp keeps a stray count inside the frame.
    if (start + count > MAX_BODY_LENGTH) count = MAX_BODY_LENGTH - start;
    std::memcpy(body + start, respPkt.data, count);
    const uint8_t length = static_cast<uint8_t>(start + count);
    respPkt.length = length;
    respPkt.checksum = CalcCheckSum(body, length);
    respPkt.cmdID = recvPkt.cmdID;
}

uint8_t BuildSerialPkt(uint8_t *message) {
    const uint8_t length = respPkt.length;
    message[FRAME_START_OFFSET] = MSG_START_DESCRIPTOR;
    message[FRAME_CMD_OFFSET] = respPkt.cmdID;
    message[FRAME_FIELD1_OFFSET] = MSG_FIELD_DESCRIPTOR;
    message[FRAME_LENGTH_OFFSET] = length;
    message[FRAME_FIELD2_OFFSET] = MSG_FIELD_DESCRIPTOR;
    unsigned offset = FRAME_HEADER_SIZE;
    message[offset++] = respPkt.ack;
    unsigned count = 0;
    if ((length > 1 && respPkt.ack == ACK_PASS) || respPkt.ack == ACK_FAIL) {
        message[offset++] = MSG_PARAM_SEPARATOR;
        count = length >= 2 ? length - 2u : 0u;
    } else {
        count = length >= 1 ? length - 1u : 0u;
    }
    std::memcpy(message + offset, respPkt.data, count);
    offset += count;
    message[offset++] = MSG_FIELD_DESCRIPTOR;
    message[offset++] = respPkt.checksum;
    message[offset++] = MSG_END_DESCRIPTOR;
    message[offset] = 0;
    return static_cast<uint8_t>(offset);
}

uint8_t CreateAndSendResponse() {
    ComposeResponse();
    uint8_t frame[MAX_FRAME_SIZE];
    std::memset(frame, 0, sizeof frame);
    uint8_t count = BuildSerialPkt(frame);
    ModbusSend(frame, count);
    return 0;
}

TestHandler FindHandler(uint8_t cmdID) {
    for (const stCommand &command : kCommandTable) {
        if (command.cmdID == cmdID) return command.handler;
    }
    return nullptr;
}

void DispatchFrame(const uint8_t *frame) {
    PlatformTakeTimedOut();  // a command of an earlier exchange is not this one's
    int code = ParseAndValidatePkt(frame);
    std::memset(respPkt.data, 0, sizeof respPkt.data);
    if (code != NO_ERROR) {
        SetErrorResponse(static_cast<uint8_t>(code));
        return;
    }
    TestHandler handler = FindHandler(recvPkt.cmdID);
    if (handler == nullptr) {
        SetErrorResponse(ERR_CODE_CMD_NOT_SUPPORTED);
        return;
    }
    handler(&recvPkt, &respPkt);
    // A board tool that had to be killed is no pass, whatever the handler made of it.
    if (PlatformTakeTimedOut() && respPkt.ack == ACK_PASS) {
        SetFailResponse(&respPkt);
        LOG_INFO("a board command timed out: test fail");
    }
}

uint8_t MsgHandler() {
    CANinit();
    InitHapticDriver();
    uint8_t buffer[MAX_FRAME_SIZE];
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        ModbusRecieve(buffer);
        DispatchFrame(buffer);
        std::fflush(nullptr);
        CreateAndSendResponse();
    }
}

#ifndef TVK_NO_MAIN
int main() {
    // The log reader (the init script pipes standard error to logger) may end; a log line
    // that cannot be written is lost, the agent goes on.
    std::signal(SIGPIPE, SIG_IGN);
    MsgHandler();
}
#endif
