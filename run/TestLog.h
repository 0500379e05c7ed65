// The daily test log beside the program: one tab-separated line per tested device, the
// header of every new file, the roll-over of full files, and the type-C phase summary.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/RunSettings.h"
#include "bridge/Transport.h"
#include "devices/PortRecord.h"
#include "platform/Clock.h"

namespace vq {

// A local date and time as the log writes it.
struct LocalDateTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 0;  // 0 Sunday
};
using LocalTimeSource = std::function<LocalDateTime()>;
// The machine's local time from the standard library.
LocalDateTime SystemLocalTime();

namespace test_log {

inline constexpr std::uint64_t kSizeLimit = 83000;
inline constexpr int kMaxSequence = 100000;
inline constexpr const char* kHeader =
    "No.\t  Date\t   Time\t VID/PID/ManuStr/ProdStr/SN\t vfVIDPID\t vfManuStr\t vfProdStr\t "
    "vfDiskName\t vfVol.\t vfHDDFWRev.\t Usb3.0Check\t F/W\t EEPROM\t FW Check\t ReLink\t "
    "Part.\t Format\t R/W\t Speed\t SW Copy\t FolderCompare\t Result\r\n";
inline constexpr const char* kOpenFailed = "Fail to open/create log file!";
inline constexpr const char* kSummaryOpenFailed = "Open log file Fail !!";
inline constexpr std::size_t kPhaseLineMax = 259;  // a phase buffer of 260 characters

// Log text of a result: "Fail", "Pass", "Unmatched", else "----".
const char* LogText(RunResult r);

// "%04d/%02d/%02d\t%02d:%02d:%02d" of a time.
std::string TimeStamp(const LocalDateTime& t);

// What decides the columns of a line besides the port record.
struct LineOptions {
    bool typeC = false;
    // The volume-label and drive-firmware checks with their check boxes visible and enabled.
    bool volumeLabelCheckShown = false;
    bool hddFirmwareCheckShown = false;
};

// Reads the configuration back from a bridge for the third identity form; false when the
// read failed (the buffer then stays zero).
using ConfigReadBack =
    std::function<bool(const PortRecord&, std::uint32_t address, std::span<std::uint8_t> out)>;
// The read-back through the bridge commands.
ConfigReadBack ReadBackThrough(const bridge::Transport& transport,
                               std::function<void(const std::string&)> debug = {});

// The identity piece of a device line (three forms, see the .cpp).
std::string IdentityPiece(const PortRecord& r, const RunSettings& s, const LineOptions& o,
                          const ConfigReadBack& readBack);
// The identity of the third form from a read-back buffer of the configuration.
std::string IdentityFromConfig(std::span<const std::uint8_t> config);
std::string VerifyPiece(const PortRecord& r, const RunSettings& s, const LineOptions& o);
// The results piece; a phase label ends it with one more column (type-C mode) and phase 0
// logs no speeds.
std::string ResultsPiece(const PortRecord& r, std::optional<int> phase = std::nullopt);
// The whole line of one device: number, time stamp, identity, verification, results.
std::string DeviceLine(int number, const LocalDateTime& stamp, const PortRecord& r,
                       const RunSettings& s, const LineOptions& o, const ConfigReadBack& readBack,
                       std::optional<int> phase = std::nullopt);

}  // namespace test_log

// The log files of one program run: chosen at start-up, appended after every run.
class TestLog {
  public:
    // `folder` is the "log" folder beside the program; `clock` paces the open retries.
    TestLog(std::filesystem::path folder, Clock& clock)
        : folder_(std::move(folder)), clock_(clock) {}

    // Start-up: the name pattern takes the date of `start`; the last existing file of the
    // day is current unless it is full.
    void ChooseFile(const LocalDateTime& start);
    const std::filesystem::path& currentFile() const { return current_; }
    int sequence() const { return sequence_; }
    std::filesystem::path fileOf(int sequence) const;

    // Appends the text of one run: opens the current file (creating it with the header),
    // moves to the next file when the current one is full, writes everything and flushes.
    // False when the file could not be opened or created (nothing is written).
    bool AppendRun(const std::string& lines);
    // The type-C summary goes into the current file only when it exists and is not empty.
    bool AppendSummary(const std::string& text);

  private:
    bool appendTo(const std::filesystem::path& file, const std::string& text, bool header);

    std::filesystem::path folder_;
    Clock& clock_;
    std::string pattern_;  // "YYYYMMDD"
    int sequence_ = 0;
    std::filesystem::path current_;
};

// The type-C summary of a three-phase sequence (what AppendSummary writes).
// A phase whose kept line is shorter than 31 characters did not run: the first such phase
// is logged as "Device not found", the later ones as bypassed.
std::string PhaseSummary(bool passed, const std::array<std::string, 3>& lines, int totalTestCount,
                         const LocalDateTime& stamp);

}  // namespace vq
