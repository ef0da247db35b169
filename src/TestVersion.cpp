#include "TestVersion.h"

#include "Log.h"

namespace {
constexpr uint8_t kVersion[] = {5, 0, 0};
}

void TestVersion(stRecvPkt *, stResponsePkt *respPkt) {
    for (unsigned i = 0; i < sizeof kVersion; ++i) respPkt->data[i] = kVersion[i];
    SetPassResponse(respPkt, sizeof kVersion);
    LOG_INFO("Version Test success\n");
}
