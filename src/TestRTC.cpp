#include "TestRTC.h"

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"

namespace {

// The request bytes go in as numbers only, so nothing of the request reaches the shell as text.
constexpr char kSetTimeFormat[] = "date -s %02d%02d%02d%02d%02d%02d && hwclock -w";
constexpr char kShowTimeCommand[] = "hwclock --show";
constexpr int kCommandSize = 128;
constexpr int kAnswerSize = 100;
// "Www Mmm dd hh:mm:ss yyyy" and its end: the rest of the line is never needed.
constexpr int kAnswerReadSize = 25;
constexpr char kTokenDelimiters[] = " :";
// More digits than this is not a clock value (and would not fit an int).
constexpr int kMaxDigits = 9;
constexpr int kUnknownMonth = 13;

const char *const month[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum DateFormatOptions {
    WEEK_OPTIONS_1 = 0,
    MONTH_OPTIONS_2 = 1,
    DAY_OPTIONS_3 = 2,
    HOURS_OPTIONS_4 = 3,
    MINIUTES_OPTIONS_5 = 4,
    SECONDS_OPTIONS_6 = 5,
    YEAR_OPTIONS_7 = 6,
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads 1 to maxDigits decimal digits; nullptr when there is none or too many.
const char *ReadNumber(const char *text, int maxDigits, int *value) {
    int result = 0;
    int digits = 0;
    while (IsDigit(text[digits])) {
        if (digits == maxDigits) return nullptr;
        result = result * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0) return nullptr;
    *value = result;
    return text + digits;
}

// A whole token of digits, nothing else.
bool ReadNumberToken(const char *token, int *value) {
    const char *end = ReadNumber(token, kMaxDigits, value);
    return end != nullptr && *end == '\0';
}

bool LooksIsoForm(const char *answer) {
    for (int i = 0; i < 4; ++i) {
        if (!IsDigit(answer[i])) return false;
    }
    return answer[4] == '-';
}

// "YYYY-MM-DD hh:mm[:ss...]", as util-linux prints it.
int ParseIsoForm(const char *answer, int *day, int *monthOut, int *year, int *hour, int *minute) {
    int value = 0;
    const char *p = ReadNumber(answer, 4, &value);
    if (p == nullptr || *p != '-') return 0;
    *year = value;
    p = ReadNumber(p + 1, 2, &value);
    if (p == nullptr) return 0;
    *monthOut = (value >= 1 && value <= 12) ? value : kUnknownMonth;
    if (*p != '-') return 0;
    p = ReadNumber(p + 1, 2, &value);
    if (p == nullptr) return 0;
    *day = value;
    if (*p != ' ' && *p != 'T') return 0;
    p = ReadNumber(p + 1, 2, &value);
    if (p == nullptr) return 0;
    *hour = value;
    if (*p != ':') return 0;
    p = ReadNumber(p + 1, 2, &value);
    if (p == nullptr || IsDigit(*p)) return 0;
    *minute = value;
    return 1;
}

// "Www Mmm dd hh:mm:ss yyyy", as busybox prints it: each token by its position.
int ParseBusyboxForm(char *text, int *day, int *monthOut, int *year, int *hour, int *minute) {
    bool found[YEAR_OPTIONS_7 + 1] = {};
    char *save = nullptr;
    char *token = strtok_r(text, kTokenDelimiters, &save);
    for (int position = WEEK_OPTIONS_1; token != nullptr && position <= YEAR_OPTIONS_7;
         ++position, token = strtok_r(nullptr, kTokenDelimiters, &save)) {
        int value = 0;
        switch (position) {
            case WEEK_OPTIONS_1:
                break;
            case MONTH_OPTIONS_2:
                *monthOut = ConvertMonthStringToDecimal(token);
                break;
            case SECONDS_OPTIONS_6:
                break;
            default:
                if (!ReadNumberToken(token, &value)) return 0;
                if (position == DAY_OPTIONS_3) *day = value;
                if (position == HOURS_OPTIONS_4) *hour = value;
                if (position == MINIUTES_OPTIONS_5) *minute = value;
                if (position == YEAR_OPTIONS_7) *year = value;
                break;
        }
        found[position] = true;
    }
    return found[MONTH_OPTIONS_2] && found[DAY_OPTIONS_3] && found[HOURS_OPTIONS_4] &&
           found[MINIUTES_OPTIONS_5] && found[YEAR_OPTIONS_7];
}

void FillDateRecord(stResponsePkt *respPkt, int day, int monthValue, int year, int hour,
                    int minute) {
    respPkt->data[0] = static_cast<uint8_t>(day);
    respPkt->data[1] = static_cast<uint8_t>(monthValue);
    respPkt->data[2] = static_cast<uint8_t>(year / 100);
    respPkt->data[3] = static_cast<uint8_t>(year % 100);
    respPkt->data[4] = static_cast<uint8_t>(hour);
    respPkt->data[5] = static_cast<uint8_t>(minute);
    SetPassResponse(respPkt, 6);
}

}  // namespace

int ChangeTime(unsigned char *DataBuffer) {
    char command[kCommandSize];
    std::memset(command, 0, sizeof command);
    std::snprintf(command, sizeof command, kSetTimeFormat, DataBuffer[2], DataBuffer[3],
                  DataBuffer[1], DataBuffer[0], DataBuffer[4], DataBuffer[5]);
    LOG_DEBUG("Command %s \n", command);
    return PlatformRunCommand(command) == 0 ? 1 : 0;
}

int ConvertMonthStringToDecimal(char *Buffer) {
    for (int i = 0; i < 12; ++i) {
        if (std::strcmp(Buffer, month[i]) == 0) return i + 1;
    }
    return kUnknownMonth;
}

int ParseHWClockAnswer(const char *answer, int *day, int *monthOut, int *year, int *hour,
                       int *minute) {
    char text[kAnswerSize];
    std::snprintf(text, sizeof text, "%s", answer);
    // The line end (and a carriage return) is not part of the last value.
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        text[--length] = '\0';
    }
    if (LooksIsoForm(text)) return ParseIsoForm(text, day, monthOut, year, hour, minute);
    return ParseBusyboxForm(text, day, monthOut, year, hour, minute);
}

int ReadHWTime(int *day, int *monthOut, int *year, int *hour, int *minute) {
    char answer[kAnswerSize];
    std::memset(answer, 0, sizeof answer);
    if (PlatformReadFirstLine(kShowTimeCommand, answer, kAnswerReadSize) == 0) return 0;
    if (ParseHWClockAnswer(answer, day, monthOut, year, hour, minute) == 1) return 1;
    LOG_DEBUG("hwclock answer not readable: %s", answer);
    return 0;
}

void current_HWTime(int *day, int *monthOut, int *year, int *hour, int *miniute) {
    ReadHWTime(day, monthOut, year, hour, miniute);
}

void TestRTCCurTime(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    int day = 0, monthValue = 0, year = 0, hour = 0, minute = 0;
    if (ChangeTime(recvPkt->data) == 0 ||
        ReadHWTime(&day, &monthValue, &year, &hour, &minute) == 0) {
        SetFailResponse(respPkt);
        LOG_INFO("set rtc test fail\n");
        return;
    }
    FillDateRecord(respPkt, day, monthValue, year, hour, minute);
    LOG_INFO("set rtc test success\n");
}

void TestRTCGetCurTime(stRecvPkt *, stResponsePkt *respPkt) {
    int day = 0, monthValue = 0, year = 0, hour = 0, minute = 0;
    if (ReadHWTime(&day, &monthValue, &year, &hour, &minute) == 0) {
        SetFailResponse(respPkt);
        LOG_INFO("Get rtc test fail");
        return;
    }
    FillDateRecord(respPkt, day, monthValue, year, hour, minute);
    LOG_INFO("Get rtc test success");
}
