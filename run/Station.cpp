#include "run/Station.h"

#include <algorithm>
#include <limits>

#include "app/PanelMessages.h"
#include "app/ScanFacts.h"
#include "base/Format.h"
#include "base/Text.h"
#include "bridge/FlashDetect.h"
#include "bridge/VendorCommands.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "platform/VolumeService.h"

namespace vq {

namespace {

bool IsUsb3Kind(int k) {
    return k == 13 || (k >= 19 && k <= 29);
}

bridge::TransportSettings TransportSettingsOf(const RunSettings& s) {
    bridge::TransportSettings t;
    if (s.SCSITimeout > 0)
        t.scsiTimeout = static_cast<std::uint32_t>(s.SCSITimeout);
    return t;
}

}  // namespace

Station::Station(Platform& platform, SettingsPanel& panel)
    : platform_(platform),
      panel_(panel),
      transport_(*platform.scsi, *platform.clock, TransportSettingsOf(panel.settings())),
      osClass_(OsClassOf(platform.osVersion)),
      discovery_(platform, transport_, devices_, ports_, powerRecord_),
      fit_([this] { return firstKind26Board(); }, platform.op),
      portLock_(*platform.clock),
      rwTestLock_(*platform.clock) {
    discovery_.setOsClass(osClass_);
    entryOfSlot_.fill(-1);
    if (!panel_.firmwareFitCheck())
        panel_.setFirmwareFitCheck(&fit_);
}

Station::~Station() {
    if (panel_.firmwareFitCheck() == &fit_)
        panel_.setFirmwareFitCheck(nullptr);
}

bridge::Kind26Board Station::firstKind26Board() const {
    for (const PortRecord& r : ports_) {
        if (r.present && r.chipKind == 26)
            return {target(r.diskPath), r.firmwarePresent != 0};
    }
    return {};
}

bool Station::startEnabled() const {
    return panel_.panel()["ExecuteBtn"].enabled;
}

char Station::firstDriveLetter(std::size_t slot) const {
    const int e = entryOfSlot_[slot];
    if (e < 0 || devices_[static_cast<std::size_t>(e)].masterLetters.empty())
        return 0;
    return devices_[static_cast<std::size_t>(e)].masterLetters.front();
}

void Station::notifyPortStatus() {
    if (onPortStatus_)
        onPortStatus_();
}

void Station::setRunButtons(bool enabled) {
    panel_.panel()["ExecuteBtn"].enabled = enabled;
    panel_.panel()["btnStartTest2"].enabled = enabled;
}

void Station::message(const std::string& text, const char* title, MessageIcon icon) {
    if (platform_.op)
        platform_.op->showMessage({text, title, icon});
}

int Station::pair(PortRecord& r, std::uint32_t entries) {
    const int i = FindEntryOfDevice(devices_, entries, r.usbInstanceId);
    if (i == kAmbiguousEntry) {
        // Two storage devices claim one USB device: driving either could mean driving the
        // other board's disk, so the port is left out.
        message(Format(kAmbiguousDevice, r.sequenceNumber, r.usbInstanceId), msg::kPlainTitle,
                MessageIcon::Warning);
        return -1;
    }
    if (i < 0)
        return -1;
    const DeviceEntry& e = devices_[static_cast<std::size_t>(i)];
    r.diskPath = CutText(e.interfacePath, PortRecord::kPathMax);
    r.diskNode = e.diskNode;
    r.usbNode = e.parentNode;
    r.scsiAttached = static_cast<std::int32_t>(e.uasAttached);
    return i;
}

std::int64_t Station::freeSpaceOf(int entry) {
    if (entry < 0 || !platform_.volumes)
        return 0;
    const DeviceEntry& e = devices_[static_cast<std::size_t>(entry)];
    std::uint64_t sum = 0;
    for (const std::string* letters : {&e.masterLetters, &e.slaveLetters}) {
        for (char letter : *letters) {
            const std::uint64_t free = platform_.volumes->freeBytes(letter).value_or(0);
            const std::uint64_t room =
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - sum;
            sum += free > room ? room : free;
        }
    }
    return static_cast<std::int64_t>(sum);
}

// ---- port-power control ---------------------------------------------------------------

bool Station::InitPowerControl(const std::string& path) {
    const RunSettings& s = panel_.settings();
    power_.devicePath = path;
    const bridge::Target t = target(path);
    bool ok = true;
    std::array<std::uint8_t, 2> reg{};
    ok = bridge::ReadXdata(t, 0x7054, reg) && ok;
    std::uint16_t word = static_cast<std::uint16_t>(reg[0] | (reg[1] << 8));
    word = static_cast<std::uint16_t>(word & ~0x1800u);
    reg = {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8)};
    ok = bridge::WriteXdata(t, 0x7054, reg) && ok;
    platform_.clock->sleepMs(static_cast<std::uint32_t>(std::max(0, s.EPPPowerGPIODelay)));
    word = 0;
    ok = bridge::ReadChipWord(t, word) && ok;
    word = static_cast<std::uint16_t>((word & ~0x1800u) | 0x0800u);
    power_.controlByte = static_cast<std::uint8_t>(word >> 8);
    reg = {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8)};
    ok = bridge::WriteXdata(t, 0x7058, reg) && ok;
    platform_.clock->sleepMs(200);
    power_.ready = ok;
    if (!ok)
        message(kPowerControlFail, msg::kPlainTitle, MessageIcon::None);
    return ok;
}

void Station::PowerOnAtRefresh() {
    const RunSettings& s = panel_.settings();
    const bridge::Target t = target(power_.devicePath);
    power_.controlByte &=
        static_cast<std::uint8_t>(~(PowerControl::kPowerOn | PowerControl::kSecondLine));
    bridge::WriteXdata(t, 0x7059, ConstBytes(&power_.controlByte, 1));
    platform_.clock->sleepMs(static_cast<std::uint32_t>(std::max(0, s.EPPPowerOffDelay)));
    power_.controlByte |= PowerControl::kPowerOn;
    power_.controlByte &= static_cast<std::uint8_t>(~PowerControl::kSecondLine);
    bridge::WriteXdata(t, 0x7059, ConstBytes(&power_.controlByte, 1));
    platform_.clock->sleepMs(200);
}

void Station::handlePowerControlDevice(const std::string& path) {
    if (!power_.ready) {
        InitPowerControl(path);
    } else if ((power_.controlByte & PowerControl::kPowerOn) == 0) {
        power_.devicePath = path;
        PowerOnAtRefresh();
    }
}

// ---- the device refresh ---------------------------------------------------------------

std::uint32_t Station::DeviceRefresh() {
    RunSettings& s = panel_.settings();
    const bool typeC = s.EnEPPTypeC != 0;
    discovery_.setTypeC(typeC);
    discovery_.setSupportOdd(s.SupportODD != 0);

    // 1. The scan rebuilds the port table.
    const std::uint32_t found = discovery_.ScanBridges(s.SupportODD != 0);

    // 2. Nothing may start while the refresh decides.
    setRunButtons(false);
    treeImage_.fill(0);
    entryOfSlot_.fill(-1);
    ready_ = false;
    usb31Gen1_ = false;
    usb31Gen2_ = false;

    // 3. Nothing found.
    auto nothingToRun = [&] {
        runDeviceCount_ = 0;
        attachedDeviceCount_ = 0;
        autoStart_ = false;
        // The panel's rules must not go on working with the devices of an earlier scan.
        panel_.inputs().deviceCount = 0;
        panel_.inputs().runMayStart = false;
    };
    if (found == 0) {
        power_.ready = false;
        nothingToRun();
        notifyPortStatus();
        return 0;
    }

    // 4. Pair each present slot with its storage device and identify the chip.
    bool powerSeen = false;
    bool firstChipSet = false;
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        PortRecord& r = ports_[i];
        if (!r.present)
            continue;
        entryOfSlot_[i] = pair(r, found);
        r.chipKind = entryOfSlot_[i] >= 0 ? bridge::IdentifyChip(target(r.diskPath)) : 0;
        if (typeC && r.chipKind == 6) {
            // The control board is no device under test.
            powerSeen = true;
            handlePowerControlDevice(r.diskPath);
            r.chipKind = 0;
            continue;
        }
        if (r.chipKind != 0 && !firstChipSet) {
            firstChip_ = bridge::IdentifyChipWithRevision(target(r.diskPath));
            firstChipSet = true;
        }
    }
    // The hub walk moves the control board (known by its serial number) out of the port
    // table; it is looked after here all the same, or it would never be initialised.
    if (typeC && powerRecord_.present && !powerSeen) {
        if (pair(powerRecord_, found) >= 0) {
            powerRecord_.chipKind = bridge::IdentifyChip(target(powerRecord_.diskPath));
            if (powerRecord_.chipKind == 6) {
                powerSeen = true;
                handlePowerControlDevice(powerRecord_.diskPath);
            }
        }
    }
    if (typeC && !powerSeen)
        power_.ready = false;

    // 5. Usable devices.
    int count = 0;
    std::vector<AttachedBridge> attached;
    std::vector<std::size_t> usableSlots;
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        PortRecord& r = ports_[i];
        r.usable = 0;
        if (!r.present || r.chipKind == 0)
            continue;
        if (r.chipKind == 25) {
            std::uint8_t reg = 0;
            bridge::ReadXdata(target(r.diskPath), 0x702B, Bytes(&reg, 1));
            if ((reg & 0x04) == 0)
                continue;
        }
        r.usable = 1;
        treeImage_[i] = 1;
        ++count;
        usableSlots.push_back(i);
    }

    // 6. What each usable device is and holds.
    bool capacityOk = true;
    bool anyUsb3 = false;
    bool allGen1 = true;
    bool allGen2 = true;
    bool freeSpaceReferenceSet = s.FreeSpace != 0;
    const bool capacityCheck = s.Capacity != 0 && !panel_.panel()["cbCloneProduct"].checked;
    const std::int32_t nominal =
        s.Capacity == 1 ? ParseDecimal32(panel_.panel()["CapacityUserDefEdit"].text) : s.Capacity;
    for (std::size_t i : usableSlots) {
        PortRecord& r = ports_[i];
        const bridge::Target t = target(r.diskPath);
        const std::uint64_t mib = bridge::ReadDriveCapacity(t, r.chipKind);
        r.capacityMiB = static_cast<std::int32_t>(static_cast<std::uint32_t>(mib & 0xFFFFFFFFu));
        r.freeSpace = freeSpaceOf(entryOfSlot_[i]);
        if (!freeSpaceReferenceSet) {
            s.FreeSpace = r.freeSpace;
            freeSpaceReferenceSet = true;
            if (s.EnFreeSpaceCheck != 0 && s.FreeSpace != 0)
                panel_.panel()["FreeSpaceEdit"].text = std::to_string(s.FreeSpace);
        }
        if (IsUsb3Kind(r.chipKind)) {
            r.usbSpeed =
                discovery_.QueryPortSpeed(r.hubPath, static_cast<std::uint32_t>(r.hubPortNumber));
            anyUsb3 = true;
            allGen1 = allGen1 && r.usbSpeed >= 3 && r.usbSpeed != kSpeedUnknown;
            allGen2 = allGen2 && r.usbSpeed == 4;
        }
        r.flashType = (r.chipKind == 8 || r.chipKind == 17)
                          ? bridge::kNoFlash
                          : bridge::DetectFlashType(r.chipKind, t);
        std::string version;
        bridge::FormatFirmwareVersion(r.chipKind, t, version);
        r.firmwareVersion = CutText(version, PortRecord::kFirmwareMax);
        r.firmwarePresent = bridge::HasValidFirmware(t, r.chipKind, r.firmwareVersion) ? 1 : 0;
        if (capacityCheck && !CapacityMatches(static_cast<std::uint32_t>(r.capacityMiB), nominal))
            capacityOk = false;

        AttachedBridge b;
        b.chipKind = r.chipKind;
        b.revision = attached.empty() ? bridge::RevisionOf(firstChip_) : 0;
        b.speedClass = static_cast<std::uint8_t>(r.usbSpeed);
        attached.push_back(b);
    }

    usb31Gen1_ = anyUsb3 && allGen1;
    usb31Gen2_ = anyUsb3 && allGen2;

    // 7. The port list and the counters.
    notifyPortStatus();
    runDeviceCount_ = count;
    attachedDeviceCount_ = count;

    // 8. No usable device: nothing may start.
    if (count == 0) {
        nothingToRun();
        return found;
    }

    // 9. Readiness, and the panel adjusted to the devices present (which shows the
    // interleave, chip-model and firmware-file messages).
    bool ready = s.MPDevCount == 0 || s.MPDevCount == count;
    if (!capacityOk) {
        message(kCapacityCheck, msg::kPlainTitle, MessageIcon::None);
        ready = false;
    }
    ScanFacts facts = ClassifyScan(attached, s.EEPROMOnly != 0);
    // The firmware file must fit the first chip as identification names it (a v429C3 is
    // kind 4 revision 4 there, not kind 6).
    facts.firstChipIdentity = firstChip_;
    panel_.inputs().firmwareFits = true;
    panel_.AdjustAfterScan(facts);
    if (facts.modelCount >= 2 || !panel_.inputs().firmwareFits)
        ready = false;
    ready_ = ready;

    // 10. Auto and barcode mode start by themselves; otherwise START follows readiness.
    if (s.MPAutorun != 0 || s.EnBarcodeMode != 0) {
        autoStart_ = ready;
        setRunButtons(false);
    } else {
        autoStart_ = false;
        setRunButtons(ready);
    }
    panel_.inputs().runMayStart = autoStart_;
    return found;
}

void Station::barcodeFocus() {
    panel_.setText("String3Edit", "");
    if (panel_.inputs().resultWindowVisible)
        return;
    const PanelModel& p = panel_.panel();
    const Control& panel5 = p["Panel5"];
    const Control& serial = p["String3Edit"];
    if (panel_.settings().EnEEPROMUpdate != 0 && autoStart_ && runDeviceCount_ >= 1 &&
        panel5.enabled && panel5.visible && serial.enabled && serial.visible) {
        panel_.panel().focus = "String3Edit";
    }
}

void Station::RefreshBtnClick() {
    panel_.inputs().resultWindowVisible = false;
    DeviceRefresh();
    if (panel_.settings().EnBarcodeMode != 0) {
        barcodeFocus();
        return;
    }
    if (panel_.inputs().resultWindowVisible)
        return;
    const Control& start = panel_.panel()["ExecuteBtn"];
    panel_.panel().focus = (start.visible && start.enabled) ? "ExecuteBtn" : "RefreshBtn";
}

}  // namespace vq
