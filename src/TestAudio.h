#pragma once

#include "CommonDef.h"

void TestAudio(stRecvPkt *recvPkt, stResponsePkt *respPkt);
void TestVolumeSet(stRecvPkt *recvPkt, stResponsePkt *respPkt);
