#include "app/IniFile.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <system_error>

#include "base/Text.h"
#include "platform/Host.h"

namespace vq {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

bool WrappedInQuotes(std::string_view v) {
    return v.size() >= 2 && IsQuote(v.front()) && v.front() == v.back();
}

std::string ValueOf(std::string_view raw) {
    const auto eq = raw.find('=');
    std::string_view v = Trim(raw.substr(eq + 1));
    if (WrappedInQuotes(v))
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

// What a written value looks like in the file so that a read gives it back.
std::string FileValue(std::string_view value) {
    std::string v(value);
    for (char& c : v) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    const bool blankAtEnd = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()));
    if (blankAtEnd || WrappedInQuotes(v))
        return '"' + v + '"';
    return v;
}

}  // namespace

std::optional<std::int32_t> ParseIniInt(std::string_view value) {
    std::string_view v = Trim(value);
    if (v.empty())
        return std::nullopt;
    std::string_view hex;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X'))
        hex = v.substr(2);
    else if (v.size() > 1 && v[0] == '$')
        hex = v.substr(1);
    if (!hex.empty()) {
        // Up to 8 hex digits, taken as the 32-bit pattern ("0xFFFFFFFF" is -1).
        if (hex.size() > 8)
            return std::nullopt;
        std::uint32_t u = 0;
        for (char c : hex) {
            const int d = HexDigitValue(c);
            if (d < 0)
                return std::nullopt;
            u = (u << 4) | static_cast<std::uint32_t>(d);
        }
        return static_cast<std::int32_t>(u);
    }
    std::size_t i = 0;
    bool negative = false;
    if (v[0] == '+' || v[0] == '-') {
        negative = v[0] == '-';
        i = 1;
    }
    if (i == v.size())
        return std::nullopt;
    std::int64_t n = 0;
    for (; i < v.size(); ++i) {
        if (v[i] < '0' || v[i] > '9')
            return std::nullopt;
        n = n * 10 + (v[i] - '0');
        if (n > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        n = -n;
    if (n < std::numeric_limits<std::int32_t>::min() ||
        n > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(n);
}

std::optional<float> ParseIniFloat(std::string_view value) {
    std::string_view v = Trim(value);
    if (!v.empty() && v.front() == '+')
        v.remove_prefix(1);
    if (v.empty())
        return std::nullopt;
    float f = 0;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), f);
    if (r.ec != std::errc() || r.ptr != v.data() + v.size() || !std::isfinite(f))
        return std::nullopt;
    return f;
}

std::string FormatFloat(float value) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

IniFile::Line IniFile::Classify(std::string raw) {
    Line l;
    const std::string_view t = TrimLeft(raw);
    if (!t.empty() && t.front() == '[') {
        const auto close = t.find(']');
        if (close != std::string_view::npos) {
            l.kind = Kind::Section;
            l.name = std::string(Trim(t.substr(1, close - 1)));
        }
    } else if (!t.empty() && (t.front() == ';' || t.front() == '#')) {
        // comment
    } else {
        const auto eq = raw.find('=');
        if (eq != std::string::npos) {
            l.kind = Kind::Key;
            l.name = std::string(Trim(std::string_view(raw).substr(0, eq)));
        }
    }
    l.raw = std::move(raw);
    return l;
}

bool IniFile::LooksLikeText(std::string_view text) {
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1A)
            continue;
        return false;
    }
    return true;
}

void IniFile::parse(std::string_view text) {
    lines_.clear();
    bom_ = text.substr(0, kBom.size()) == kBom;
    if (bom_)
        text.remove_prefix(kBom.size());
    // A line ends at LF, CR LF or a lone CR.
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        if (end == std::string_view::npos)
            text = std::string_view();
        else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            text = text.substr(end + 2);
        else
            text = text.substr(end + 1);
        lines_.push_back(Classify(std::string(line)));
    }
}

IniFile::LoadStatus IniFile::load(const fs::path& path) {
    lines_.clear();
    bom_ = false;
    std::error_code ec;
    const auto st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found)
        return LoadStatus::Missing;
    if (ec)
        return LoadStatus::Unreadable;
    if (st.type() != fs::file_type::regular)
        return LoadStatus::NotAFile;
    const auto size = fs::file_size(path, ec);
    if (ec)
        return LoadStatus::Unreadable;
    if (size > kMaxFileSize)
        return LoadStatus::TooLarge;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return LoadStatus::Unreadable;
    std::string data(static_cast<std::size_t>(size), '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    if (in.bad())
        return LoadStatus::Unreadable;
    data.resize(static_cast<std::size_t>(in.gcount()));
    // The file may have grown since its size was taken.
    if (in.peek() != std::char_traits<char>::eof())
        return LoadStatus::TooLarge;
    if (!LooksLikeText(data))
        return LoadStatus::NotText;
    parse(data);
    return LoadStatus::Ok;
}

std::size_t IniFile::findSection(std::string_view section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Kind::Section && EqualsNoCase(lines_[i].name, section))
            return i;
    }
    return std::string::npos;
}

std::size_t IniFile::findKey(std::size_t header, std::string_view key) const {
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        if (lines_[i].kind == Kind::Section)
            break;
        if (lines_[i].kind == Kind::Key && EqualsNoCase(lines_[i].name, key))
            return i;
    }
    return std::string::npos;
}

bool IniFile::hasSection(std::string_view section) const {
    return findSection(section) != std::string::npos;
}

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key) const {
    const auto s = findSection(section);
    if (s == std::string::npos)
        return std::nullopt;
    const auto k = findKey(s, key);
    if (k == std::string::npos)
        return std::nullopt;
    return ValueOf(lines_[k].raw);
}

std::string IniFile::getString(std::string_view section, std::string_view key,
                               std::string_view def) const {
    auto v = get(section, key);
    return v ? *v : std::string(def);
}

std::int32_t IniFile::getInt(std::string_view section, std::string_view key,
                             std::int32_t def) const {
    const auto v = get(section, key);
    if (!v)
        return def;
    return ParseIniInt(*v).value_or(def);
}

std::int64_t IniFile::getInt64(std::string_view section, std::string_view key,
                               std::int64_t def) const {
    const auto v = get(section, key);
    if (!v)
        return def;
    bool ok = false;
    const std::int64_t n = ParseDecimal(*v, &ok);
    return ok ? n : def;
}

float IniFile::getFloat(std::string_view section, std::string_view key, float def) const {
    const auto v = get(section, key);
    if (!v)
        return def;
    return ParseIniFloat(*v).value_or(def);
}

void IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string v = FileValue(value);
    const auto s = findSection(section);
    if (s == std::string::npos) {
        if (!lines_.empty() && !Trim(lines_.back().raw).empty())
            lines_.push_back(Classify(""));
        lines_.push_back(Classify("[" + std::string(section) + "]"));
        lines_.push_back(Classify(std::string(key) + "=" + v));
        return;
    }
    const auto k = findKey(s, key);
    if (k != std::string::npos) {
        lines_[k] = Classify(lines_[k].name + "=" + v);
        return;
    }
    // After the section's last key line, else after its last non-blank line.
    std::size_t lastKey = std::string::npos;
    std::size_t lastText = s;
    for (std::size_t i = s + 1; i < lines_.size() && lines_[i].kind != Kind::Section; ++i) {
        if (lines_[i].kind == Kind::Key)
            lastKey = i;
        if (!Trim(lines_[i].raw).empty())
            lastText = i;
    }
    const std::size_t after = lastKey != std::string::npos ? lastKey : lastText;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(after + 1),
                  Classify(std::string(key) + "=" + v));
}

void IniFile::setInt(std::string_view section, std::string_view key, std::int64_t value) {
    set(section, key, std::to_string(value));
}

std::string IniFile::text() const {
    std::string out;
    if (bom_)
        out += kBom;
    for (const auto& l : lines_) {
        out += l.raw;
        out += "\r\n";
    }
    return out;
}

bool IniFile::save(const fs::path& path, std::string* error) const {
    auto fail = [&](std::string why) {
        if (error)
            *error = std::move(why);
        return false;
    };
    // Through a symbolic link the file it points to is replaced; the link stays.
    fs::path target = path;
    std::error_code ec;
    for (int hops = 0; fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
        if (hops == 40)
            return fail("too many levels of symbolic links");
        const fs::path next = fs::read_symlink(target, ec);
        if (ec)
            return fail("cannot read the link " + target.string() + ": " + ec.message());
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    const auto st = fs::status(target, ec);
    const bool exists = fs::exists(st);
    if (exists && st.type() != fs::file_type::regular)
        return fail("not a regular file");
    if (exists && (st.permissions() & fs::perms::owner_write) == fs::perms::none)
        return fail("the file is read-only");
    const std::string data = text();
    if (data.size() > kMaxFileSize)
        return fail("the file would be larger than " + std::to_string(kMaxFileSize) + " bytes");
    return HostReplaceFile(target, data, error);
}

}  // namespace vq
