// A settings file in the Windows private-profile format, with the semantics the station
// relies on (those of GetPrivateProfileString / WritePrivateProfileString):
//
//  - sections ("[name]") and keys ("key=value") are matched without regard to case; the
//    first section of a name is the one read and written, and within it the first line of a
//    key wins;
//  - a read returns the text after the first "=", blanks trimmed, and a value wrapped in
//    matching quotes ('...' or "...") unwrapped;
//  - writing a key replaces its line in place, or inserts it after the last key line of
//    its section (after the section's last non-blank line when it has no keys), or appends
//    the section at the end of the file (after a blank line) when it is missing;
//  - every other line (other keys, other sections, comments, blank lines, lines without
//    "=") is kept as it was, in order; lines end in CR LF on write;
//  - reading tolerates LF, CR LF or lone CR line ends, a UTF-8 byte-order mark (kept on
//    write), a missing final line end, lines without "=", and duplicate keys.
//
// Lines whose first non-blank character is ';' or '#' are comments, never keys. A value
// that starts or ends with a blank, or that is itself wrapped in matching quotes, is written
// inside double quotes so that it reads back unchanged; CR and LF in a written value become
// blanks so a value can never break the file into more lines.
//
// A save writes a temporary file beside the target, flushes it to the disk and renames it
// over the old file, so a crash or power loss leaves either the old or the new file, never a
// torn one. Saving through a symbolic link replaces the file the link points to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

class IniFile {
  public:
    // Settings files are small; anything larger is refused rather than read. A save never
    // writes a larger file, so whatever is written can be read again; the room above the
    // size of any hand-written file covers the growth of LF line ends into CR LF.
    static constexpr std::uintmax_t kMaxFileSize = 4 * 1024 * 1024;

    enum class LoadStatus {
        Ok,
        Missing,     // no file at the path
        NotAFile,    // a folder or another non-regular file
        Unreadable,  // the file could not be opened or read
        TooLarge,    // larger than kMaxFileSize
        NotText,     // binary content (a zero byte or another control character)
    };

    IniFile() = default;

    // Replaces the content with the file at `path`; on failure the content is left empty.
    LoadStatus load(const std::filesystem::path& path);
    // Replaces the content with `text` (no size or content checks).
    void parse(std::string_view text);
    // True when `text` holds only characters a settings file may hold.
    static bool LooksLikeText(std::string_view text);

    // The value of a key, or nullopt when the section or key is missing.
    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    std::string getString(std::string_view section, std::string_view key,
                          std::string_view def) const;
    // Decimal text (optional sign), or hexadecimal with a "0x" or "$" prefix; anything else,
    // including a value outside the 32-bit range, reads as `def`.
    std::int32_t getInt(std::string_view section, std::string_view key, std::int32_t def) const;
    // A number text read like _atoi64: leading blanks, optional sign, the digits up to the
    // first other character; a value beyond the 64-bit range is clamped to its limit; no
    // digits at all read as `def`.
    std::int64_t getInt64(std::string_view section, std::string_view key, std::int64_t def) const;
    // A finite decimal number ("." as separator) making up the whole value, else `def`.
    float getFloat(std::string_view section, std::string_view key, float def) const;

    void set(std::string_view section, std::string_view key, std::string_view value);
    void setInt(std::string_view section, std::string_view key, std::int64_t value);

    // The file's text as save() writes it.
    std::string text() const;
    // Writes the file through a temporary file and a rename. On failure (also when the text
    // is larger than kMaxFileSize) the old file is left untouched and `error` (when given)
    // says why, with the system's reason.
    bool save(const std::filesystem::path& path, std::string* error = nullptr) const;

    bool hasSection(std::string_view section) const;
    std::size_t lineCount() const { return lines_.size(); }

  private:
    enum class Kind { Other, Section, Key };
    struct Line {
        std::string raw;
        Kind kind = Kind::Other;
        std::string name;  // section name or key name, trimmed
    };
    static Line Classify(std::string raw);
    // Index of the first header line of `section`, or npos.
    std::size_t findSection(std::string_view section) const;
    // Index of the key line inside the section starting at `header`, or npos.
    std::size_t findKey(std::size_t header, std::string_view key) const;

    std::vector<Line> lines_;
    bool bom_ = false;
};

// Text of a 32-bit float that reads back to the same value (shortest round-trip form).
std::string FormatFloat(float value);
// The number rules of IniFile, for values that do not come from a file.
std::optional<std::int32_t> ParseIniInt(std::string_view value);
std::optional<float> ParseIniFloat(std::string_view value);

}  // namespace vq
