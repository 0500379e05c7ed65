// The port status display as data: the port tree, the result grid, the progress and the
// yield text, rebuilt from the port records on every "port status changed". Both front
// ends draw it; the finished devices are counted into the yield counters here, each
// finish notice exactly once.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/RunSettings.h"
#include "devices/PortRecord.h"

namespace vq {

enum class CellColour : std::uint32_t {
    Black = 0x000000,
    Red = 0x0000FF,  // colour values as the window system stores them (BGR)
    Blue = 0xFF0000,
};

struct DisplayCell {
    std::string text;
    CellColour colour = CellColour::Black;
    bool bold = false;
};

struct DisplayRow {
    bool usable = false;
    std::string treeText = "Port";  // the port tree node
    int treeImage = 0;
    // "Port", "Con.", "VID / PID / SN", "Capacity", "FWVer", "Verify", "U3.1", "F/W",
    // "EEPROM", "Partition", "Format", "R/W Test", "S/W", "F/C"; empty for unusable slots.
    std::array<DisplayCell, 14> cells{};
};

// What the redraw reads besides the records.
struct DisplayInputs {
    int deviceCount = 0;  // usable devices of the last scan
    bool typeC = false;
    int phase = 0;  // type-C: 0 CC1 firmware update, 1 CC1 test, 2 CC2 test
    bool showRwPerf = false;
    bool freeSpaceCheck = false;
    bool firmwareCheckEnabled = false;  // the FWCheckBox is enabled
};

class PortDisplay {
  public:
    static constexpr std::array<const char*, 14> kColumns = {
        "Port", "Con.",   "VID / PID / SN", "Capacity", "FWVer",    "Verify", "U3.1",
        "F/W",  "EEPROM", "Partition",      "Format",   "R/W Test", "S/W",    "F/C"};
    static constexpr std::array<int, 14> kWidths = {36, 40, 190, 100, 65, 0, 0,
                                                    55, 60, 0,   65,  85, 0, 0};

    // The redraw of `notices` coalesced "port status changed" notifications (at least 1):
    // copies the records under `recordsLock`, clears each finish notice it counts, counts
    // it into the yield counters of `counters`, and rebuilds the rows, progress and yield.
    void Redraw(PortTable& ports, std::mutex& recordsLock, RunSettings& counters,
                const DisplayInputs& in, int notices = 1);
    // "Reset" of the yield counters.
    void ResetYield(RunSettings& counters);
    // A new type-C sequence starts its progress at 0.
    void ResetPhaseProgress() { phaseProgress_ = 0; }
    // The refresh and the run start show 0 %.
    void SetProgress(int percent);

    const std::array<DisplayRow, kPortSlots>& rows() const { return rows_; }
    int progress() const { return progress_; }
    std::string progressText() const;  // "%d%%"
    const std::string& yieldText() const { return yield_; }
    // Every finish notice counted so far (pass and fail).
    int noticesCounted() const { return counted_; }

    // The colour of a result cell.
    static DisplayCell ResultCell(std::string text);

  private:
    std::array<DisplayRow, kPortSlots> rows_{};
    int progress_ = 0;
    int phaseProgress_ = 0;
    int counted_ = 0;
    std::string yield_ = "0 / 0";
};

// The texts of one usable slot's row.
DisplayRow MakeRow(const PortRecord& r, const DisplayInputs& in);

}  // namespace vq
