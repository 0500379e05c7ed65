// printf-style formatting that reproduces the station's format strings exactly as the
// Windows C runtime prints them: "%04X", "%02X", "%.2d", "%.1f", "%06d", "%I64d", "%ws",
// "%s", "%g" and the rest of the printf family. Arguments are type-checked at the call
// and converted to the size the conversion names (no length modifier or "l": 32 bits,
// "h": 16, "hh": 8, "ll"/"I64": 64), so a mismatched argument never reads garbage.
// A conversion without an argument prints as 0 or as an empty string.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace vq {

class FormatArg {
  public:
    enum class Kind { Int, UInt, Double, Str, WStr };

    template <typename T>
    requires(std::is_integral_v<T>&& std::is_signed_v<T>) FormatArg(T v)
        : kind_(Kind::Int), i_(v) {}
    template <typename T>
    requires(std::is_integral_v<T>&& std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
        FormatArg(T v)
        : kind_(Kind::UInt), u_(v) {}
    FormatArg(bool v) : kind_(Kind::Int), i_(v ? 1 : 0) {}
    FormatArg(double v) : kind_(Kind::Double), d_(v) {}
    FormatArg(float v) : kind_(Kind::Double), d_(v) {}
    FormatArg(const char* s) : kind_(Kind::Str), s_(s ? s : "") {}
    FormatArg(std::string_view s) : kind_(Kind::Str), s_(s) {}
    FormatArg(const std::string& s) : kind_(Kind::Str), s_(s) {}
    FormatArg(std::u16string_view s) : kind_(Kind::WStr), w_(s) {}
    FormatArg(const std::u16string& s) : kind_(Kind::WStr), w_(s) {}
    FormatArg(const char16_t* s) : kind_(Kind::WStr), w_(s ? s : u"") {}

    Kind kind() const { return kind_; }
    std::int64_t asInt() const;
    std::uint64_t asUInt() const;
    double asDouble() const;
    std::string asNarrow() const;  // wide text narrowed: code units above 255 become '?'

  private:
    Kind kind_;
    std::int64_t i_ = 0;
    std::uint64_t u_ = 0;
    double d_ = 0;
    std::string_view s_;
    std::u16string_view w_;
};

std::string FormatV(std::string_view fmt, std::span<const FormatArg> args);

template <typename... A>
std::string Format(std::string_view fmt, const A&... args) {
    const std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
    return FormatV(fmt, list);
}

}  // namespace vq
