// Line bytes through the receive state machine, the parser and the composer. Handlers are not
// run (they act on the machine); the tail of the input plays the handler's answer instead.
// The agent logs every byte: run with -close_fd_mask=2 (libFuzzer keeps its own output and the
// sanitizer's report on a copy of standard error).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FixtureLink.h"
#include "RS485lib.h"
#include "TVKTestApp.h"

namespace {

struct Source {
    const uint8_t *data;
    size_t size;
    size_t next;
};

int NextByte(void *context, uint8_t *byte) {
    auto *source = static_cast<Source *>(context);
    if (source->next >= source->size) return 0;
    *byte = source->data[source->next++];
    return 1;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Source source{data, size, 0};
    uint8_t buffer[MAX_FRAME_SIZE] = {};
    int result = RS485CollectFrame(NextByte, &source, buffer);
    Check(result >= -1 && result <= 2);
    if (result >= 1) Check(buffer[0] == MSG_START_DESCRIPTOR);
    if (result == 1) {
        // A delivered good frame never holds '<' but at its start (and perhaps its end).
        const size_t last = static_cast<size_t>(buffer[3]) + 7;
        for (size_t i = 1; i < last; ++i) Check(buffer[i] != MSG_START_DESCRIPTOR);
        Check(buffer[last + 1] == 0);
    }

    int code = ParseAndValidatePkt(buffer);
    Check(code == NO_ERROR || code == ERR_CODE_WRONG_CHECKSUM || code == ERR_CODE_WRONG_MSG_FORMAT);
    if (code == NO_ERROR) Check(result == 1);

    // A handler's answer from whatever input is left.
    std::memset(respPkt.data, 0, sizeof respPkt.data);
    const uint8_t *rest = data + source.next;
    size_t left = size - source.next;
    respPkt.ack = left > 0 ? rest[0] % 3 : 0;
    respPkt.length = left > 1 ? rest[1] : 0;
    if (left > 2) std::memcpy(respPkt.data, rest + 2, std::min(left - 2, sizeof respPkt.data));
    ComposeResponse();
    uint8_t frame[MAX_FRAME_SIZE] = {};
    uint8_t count = BuildSerialPkt(frame);
    Check(count <= MAX_FRAME_SIZE - 1 && frame[count] == 0);
    Check(count == respPkt.length + 8);
    if (respPkt.ack <= 1) {
        fixture::Response decoded;
        std::string error;
        Check(fixture::DecodeResponse(fixture::Bytes(frame, frame + count), decoded, error));
        Check(decoded.cmdId == recvPkt.cmdID && decoded.ack == respPkt.ack);
    }
    return 0;
}
