#include "run/TestLog.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <mutex>

#include "base/Format.h"
#include "bridge/VendorCommands.h"

namespace vq {

namespace fs = std::filesystem;

LocalDateTime SystemLocalTime() {
    static std::mutex m;  // localtime shares one buffer
    std::lock_guard lock(m);
    const std::time_t now = std::time(nullptr);
    const std::tm* t = std::localtime(&now);
    LocalDateTime d;
    if (!t)
        return d;
    d.year = t->tm_year + 1900;
    d.month = t->tm_mon + 1;
    d.day = t->tm_mday;
    d.hour = t->tm_hour;
    d.minute = t->tm_min;
    d.second = t->tm_sec;
    d.dayOfWeek = t->tm_wday;
    return d;
}

namespace test_log {

const char* LogText(RunResult r) {
    switch (r) {
        case run_result::kFail:
            return "Fail";
        case run_result::kPass:
            return "Pass";
        case run_result::kUnmatched:
            return "Unmatched";
        default:
            return "----";
    }
}

std::string TimeStamp(const LocalDateTime& t) {
    return Format("%04d/%02d/%02d\t%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
}

ConfigReadBack ReadBackThrough(const bridge::Transport& transport,
                               std::function<void(const std::string&)> debug) {
    return [&transport, debug](const PortRecord& r, std::uint32_t address,
                               std::span<std::uint8_t> out) {
        if (bridge::ReadMemory({transport, r.diskPath}, address, out))
            return true;
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        if (debug)
            debug("Can't get data.");
        return false;
    };
}

namespace {

bool ReadBackKind(int k) {
    return k == 19 || k == 20 || (k >= 25 && k <= 29);
}

// A string of the configuration: its length byte and first character position.
std::string ConfigString(std::span<const std::uint8_t> c, std::size_t lengthAt,
                         std::size_t charsAt) {
    const int n = c[lengthAt] / 2 - 1;
    if (n < 1 || n > 31)
        return "0000";
    std::string s;
    for (int i = 0; i < n; ++i) {
        const std::size_t at = charsAt + static_cast<std::size_t>(i);  // one byte a character
        const std::uint8_t ch = at < c.size() ? c[at] : 0;
        if (ch == 0)
            break;  // the text ends at its first zero, as a C string does
        s.push_back(static_cast<char>(ch));
    }
    return s;
}

}  // namespace

std::string IdentityFromConfig(std::span<const std::uint8_t> c) {
    const std::string vid = Format("%02X%02X", c[1], c[0]);
    const std::string pid = Format("%02X%02X", c[3], c[2]);
    return Format("%s / %s / %s / %s / %s \t", vid, pid, ConfigString(c, 12, 14),
                  ConfigString(c, 48, 50), ConfigString(c, 84, 86));
}

std::string IdentityPiece(const PortRecord& r, const RunSettings& s, const LineOptions& o,
                          const ConfigReadBack& readBack) {
    if (s.EnEEPROMUpdate != 0 && s.MPEEPROMToLog != 0) {
        const std::string manufacturer = s.MapToHDName != 0 ? "Velmora" : s.StringA.str();
        return Format("%s / %s / %s / %s / %s\t", s.VenderID.str(), s.ProductID.str(), manufacturer,
                      s.StringB.str(), r.writtenSerial);
    }
    if (o.typeC || s.MPPortReset != 0 || !ReadBackKind(r.chipKind)) {
        return Format("%s / %s / %s / %s / %s\t", Format("%04X", r.vid), Format("%04X", r.pid),
                      r.manufacturer, r.product, r.serial);
    }
    std::array<std::uint8_t, 512> buffer{};
    std::uint32_t address = 0xC000;
    std::size_t length = 512;
    if (r.chipKind == 19)
        length = 256;
    else if (r.chipKind == 25 || r.chipKind == 26)
        address = 0xD000;
    else if (r.chipKind >= 27)
        address = 0x11000;
    if (readBack)
        readBack(r, address, std::span<std::uint8_t>(buffer.data(), length));
    return IdentityFromConfig(buffer);
}

std::string VerifyPiece(const PortRecord& r, const RunSettings& s, const LineOptions& o) {
    auto column = [&](bool made, std::uint32_t bit) -> const char* {
        if (!made)
            return "----";
        return (r.verifyMismatch & bit) ? "Fail" : "Pass";
    };
    const bool verify = s.EnVenderCheck != 0;
    return Format("%s\t %s\t %s\t %s\t %s\t %s\t", column(verify, verify_bits::kVidPid),
                  column(verify, verify_bits::kManufacturer), column(verify, verify_bits::kProduct),
                  column(verify && s.EnCheckDiskName != 0, verify_bits::kDiskName),
                  column(verify && s.EnCheckVolLabel != 0 && o.volumeLabelCheckShown,
                         verify_bits::kVolumeLabel),
                  column(verify && s.EnCheckHDDFwRev != 0 && o.hddFirmwareCheckShown,
                         verify_bits::kHddFirmware));
}

std::string ResultsPiece(const PortRecord& r, std::optional<int> phase) {
    static constexpr const char* kLabels[3] = {"CC1-FwUp", "CC1-Test", "CC2-Test"};
    if (!phase) {
        return Format("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%.1f/%.1f\t%s\t%s\t%s\r\n",
                      LogText(r.usb31Check), LogText(r.firmware), LogText(r.eeprom),
                      LogText(r.firmwareCheck), LogText(r.relink), LogText(r.partition),
                      LogText(r.format), LogText(r.readWrite), r.readSpeed, r.writeSpeed,
                      LogText(r.softwareCopy), LogText(r.folderCompare), LogText(r.finalResult));
    }
    const char* label = kLabels[std::clamp(*phase, 0, 2)];
    if (*phase == 0) {
        return Format("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t--/--\t%s\t%s\t%s\t%s\r\n",
                      LogText(r.usb31Check), LogText(r.firmware), LogText(r.eeprom),
                      LogText(r.firmwareCheck), LogText(r.relink), LogText(r.partition),
                      LogText(r.format), LogText(r.readWrite), LogText(r.softwareCopy),
                      LogText(r.folderCompare), LogText(r.finalResult), label);
    }
    return Format("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%.1f/%.1f\t%s\t%s\t%s\t%s\r\n",
                  LogText(r.usb31Check), LogText(r.firmware), LogText(r.eeprom),
                  LogText(r.firmwareCheck), LogText(r.relink), LogText(r.partition),
                  LogText(r.format), LogText(r.readWrite), r.readSpeed, r.writeSpeed,
                  LogText(r.softwareCopy), LogText(r.folderCompare), LogText(r.finalResult), label);
}

std::string DeviceLine(int number, const LocalDateTime& stamp, const PortRecord& r,
                       const RunSettings& s, const LineOptions& o, const ConfigReadBack& readBack,
                       std::optional<int> phase) {
    return Format("%06d\t", number) + TimeStamp(stamp) + "\t" + IdentityPiece(r, s, o, readBack) +
           VerifyPiece(r, s, o) + ResultsPiece(r, phase);
}

}  // namespace test_log

fs::path TestLog::fileOf(int sequence) const {
    return folder_ / Format("%s_%03d.txt", pattern_, sequence);
}

void TestLog::ChooseFile(const LocalDateTime& start) {
    pattern_ = Format("%04d%02d%02d", start.year, start.month, start.day);
    std::error_code ec;
    int n = 0;
    while (n < test_log::kMaxSequence && fs::exists(fileOf(n), ec))
        ++n;
    // Every number of the day taken: the last one stays current and rolls over no further
    // than the pattern allows.
    sequence_ = n > 0 ? n - 1 : 0;
    const fs::path last = fileOf(sequence_);
    if (fs::exists(last, ec) && fs::file_size(last, ec) >= test_log::kSizeLimit && !ec)
        ++sequence_;
    current_ = fileOf(sequence_);
}

bool TestLog::appendTo(const fs::path& file, const std::string& text, bool header) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    if (!out)
        return false;
    if (header)
        out << test_log::kHeader;
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

bool TestLog::AppendRun(const std::string& lines) {
    if (current_.empty())
        return false;
    std::error_code ec;
    fs::create_directories(folder_, ec);
    bool exists = fs::exists(current_, ec);
    if (exists) {
        // A file another program holds is tried again a few times.
        bool openable = false;
        for (int attempt = 0; attempt < 7 && !openable; ++attempt) {
            if (attempt > 0)
                clock_.sleepMs(10);
            std::ofstream probe(current_, std::ios::binary | std::ios::app);
            openable = static_cast<bool>(probe);
        }
        if (!openable)
            return false;
        const std::uint64_t size = fs::file_size(current_, ec);
        if (!ec && size >= test_log::kSizeLimit) {
            ++sequence_;
            current_ = fileOf(sequence_);
            exists = fs::exists(current_, ec);
        }
    }
    return appendTo(current_, lines, !exists);
}

bool TestLog::AppendSummary(const std::string& text) {
    std::error_code ec;
    if (current_.empty() || !fs::exists(current_, ec) || fs::file_size(current_, ec) == 0 || ec)
        return false;
    return appendTo(current_, text, false);
}

std::string PhaseSummary(bool passed, const std::array<std::string, 3>& lines, int totalTestCount,
                         const LocalDateTime& stamp) {
    if (passed)
        return "---EPP Pass------------\r\n" + lines[0] + lines[1] + lines[2];
    std::string out = "---EPP Fail------------\r\n";
    const std::string ts = test_log::TimeStamp(stamp);
    bool missingSeen = false;
    for (int k = 0; k < 3; ++k) {
        const std::string& line = lines[static_cast<std::size_t>(k)];
        if (line.size() >= 31) {
            out += line;
            continue;
        }
        if (!missingSeen) {
            missingSeen = true;
            if (k == 0) {
                out += Format("%06d\t%s\t---CC1 Firmware Update : Device not found. ------\r\n",
                              totalTestCount, ts);
            } else {
                out += Format("%06d\t%s\t---CC%d Test : Device not found. ------\r\n",
                              totalTestCount, ts, k);
            }
        } else {
            out += Format(
                "%06d\t%s\t---CC%d Test : Because the previous test item failed, bypassing "
                "following test items. ------\r\n",
                totalTestCount, ts, k);
        }
    }
    return out;
}

}  // namespace vq
