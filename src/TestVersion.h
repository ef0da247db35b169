#pragma once

#include "CommonDef.h"

void TestVersion(stRecvPkt *recvPkt, stResponsePkt *respPkt);
