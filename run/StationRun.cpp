// The station's scan at the start of a run.
#include <algorithm>

#include "base/Text.h"
#include "bridge/FlashDetect.h"
#include "bridge/VendorCommands.h"
#include "run/Station.h"

namespace vq {

int Station::RescanForRun(bool needCapacity) {
    RunSettings& s = panel_.settings();
    const bool typeC = s.EnEPPTypeC != 0;
    discovery_.setTypeC(typeC);
    discovery_.setSupportOdd(s.SupportODD != 0);
    const std::uint32_t found = discovery_.ScanBridges(s.SupportODD != 0);
    treeImage_.fill(0);
    entryOfSlot_.fill(-1);
    int count = 0;
    bool firstChipSet = false;
    for (std::size_t i = 0; i < kPortSlots && found > 0; ++i) {
        PortRecord& r = ports_[i];
        r.usable = 0;
        if (!r.present)
            continue;
        entryOfSlot_[i] = pair(r, found);
        r.chipKind = entryOfSlot_[i] >= 0 ? bridge::IdentifyChip(target(r.diskPath)) : 0;
        if (r.chipKind == 0 || (typeC && r.chipKind == 6)) {
            r.chipKind = 0;
            continue;
        }
        const bridge::Target t = target(r.diskPath);
        if (r.chipKind == 25) {
            std::uint8_t reg = 0;
            bridge::ReadXdata(t, 0x702B, Bytes(&reg, 1));
            if ((reg & 0x04) == 0)
                continue;
        }
        if (!firstChipSet) {
            firstChip_ = bridge::IdentifyChipWithRevision(t);
            firstChipSet = true;
        }
        const std::uint64_t mib = bridge::ReadDriveCapacity(t, r.chipKind);
        r.capacityMiB = static_cast<std::int32_t>(static_cast<std::uint32_t>(mib & 0xFFFFFFFFu));
        if (needCapacity && r.capacityMiB <= 0)
            continue;
        r.freeSpace = freeSpaceOf(entryOfSlot_[i]);
        if (r.chipKind == 13 || (r.chipKind >= 19 && r.chipKind <= 29)) {
            r.usbSpeed =
                discovery_.QueryPortSpeed(r.hubPath, static_cast<std::uint32_t>(r.hubPortNumber));
        }
        r.flashType = (r.chipKind == 8 || r.chipKind == 17)
                          ? bridge::kNoFlash
                          : bridge::DetectFlashType(r.chipKind, t);
        std::string version;
        bridge::FormatFirmwareVersion(r.chipKind, t, version);
        r.firmwareVersion = CutText(version, PortRecord::kFirmwareMax);
        r.firmwarePresent = bridge::HasValidFirmware(t, r.chipKind, r.firmwareVersion) ? 1 : 0;
        r.driveLetter = firstDriveLetter(i);
        r.usable = 1;
        treeImage_[i] = 1;
        ++count;
    }
    runDeviceCount_ = count;
    attachedDeviceCount_ = count;
    return count;
}

}  // namespace vq
