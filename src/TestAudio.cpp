#include "TestAudio.h"

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"

namespace {

constexpr char kPlayCommand[] = "aplay -d 3 ";
constexpr char kSoundFile[] = "/hwtest/audiotest.wav";
constexpr char kVolumeFormat[] = "amixer set SoftVolume %u";
constexpr char kNewLine[] = "\n";
constexpr int kCommandSize = 128;

}  // namespace

void TestAudio(stRecvPkt *, stResponsePkt *respPkt) {
    char sound[kCommandSize];
    std::memset(sound, 0, sizeof sound);
    std::snprintf(sound, sizeof sound, "%s%s", kPlayCommand, kSoundFile);

    std::fflush(stderr);  // keep earlier log lines ahead of the raw writes
    LogRawWithNul(kNewLine);
    LogRawWithNul(kSoundFile);
    LogRawWithNul(kNewLine);
    LogRawWithNul(sound);
    LogRawWithNul(kNewLine);

    PlatformRunCommand(sound);
    SetPassResponse(respPkt, 0);
    LOG_INFO("Audio Test success\n");
}

void TestVolumeSet(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    char cmd[kCommandSize];
    std::memset(cmd, 0, sizeof cmd);
    const unsigned volume = recvPkt->data[0];
    std::snprintf(cmd, sizeof cmd, kVolumeFormat, volume);
    PlatformRunCommand(cmd);
    respPkt->data[0] = recvPkt->data[0];
    SetPassResponse(respPkt, 1);
    LOG_INFO("Volume Test success\n");
}
