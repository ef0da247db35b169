// Frames for tests: hex text both ways and builders for requests and the agent's answers. The
// byte-literal frame tables in the tests stay as they are: they are what guards the wire.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace support {

using Bytes = std::vector<uint8_t>;

// "3C 32 23 ...": upper-case pairs, one blank between.
std::string Hex(const Bytes &bytes);
// Pairs of hex digits; blanks and colons between them are ignored. Empty on a bad digit.
Bytes FromHex(const std::string &hex);
Bytes Cat(std::initializer_list<Bytes> parts);

// '<' id '#' L '#' body '#' sum '>'; `sumDelta` spoils the checksum on purpose.
Bytes Frame(uint8_t id, const Bytes &body, int sumDelta = 0);
// The agent's answer: the ack, then ';' and the data when there is any (always for a fail).
Bytes Answer(uint8_t id, uint8_t ack, const Bytes &data = {});
// A test that failed: "<" id "#" 03 "#" 01 ";" 05 "#" 41 ">".
Bytes FailAnswer(uint8_t id);

}  // namespace support
