#include "Frames.h"

#include "FixtureLink.h"
#include "Protocol.h"

namespace support {

// Hex text is the fixture library's; the frame builders below stay a separate implementation.
std::string Hex(const Bytes &bytes) {
    return fixture::Hex(bytes);
}

Bytes FromHex(const std::string &hex) {
    Bytes bytes;
    return fixture::ParseHex(hex, bytes) ? bytes : Bytes{};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Frame(uint8_t id, const Bytes &body, int sumDelta) {
    Bytes frame = {MSG_START_DESCRIPTOR, id, MSG_FIELD_DESCRIPTOR,
                   static_cast<uint8_t>(body.size()), MSG_FIELD_DESCRIPTOR};
    uint8_t sum = 0;
    for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.insert(frame.end(),
                 {MSG_FIELD_DESCRIPTOR, static_cast<uint8_t>(sum + sumDelta), MSG_END_DESCRIPTOR});
    return frame;
}

Bytes Answer(uint8_t id, uint8_t ack, const Bytes &data) {
    Bytes body = {ack};
    if (!data.empty() || ack != ACK_PASS) {
        body.push_back(MSG_PARAM_SEPARATOR);
        body.insert(body.end(), data.begin(), data.end());
    }
    return Frame(id, body);
}

Bytes FailAnswer(uint8_t id) {
    return Answer(id, ACK_FAIL, {ERR_CODE_TEST_FAILED});
}

}  // namespace support
