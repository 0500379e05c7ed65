#include "run/Serials.h"

#include <unordered_set>

#include "base/Text.h"

namespace vq {

std::string HexIncrement(std::string_view serial) {
    const auto end = serial.find_first_of(std::string_view("\0\n", 2));
    std::string s(serial.substr(0, end));
    for (std::size_t i = s.size(); i-- > 0;) {
        const char c = ToUpperAscii(s[i]);
        if (c == 'F') {
            s[i] = '0';
            continue;  // carry
        }
        if ((c >= '0' && c <= '8') || (c >= 'A' && c <= 'E'))
            s[i] = static_cast<char>(c + 1);
        else if (c == '9')
            s[i] = 'A';
        else
            s[i] = '0';
        break;
    }
    if (end != std::string_view::npos)
        s += serial.substr(end);
    return s;
}

bool SerialGreater(std::string_view current, std::string_view maximum) {
    auto strip = [](std::string_view s) {
        const auto first = s.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : s.substr(first);
    };
    const std::string_view a = strip(current);
    const std::string_view b = strip(maximum);
    if (a.size() != b.size())
        return a.size() > b.size();
    return a.compare(b) > 0;
}

std::string RepeatedSerial(std::string_view first, long count) {
    std::unordered_set<std::string> seen;
    std::string s(first);
    for (long i = 0; i < count; ++i) {
        const auto end = s.find_first_of(std::string_view("\0\n", 2));
        std::string key = ToUpper(std::string_view(s).substr(0, end));
        if (!seen.insert(key).second)
            return key;
        s = HexIncrement(s);
    }
    return {};
}

}  // namespace vq
