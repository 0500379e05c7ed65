// Byte strings written as hexadecimal text in tests: "DF 10 00 02".
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace vq::testing_util {

inline std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

}  // namespace vq::testing_util
