#include "run/PortDisplay.h"

#include <algorithm>

#include "base/Format.h"
#include "base/Text.h"

namespace vq {

DisplayCell PortDisplay::ResultCell(std::string text) {
    DisplayCell c;
    const std::string_view t = text;
    if (t.starts_with("Fail") || t.starts_with("Unmatched")) {
        c.colour = CellColour::Red;
        c.bold = true;
    } else if (t.starts_with("Pass")) {
        c.colour = CellColour::Blue;
        c.bold = true;
    }
    c.text = std::move(text);
    return c;
}

DisplayRow MakeRow(const PortRecord& r, const DisplayInputs& in) {
    DisplayRow row;
    row.usable = true;
    row.treeImage = 1;
    row.treeText = Format("Port  %d", r.hubPortNumber);
    auto& c = row.cells;
    c[0].text = Format("%d", r.hubPortNumber);
    const bool usb3Kind = r.chipKind == 13 || (r.chipKind >= 19 && r.chipKind <= 24);
    c[1].text = usb3Kind ? (r.usbSpeed < 3 ? "2.0" : "3.0") : "YES";
    c[2].text =
        ToUpper(Format("%04s / %04s / %s", Format("%X", r.vid), Format("%X", r.pid), r.serial));
    c[3].text =
        in.freeSpaceCheck ? Format("%I64d Bytes", r.freeSpace) : Format("%d MB", r.capacityMiB);
    c[4].text = r.firmwarePresent ? r.firmwareVersion : "InCode";
    auto result = [](RunResult v) {
        return PortDisplay::ResultCell(std::string(RunResultText(v)));
    };
    c[5] = result(r.verify);
    c[6] = result(r.usb31Check);
    c[7] = result(in.firmwareCheckEnabled ? r.firmwareCheck : r.firmware);
    c[8] = result(r.eeprom);
    c[9] = result(r.partition);
    c[10] = result(r.format);
    if (in.showRwPerf) {
        if (r.readWrite == run_result::kPass || r.readWrite == run_result::kFail) {
            c[11] = PortDisplay::ResultCell(
                Format("%s (%.1f %.1f)", RunResultText(r.readWrite), r.readSpeed, r.writeSpeed));
        } else if (r.readWrite == run_result::kRunning || r.readWrite == run_result::kSkipped ||
                   r.readWrite == run_result::kUnmatched) {
            c[11] = result(r.readWrite);
        }
    } else {
        c[11] = result(r.readWrite);
    }
    c[12] = result(r.softwareCopy);
    c[13] = result(r.folderCompare);
    return row;
}

void PortDisplay::Redraw(PortTable& ports, std::mutex& recordsLock, RunSettings& counters,
                         const DisplayInputs& in, int notices) {
    PortTable copy;
    std::array<RunResult, kPortSlots> finished{};
    {
        std::lock_guard lock(recordsLock);
        for (std::size_t i = 0; i < kPortSlots; ++i) {
            if (ports[i].usable) {
                finished[i] = ports[i].finishNotice;
                ports[i].finishNotice = 0;
            }
        }
        copy = ports;
    }

    int sum = 0;
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const PortRecord& r = copy[i];
        if (!r.usable) {
            rows_[i] = DisplayRow{};
            continue;
        }
        sum += r.progress;
        const RunResult notice = finished[i];
        if (notice != 0) {
            ++counted_;
            if (!in.typeC) {
                ++counters.TotalTestCount;
                if (notice == run_result::kPass)
                    ++counters.NumberOfPass;
            } else if (in.phase == 0) {
                ++counters.TotalTestCount;
            } else if (in.phase == 2 && notice == run_result::kPass) {
                ++counters.NumberOfPass;
            }
        }
        rows_[i] = MakeRow(r, in);
    }

    if (in.deviceCount > 0) {
        if (in.typeC) {
            for (int n = 0; n < std::max(1, notices); ++n) {
                phaseProgress_ += sum / 6;
                if (phaseProgress_ > 99)
                    phaseProgress_ = 100;
            }
            progress_ = phaseProgress_;
        } else {
            progress_ = sum / in.deviceCount;
        }
    }
    yield_ = Format("%d / %d", counters.NumberOfPass, counters.TotalTestCount);
}

void PortDisplay::ResetYield(RunSettings& counters) {
    counters.TotalTestCount = 0;
    counters.NumberOfPass = 0;
    yield_ = "0 / 0";
}

void PortDisplay::SetProgress(int percent) {
    progress_ = percent;
}

std::string PortDisplay::progressText() const {
    return Format("%d%%", progress_);
}

}  // namespace vq
