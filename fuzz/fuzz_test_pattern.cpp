// The pattern file reader on arbitrary bytes: every block index the input can reach, checked
// against a plain reading of the rule (digits and letters only, pairs high digit first).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "disk/TestPattern.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

std::vector<std::uint8_t> Reference(std::string_view text) {
    std::vector<int> digits;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= '0' && c <= '9')
            digits.push_back(c - '0');
        else if (c >= 'a' && c <= 'z')
            digits.push_back(c - 'a' + 10);
        else if (c >= 'A' && c <= 'Z')
            digits.push_back(c - 'A' + 10);
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(digits[i] * 16 + digits[i + 1]));
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::uint8_t> bytes = Reference(text);
    static vq::PatternBlock block;
    for (std::uint32_t index = 0; index < 3; ++index) {
        const std::size_t filled = vq::ParseTestPattern(text, block, index);
        const std::size_t first = std::size_t{index} * vq::kPatternBlockBytes;
        const std::size_t expected =
            bytes.size() > first ? std::min(bytes.size() - first, vq::kPatternBlockBytes) : 0;
        Check(filled == expected);
        for (std::size_t i = 0; i < vq::kPatternBlockBytes; ++i)
            Check(block[i] == (i < filled ? bytes[first + i] : 0));
    }
    return 0;
}
