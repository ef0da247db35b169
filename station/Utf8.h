// Text from outside the station (an operator's name, a serial number, a board's reading) is
// checked or mended here before it is stored, shown or sent: servers and JSON refuse bad UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace station {

// Well-formed UTF-8: no stray or missing continuation bytes, overlong forms, surrogates or
// code points above U+10FFFF.
bool ValidUtf8(std::string_view text);

// `text` with each ill-formed sequence replaced by U+FFFD; valid text comes back unchanged.
std::string ToValidUtf8(std::string_view text);

}  // namespace station
