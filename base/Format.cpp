#include "base/Format.h"

#include <cstdio>

namespace vq {

std::int64_t FormatArg::asInt() const {
    switch (kind_) {
        case Kind::Int:
            return i_;
        case Kind::UInt:
            return static_cast<std::int64_t>(u_);
        case Kind::Double:
            return static_cast<std::int64_t>(d_);
        default:
            return 0;
    }
}

std::uint64_t FormatArg::asUInt() const {
    return static_cast<std::uint64_t>(asInt());
}

double FormatArg::asDouble() const {
    switch (kind_) {
        case Kind::Int:
            return static_cast<double>(i_);
        case Kind::UInt:
            return static_cast<double>(u_);
        case Kind::Double:
            return d_;
        default:
            return 0.0;
    }
}

std::string FormatArg::asNarrow() const {
    if (kind_ == Kind::Str)
        return std::string(s_);
    if (kind_ == Kind::WStr) {
        std::string r;
        r.reserve(w_.size());
        for (char16_t c : w_)
            r.push_back(c < 256 ? static_cast<char>(c) : '?');
        return r;
    }
    return {};
}

namespace {

enum class Size { Int8, Int16, Int32, Int64 };

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    Size size = Size::Int32;
    bool wide = false;
    char conv = 0;
};

std::string Printf(const std::string& spec, auto value) {
    char small[128];
    const int n = std::snprintf(small, sizeof small, spec.c_str(), value);
    if (n < 0)
        return {};
    if (static_cast<std::size_t>(n) < sizeof small)
        return std::string(small, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

std::string StdSpec(const Spec& s, const char* length, char conv) {
    std::string r;
    r.reserve(32);
    r.push_back('%');
    r.append(s.flags);
    if (s.width >= 0)
        r.append(std::to_string(s.width));
    if (s.precision >= 0) {
        r.push_back('.');
        r.append(std::to_string(s.precision));
    }
    r.append(length);
    r.push_back(conv);
    return r;
}

std::int64_t TruncSigned(std::int64_t v, Size size) {
    switch (size) {
        case Size::Int8:
            return static_cast<std::int8_t>(v);
        case Size::Int16:
            return static_cast<std::int16_t>(v);
        case Size::Int32:
            return static_cast<std::int32_t>(v);
        default:
            return v;
    }
}

std::uint64_t TruncUnsigned(std::uint64_t v, Size size) {
    switch (size) {
        case Size::Int8:
            return static_cast<std::uint8_t>(v);
        case Size::Int16:
            return static_cast<std::uint16_t>(v);
        case Size::Int32:
            return static_cast<std::uint32_t>(v);
        default:
            return v;
    }
}

std::string Pad(std::string body, const Spec& s) {
    if (s.width < 0 || body.size() >= static_cast<std::size_t>(s.width))
        return body;
    const std::size_t fill = static_cast<std::size_t>(s.width) - body.size();
    if (s.flags.find('-') != std::string::npos)
        return body + std::string(fill, ' ');
    return std::string(fill, ' ') + body;
}

}  // namespace

std::string FormatV(std::string_view fmt, std::span<const FormatArg> args) {
    std::string out;
    std::size_t next = 0;
    static const FormatArg kNone{static_cast<const char*>(nullptr)};
    auto take = [&]() -> const FormatArg& { return next < args.size() ? args[next++] : kNone; };

    for (std::size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            out.push_back(fmt[i]);
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        const std::size_t start = i++;
        Spec s;
        while (i < fmt.size() && std::string_view("-+ #0").find(fmt[i]) != std::string_view::npos)
            s.flags.push_back(fmt[i++]);
        if (i < fmt.size() && fmt[i] == '*') {
            int w = static_cast<int>(take().asInt());
            if (w < 0) {
                s.flags.push_back('-');
                w = -w;
            }
            s.width = w;
            ++i;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                s.width = (s.width < 0 ? 0 : s.width) * 10 + (fmt[i++] - '0');
                if (s.width > 100000)
                    s.width = 100000;
            }
        }
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            s.precision = 0;
            if (i < fmt.size() && fmt[i] == '*') {
                const int p = static_cast<int>(take().asInt());
                s.precision = p < 0 ? -1 : p;
                ++i;
            } else {
                while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                    s.precision = s.precision * 10 + (fmt[i++] - '0');
                    if (s.precision > 100000)
                        s.precision = 100000;
                }
            }
        }
        // Length modifiers, Microsoft's included.
        const std::string_view rest = fmt.substr(i);
        if (rest.starts_with("I64")) {
            s.size = Size::Int64;
            i += 3;
        } else if (rest.starts_with("I32")) {
            i += 3;
        } else if (rest.starts_with("hh")) {
            s.size = Size::Int8;
            i += 2;
        } else if (rest.starts_with("ll")) {
            s.size = Size::Int64;
            i += 2;
        } else if (!rest.empty()) {
            switch (rest[0]) {
                case 'h':
                    s.size = Size::Int16;
                    ++i;
                    break;
                case 'l':
                    s.wide = true;
                    ++i;
                    break;  // 32-bit long on Windows; wide c/s
                case 'w':
                    s.wide = true;
                    ++i;
                    break;
                case 'I':
                case 'z':
                case 'j':
                case 't':
                    s.size = Size::Int64;
                    ++i;
                    break;
                case 'L':
                    ++i;
                    break;
                default:
                    break;
            }
        }
        if (i >= fmt.size()) {  // incomplete conversion: printed as it stands
            out.append(fmt.substr(start));
            break;
        }
        s.conv = fmt[i];
        switch (s.conv) {
            case 'd':
            case 'i':
                out += Printf(StdSpec(s, "ll", 'd'),
                              static_cast<long long>(TruncSigned(take().asInt(), s.size)));
                break;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                out +=
                    Printf(StdSpec(s, "ll", s.conv),
                           static_cast<unsigned long long>(TruncUnsigned(take().asUInt(), s.size)));
                break;
            case 'c':
            case 'C': {
                const FormatArg& a = take();
                char c = 0;
                if (a.kind() == FormatArg::Kind::Str || a.kind() == FormatArg::Kind::WStr) {
                    const std::string t = a.asNarrow();
                    c = t.empty() ? '\0' : t[0];
                } else {
                    const auto v = a.asUInt() & 0xFFFF;
                    c = v < 256 ? static_cast<char>(v) : '?';
                }
                out += Pad(std::string(1, c), s);
                break;
            }
            case 's':
            case 'S': {
                std::string t = take().asNarrow();
                if (s.precision >= 0 && t.size() > static_cast<std::size_t>(s.precision))
                    t.resize(static_cast<std::size_t>(s.precision));
                out += Pad(std::move(t), s);
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                out += Printf(StdSpec(s, "", s.conv), take().asDouble());
                break;
            case 'p': {
                Spec p;
                p.width = 16;
                p.flags = "0";
                out +=
                    Printf(StdSpec(p, "ll", 'X'), static_cast<unsigned long long>(take().asUInt()));
                break;
            }
            case 'n':
                take();
                break;
            default:  // unknown conversion: printed as it stands
                out.append(fmt.substr(start, i - start + 1));
                break;
        }
    }
    return out;
}

}  // namespace vq
