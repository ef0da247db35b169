#include "TestHapticDriver.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "Platform.h"

namespace {

constexpr char kGpioExport[] = "echo 49 >/sys/class/gpio/export";
constexpr char kGpioDirectionOut[] = "echo out >/sys/class/gpio/pioB17/direction";
constexpr char kGpioValueLow[] = "echo 0 >/sys/class/gpio/pioB17/value";
constexpr char kGpioValueHigh[] = "echo 1 >/sys/class/gpio/pioB17/value";
constexpr char kPwmDisable[] = "echo 0 > /sys/class/pwm/pwmchip0/pwm3/enable";
constexpr char kPwmEnable[] = "echo 1 > /sys/class/pwm/pwmchip0/pwm3/enable";
constexpr char kPwmReadPeriod[] = "cat /sys/class/pwm/pwmchip0/pwm3/period";
constexpr char kPwmDutyFormat[] = "echo %d > /sys/class/pwm/pwmchip0/pwm3/duty_cycle";
constexpr int kBufferSize = 128;

enum PwmDutyCycleOptions {
    DUTY_CYCLE_OPTIONS_1 = 1,
    DUTY_CYCLE_OPTIONS_2 = 2,
    DUTY_CYCLE_OPTIONS_3 = 3,
};

// Only the main loop's thread touches it.
int gHapticDriverrunState = 0;

bool IsDutyCycleOption(unsigned char option) {
    return option == DUTY_CYCLE_OPTIONS_1 || option == DUTY_CYCLE_OPTIONS_2 ||
           option == DUTY_CYCLE_OPTIONS_3;
}

// Leading blanks, a sign, digits; no digits gives 0. Out of range is held at the int limits.
int PeriodFromText(const char *text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

void InitHapticDriver() {
    PlatformRunCommand(kGpioExport);
    PlatformRunCommand(kGpioDirectionOut);
    ClearHapticGpioPin();
}

void SetHapticGpioPin() {
    PlatformRunCommand(kGpioValueHigh);
}

void ClearHapticGpioPin() {
    PlatformRunCommand(kGpioValueLow);
    PlatformRunCommand(kPwmDisable);
}

int GetHapticDriverRunningState() {
    return gHapticDriverrunState;
}

void SetHapticDriverRunningState() {
    gHapticDriverrunState = 1;
}

void ReSetHapticDriverRunningState() {
    gHapticDriverrunState = 0;
}

int PwmDutyCycleTest(unsigned char *data) {
    // An unknown level must not switch the output on with whatever duty it last had.
    if (!IsDutyCycleOption(data[0])) return 0;

    char command[kBufferSize];
    char readBack[kBufferSize];
    std::memset(command, 0, sizeof command);
    std::memset(readBack, 0, sizeof readBack);

    PlatformReadFirstLine(kPwmReadPeriod, readBack, sizeof readBack);
    LOG_DEBUG("Buffer is : %s", readBack);
    const int periodValue = PeriodFromText(readBack);

    int duty = 0;
    switch (data[0]) {
        case DUTY_CYCLE_OPTIONS_1:
            duty = periodValue;
            break;
        case DUTY_CYCLE_OPTIONS_2:
            duty = periodValue >> 1;
            break;
        default:
            duty = 0;
            break;
    }
    std::snprintf(command, sizeof command, kPwmDutyFormat, duty);
    LOG_DEBUG("Period command\n%s", command);
    PlatformRunCommand(command);
    PlatformRunCommand(kPwmEnable);
    return 1;
}

void TestHapticDriverStart(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    if (GetHapticDriverRunningState() != 0) {
        SetFailResponse(respPkt);
        LOG_INFO(
            "Already Haptic driver enabled you must to disable the driver before execture the "
            "test\n");
        return;
    }
    // Checked before the enable line goes high, so a refused level leaves the actuator off.
    if (!IsDutyCycleOption(recvPkt->data[0])) {
        SetFailResponse(respPkt);
        LOG_INFO("Haptic test fail\n");
        return;
    }
    SetHapticGpioPin();
    if (PwmDutyCycleTest(recvPkt->data) == 1) {
        SetPassResponse(respPkt, 0);
        SetHapticDriverRunningState();
        LOG_INFO("Haptic test start success");
    } else {
        ClearHapticGpioPin();
        SetFailResponse(respPkt);
        LOG_INFO("Haptic test fail\n");
    }
}

void TestHapticDriverStop(stRecvPkt *, stResponsePkt *respPkt) {
    if (GetHapticDriverRunningState() == 1) {
        ClearHapticGpioPin();
        ReSetHapticDriverRunningState();
        SetPassResponse(respPkt, 0);
        LOG_INFO("Haptic driver stop successfully\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO(
            "Haptic driver not started you first enable the driver before execture the test \n");
    }
}
