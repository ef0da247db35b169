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
#include "SecondWindow.h"
#include "UniqueFd.h"

namespace {

constexpr char TOUCH_DRIVER_LOAD_COMMAND[] = "modprobe gt9xx";
constexpr char TOUCH_DEVICE[] = "/dev/input/event0";
constexpr unsigned TOUCH_DRIVER_SETTLE_SECONDS = 1;
constexpr int TOUCH_NAME_SIZE = 256;
// The window is over once the whole-second clock shows more than this since the start.
constexpr int TOUCH_WINDOW_SECONDS = 10;
constexpr uint8_t TOUCH_RESPONSE_LENGTH = 4;

}  // namespace

int WaitForTouch(int fd, time_t start, int *xAxis, int *yAxis) {
    const WholeSecondWindow window(start, TOUCH_WINDOW_SECONDS);
    bool xSeen = false;
    for (;;) {
        if (window.Over()) {
            LOG_DEBUG("Timeout reached ....");
            return 0;
        }

        pollfd ready = {fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(window.RemainingMs()));
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
