// The serial numbers of a run: the hexadecimal increment from one device to the next and
// the comparison with the highest serial number allowed.
#pragma once

#include <string>
#include <string_view>

namespace vq {

// Advances a serial text by one: from the last character (the text ends at its first NUL
// or line feed), upper-cased; 'F' becomes '0' and carries left; '0'-'8' and 'A'-'E' step
// on; '9' becomes 'A'; any other character becomes '0' and ends the increment. All 'F'
// gives all '0' (no extra digit).
std::string HexIncrement(std::string_view serial);

// Whether `current` is greater than `maximum`: leading '0's dropped, the longer is greater,
// equal lengths compare byte by byte.
bool SerialGreater(std::string_view current, std::string_view maximum);

// The first serial that the increment hands out twice among `count` consecutive devices
// starting at `first`; empty when all differ.
std::string RepeatedSerial(std::string_view first, long count);

}  // namespace vq
