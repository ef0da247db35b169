#include "TestBoardType.h"

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "UniqueFd.h"

namespace {

constexpr char kSettingsFile[] = "/hwtest/conf_settings.ini";
constexpr char kBoardTypeKey[] = "BOARD TYPE=";
constexpr int kLineSize = 512;
// The model word field holds 7 characters and its end; a longer value never matches.
constexpr std::size_t kModelWordMax = 7;

struct stBoardModel {
    const char *word;
    int code;
};

constexpr stBoardModel kBoardModels[] = {
    {"TVK", 1},
    {"RDMX", 0},
};

}  // namespace

int ValidateBoardTypeFile(const char *path, int *boardType) {
    UniqueFile file(std::fopen(path, "r"));
    if (!file) return 0;

    int result = 0;
    char line[kLineSize];
    // A long line arrives in pieces; each piece is looked at on its own.
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        char *newline = std::strchr(line, '\n');
        if (newline != nullptr) *newline = '\0';

        const char *key = std::strstr(line, kBoardTypeKey);
        if (key == nullptr) continue;
        const char *value = key + (sizeof kBoardTypeKey - 1);
        LOG_INFO("device type is  found in the file devicetype:%s\n", value);

        if (std::strlen(value) > kModelWordMax) continue;
        for (const stBoardModel &model : kBoardModels) {
            if (std::strcmp(value, model.word) == 0) {
                *boardType = model.code;
                result = 1;
                break;
            }
        }
    }
    return result;
}

int ValidateBoardType(int *boardType) {
    return ValidateBoardTypeFile(kSettingsFile, boardType);
}

void TestBoardType(stRecvPkt *, stResponsePkt *respPkt) {
    int boardType = 0;
    if (ValidateBoardType(&boardType) == 1) {
        respPkt->data[0] = static_cast<uint8_t>(boardType);
        SetPassResponse(respPkt, 1);
        LOG_INFO("Board type checking test success");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("Board type checking test fail\n");
    }
}
