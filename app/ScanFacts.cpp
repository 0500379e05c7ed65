#include "app/ScanFacts.h"

#include <set>

namespace vq {

namespace {
bool In(int k, int lo, int hi) {
    return k >= lo && k <= hi;
}
}  // namespace

ScanFacts ClassifyScan(const std::vector<AttachedBridge>& bridges, bool eepromOnly,
                       bool runMayStart) {
    ScanFacts f;
    f.deviceCount = static_cast<int>(bridges.size());
    f.runMayStart = runMayStart;
    if (bridges.empty())
        return f;
    f.firstChipIdentity =
        static_cast<std::uint16_t>(bridges.front().chipKind | (bridges.front().revision << 8));
    const int firstRevision = bridges.front().revision;
    std::set<int> kinds;
    bool anyUsb3 = false;
    bool allGen2 = true;
    bool allAbove2 = true;
    for (const auto& b : bridges) {
        const int k = b.chipKind;
        kinds.insert(k);
        if (In(k, 6, 9) || In(k, 11, 13) || In(k, 15, 30) || k == 35)
            f.typeChoiceAllowed = false;
        if (In(k, 31, 34))
            f.type3Offered = false;
        if (k == 30 || k == 35)
            f.type3Offered = true;
        if (k == 8 || k == 17 || In(k, 31, 34) || ((k == 30 || k == 35) && eepromOnly))
            f.firmwareGroupUsable = false;
        if (In(k, 6, 7) || In(k, 15, 18))
            f.standbyTimerSupported = true;
        else if (k == 8)
            f.standbyTimerSupported = firstRevision >= 8;
        else if (k == 9 || In(k, 11, 12) || In(k, 30, 35))
            f.standbyTimerSupported = false;
        if (In(k, 6, 9) || In(k, 11, 13) || In(k, 15, 29))
            f.olderBridgesOnly = false;
        if (k == 13 || In(k, 19, 29)) {
            f.usb3Bridge = true;
            anyUsb3 = true;
            if (b.speedClass == 255 || b.speedClass < 4)
                allGen2 = false;
            if (b.speedClass == 255 || b.speedClass < 3)
                allAbove2 = false;
        }
        if (In(k, 18, 24))
            f.opticalSizeBridge = true;
        if (In(k, 19, 29))
            f.driveStringBridge = true;
        if (In(k, 21, 24)) {
            f.stringSourceBridge = true;
            f.diskStepsOff = true;
        }
        if (k == 30 || k == 35)
            f.parallelFlashBridge = true;
        else
            f.otherBridge = true;
        if (k == 17 || k == 18)
            f.chipKind17or18 = true;
    }
    f.modelCount = static_cast<int>(kinds.size());
    f.usb3AllGen2 = anyUsb3 && allGen2;
    f.usb3AllAboveUsb2 = anyUsb3 && allAbove2;
    return f;
}

}  // namespace vq
