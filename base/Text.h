// Text helpers with the semantics the station relies on: ASCII case folding (the
// station's texts are 8-bit characters of the system code page, compared as the C
// library does in the "C" locale) and hexadecimal parsing of VID/PID-style texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vq {

char ToUpperAscii(char c);
char ToLowerAscii(char c);
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);

// <0, 0, >0 like _stricmp.
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool ContainsNoCase(std::string_view haystack, std::string_view needle);

// Blanks (space, tab, CR, LF, VT, FF) removed from both ends.
std::string_view Trim(std::string_view s);

// Reads a hexadecimal number the way strtoul(text, nullptr, 16) does: leading blanks
// skipped, an optional "0x"/"0X", then hex digits up to the first other character.
// No digits give 0; a value past 32 bits saturates at 0xFFFFFFFF.
std::uint32_t ParseHex(std::string_view s);

// Reads a signed decimal number like strtol(text, nullptr, 10) into 64 bits: leading
// blanks, an optional sign, digits up to the first other character. `ok` tells whether
// any digit was read; a value out of range saturates at the 64-bit limits.
std::int64_t ParseDecimal(std::string_view s, bool* ok = nullptr);
// The same, saturated to 32 bits; 0 when there is no digit.
std::int32_t ParseDecimal32(std::string_view s);

// Value of one hexadecimal digit, -1 for any other character.
int HexDigitValue(char c);

}  // namespace vq
