#include "TestTouchScreen.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "Platform.h"
#include "UniqueFd.h"

namespace {

constexpr char TOUCH_DRIVER_LOAD_COMMAND[] = "modprobe gt9xx";
constexpr char TOUCH_DEVICE[] = "/dev/input/event0";
constexpr unsigned TOUCH_DRIVER_SETTLE_SECONDS = 1;
constexpr int TOUCH_NAME_SIZE = 256;
// The window is over once the whole-second clock shows more than this since the start.
constexpr double TOUCH_WINDOW_SECONDS = 10.0;
constexpr time_t TOUCH_WINDOW_END_SECONDS = 11;
constexpr uint8_t TOUCH_RESPONSE_LENGTH = 4;

int64_t NowMs(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int WaitForTouch(int fd, time_t start, int *xAxis, int *yAxis) {
    // The window ends when time() reaches start + 11 s; time() follows the coarse wall clock.
    // Counting down on the monotonic clock keeps a wall-clock step back from stretching it.
    const int64_t windowEndMs = int64_t{start + TOUCH_WINDOW_END_SECONDS} * 1000;
    const int64_t deadlineMs =
        NowMs(CLOCK_MONOTONIC) + (windowEndMs - NowMs(CLOCK_REALTIME_COARSE));
    bool xSeen = false;
    for (;;) {
        int64_t remainingMs = deadlineMs - NowMs(CLOCK_MONOTONIC);
        if (difftime(time(nullptr), start) > TOUCH_WINDOW_SECONDS || remainingMs <= 0) {
            LOG_DEBUG("Timeout reached ....");
            return 0;
        }

        if (remainingMs > TOUCH_WINDOW_END_SECONDS * 1000) {
            remainingMs = TOUCH_WINDOW_END_SECONDS * 1000;
        }
        pollfd ready = {fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(remainingMs));
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;

        input_event event;
        const ssize_t got = polled > 0 ? read(fd, &event, sizeof event) : -1;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got != static_cast<ssize_t>(sizeof event)) {
            std::fputs("Error size when reading\n", stderr);
            return 0;
        }

        if (event.type != EV_ABS) continue;
        if (event.code == ABS_X) {
            *xAxis = event.value;
            xSeen = true;
        } else if (event.code == ABS_Y) {
            *yAxis = event.value;
            if (xSeen) return 1;
        }
    }
}

int ValidateTouchScreen(int *xAxis, int *yAxis) {
    if (getuid() != 0) {
        std::fputs("not root! ..\n", stderr);
        return 0;
    }
    // Non-blocking open: a device node nobody feeds must not hold the fixture past the window.
    UniqueFd device(open(TOUCH_DEVICE, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!device.valid()) {
        std::fprintf(stderr, "%s is not a vaild device\n", TOUCH_DEVICE);
        return 0;
    }

    char name[TOUCH_NAME_SIZE] = "Unknown";
    ioctl(device.get(), EVIOCGNAME(sizeof name), name);
    name[sizeof name - 1] = '\0';
    LOG_DEBUG("Reading from:");
    LOG_DEBUG("device file = %s\n", TOUCH_DEVICE);
    LOG_DEBUG("device name = %s\n", name);

    return WaitForTouch(device.get(), time(nullptr), xAxis, yAxis);
}

void TestTouchScreen(stRecvPkt *, stResponsePkt *respPkt) {
    PlatformRunCommand(TOUCH_DRIVER_LOAD_COMMAND);
    sleep(TOUCH_DRIVER_SETTLE_SECONDS);

    int x = 0;
    int y = 0;
    if (ValidateTouchScreen(&x, &y) == 1) {
        LOG_DEBUG("x = %d y =%d", x, y);
        respPkt->data[0] = static_cast<uint8_t>((x >> 8) & 0xFF);
        respPkt->data[1] = static_cast<uint8_t>(x & 0xFF);
        respPkt->data[2] = static_cast<uint8_t>((y >> 8) & 0xFF);
        respPkt->data[3] = static_cast<uint8_t>(y & 0xFF);
        SetPassResponse(respPkt, TOUCH_RESPONSE_LENGTH);
        LOG_INFO("Touch screen Test success");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("Touch screen Test fail\n");
    }
}
