#include "TestCAN.h"

#include <libsocketcan.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "CAnInit.h"
#include "Log.h"
#include "SecondWindow.h"

char dev_name[5] = "can0";
thdata descriptor;
pthread_t canreceive;
stRecvPkt canPkt;
char CANdataRec[CAN_DATA_REC_SIZE];
std::atomic<int> canDataReceivedFlag{0};

namespace {

constexpr unsigned CAN_BITRATE = 500000;
constexpr int CAN_MAX_DATA = 8;
// The reply window is over once the whole-second clock shows more than this since the send.
constexpr int CAN_REPLY_WINDOW_SECONDS = 5;
// Filter 1 admits every frame; filter 0 is kept from the board's original set-up.
constexpr canid_t CAN_FILTER0_ID = 0x400;
constexpr canid_t CAN_FILTER0_MASK = 0xFFFF;
// A failing read is retried, but not in a tight loop on a single-core board.
constexpr auto CAN_READ_RETRY_DELAY = std::chrono::milliseconds(100);
// The shortest sleep while the window is ending.
constexpr int64_t CAN_SHORTEST_WAIT_MS = 2;

static_assert(sizeof(can_frame) == 16, "a classic CAN frame is 16 bytes on the socket");

// Arming, filling and clearing of canPkt/CANdataRec/flag happen under this lock; the reply
// is then read without it, since the receive thread leaves the record alone while the flag is 1.
// The receive thread is never stopped, so these must outlive static destruction at exit.
std::mutex &canLock = *new std::mutex;
std::condition_variable &canReplied = *new std::condition_variable;
// Main thread only.
bool canReceiverStarted = false;

void ClearCanState() {
    std::lock_guard<std::mutex> guard(canLock);
    std::memset(CANdataRec, 0, sizeof CANdataRec);
    std::memset(&canPkt, 0, sizeof canPkt);
    canDataReceivedFlag.store(0, std::memory_order_release);
}

void ArmCanState(const stRecvPkt *request) {
    std::lock_guard<std::mutex> guard(canLock);
    canDataReceivedFlag.store(0, std::memory_order_release);
    std::memset(CANdataRec, 0, sizeof CANdataRec);
    canPkt = *request;
}

// Keeps the first matching reply of a test: a later one must not tear the record being read.
void RecordReply(const can_frame &frame, int dataCount) {
    {
        std::lock_guard<std::mutex> guard(canLock);
        if (frame.can_id != static_cast<canid_t>(canPkt.data[0])) return;
        if (canDataReceivedFlag.load(std::memory_order_relaxed) == 1) return;
        CANdataRec[0] = static_cast<char>(canPkt.data[0]);
        CANdataRec[1] = static_cast<char>(dataCount);
        for (int i = 0; i < dataCount; ++i) CANdataRec[2 + i] = static_cast<char>(frame.data[i]);
        canDataReceivedFlag.store(1, std::memory_order_release);
    }
    canReplied.notify_all();
}

// Sleeps until a reply is recorded or the window after `start` is over; 1 when replied.
int WaitForReply(time_t start) {
    const WholeSecondWindow window(start, CAN_REPLY_WINDOW_SECONDS);
    std::unique_lock<std::mutex> lock(canLock);
    while (!window.Over() && canDataReceivedFlag.load(std::memory_order_acquire) != 1) {
        const int64_t left = window.RemainingMs();
        canReplied.wait_for(lock, std::chrono::milliseconds(
                                      left > CAN_SHORTEST_WAIT_MS ? left : CAN_SHORTEST_WAIT_MS));
    }
    return canDataReceivedFlag.load(std::memory_order_acquire);
}

}  // namespace

int CANStartReceiver(thdata *handle) {
    if (canReceiverStarted) {
        LOG_DEBUG("CAN receive thread already running");
        return 0;
    }
    const int rc = pthread_create(&canreceive, nullptr, thcanreceive, handle);
    if (rc != 0) {
        LOG_INFO("CAN receive thread not created: %s", strerror(rc));
        return 0;
    }
    pthread_detach(canreceive);
    canReceiverStarted = true;
    return 1;
}

int CANinit() {
    descriptor.canFd = can_init(dev_name);
    if (descriptor.canFd == -1) return 0;
    // The library reports nothing useful here; a dead bus shows as a test without reply.
    IgnoreResult(can_set_bitrate(dev_name, CAN_BITRATE));
    IgnoreResult(can_do_start(dev_name));
    return CANStartReceiver(&descriptor);
}

void *thcanreceive(void *ptr) {
    thdata *handle = static_cast<thdata *>(ptr);
    can_filter filters[2];
    filters[0].can_id = CAN_FILTER0_ID;
    filters[0].can_mask = CAN_FILTER0_MASK;
    filters[1].can_id = 0;
    filters[1].can_mask = 0;
    IgnoreResult(setsockopt(handle->canFd, SOL_CAN_RAW, CAN_RAW_FILTER, filters, sizeof filters));
    LOG_DEBUG("CAN Message Receive thread created");

    for (;;) {
        can_frame frame;
        std::memset(&frame, 0, sizeof frame);
        const ssize_t got = read(handle->canFd, &frame, sizeof frame);
        if (got != static_cast<ssize_t>(sizeof frame)) {
            if (!(got < 0 && errno == EINTR)) std::this_thread::sleep_for(CAN_READ_RETRY_DELAY);
            continue;
        }
        const int dataCount = frame.can_dlc > CAN_MAX_DATA ? CAN_MAX_DATA : frame.can_dlc;
        LOG_DEBUG("CAN message received....");
        LOG_DEBUG("CAN ID = %d LEN = %d Data = ", static_cast<int>(frame.can_id),
                  static_cast<int>(frame.can_dlc));
        for (int i = 0; i < dataCount; ++i) LOG_DEBUG(" %x ", frame.data[i]);
        RecordReply(frame, dataCount);
    }
    return nullptr;
}

void thcansend(unsigned char *canData, void *ptr) {
    const thdata *handle = static_cast<const thdata *>(ptr);
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = canData[0];
    frame.can_dlc = canData[1];
    LOG_DEBUG("CAN ID %x", frame.can_id);
    LOG_DEBUG("CAN len %x", frame.can_dlc);
    LOG_DEBUG("CAN data :");
    const int dataCount = frame.can_dlc > CAN_MAX_DATA ? CAN_MAX_DATA : frame.can_dlc;
    for (int i = 0; i < dataCount; ++i) {
        frame.data[i] = canData[2 + i];
        LOG_DEBUG("%x", frame.data[i]);
    }
    // A CAN socket refuses a classic frame longer than 8 bytes; refuse it here the same way.
    ssize_t written = -1;
    if (frame.can_dlc <= CAN_MAX_DATA) written = write(handle->canFd, &frame, sizeof frame);
    if (written == static_cast<ssize_t>(sizeof frame)) {
        LOG_DEBUG("CAN Message send Successfully");
    } else {
        LOG_DEBUG("CAN Write Failed");
    }
}

int canTestResultUpdation() {
    for (int i = 0; i < canPkt.length; ++i) {
        const unsigned char sent = canPkt.data[i];
        const unsigned char received = static_cast<unsigned char>(CANdataRec[i]);
        LOG_DEBUG("send data [%d] Received Data[%d]", sent, received);
        if (sent != received) return 0;
    }
    return 1;
}

void TestCAN(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    LOG_INFO("CAN Test started");
    LOG_DEBUG("can frame ID :%d Len :%d Data: ", recvPkt->data[0], recvPkt->data[1]);
    for (int i = 2; i < recvPkt->length; ++i) LOG_DEBUG("%02x,", recvPkt->data[i]);

    ArmCanState(recvPkt);

    int replied = 0;
    if (!canReceiverStarted || descriptor.canFd == -1) {
        // Nothing can be sent or heard: no reason to hold the fixture for the window.
        LOG_DEBUG("CAN socket not open, nothing sent");
    } else {
        thcansend(recvPkt->data, &descriptor);
        replied = WaitForReply(time(nullptr));
        LOG_DEBUG("Timeout reached or any data is received from CAN....");
    }

    if (replied == 1 && canTestResultUpdation() == 1) {
        LOG_DEBUG("can frame : %s length ; %d", CANdataRec,
                  static_cast<int>(strnlen(CANdataRec, sizeof CANdataRec)));
        const uint8_t count = static_cast<uint8_t>(CANdataRec[1] + 2);
        for (int i = 0; i < count; ++i) respPkt->data[i] = static_cast<uint8_t>(CANdataRec[i]);
        SetPassResponse(respPkt, count);
        LOG_INFO("CAN Test success");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("CAN Test fail\n");
    }

    ClearCanState();
    LOG_INFO("CAN Test finished");
}
