#include "devices/Discovery.h"

#include <algorithm>

#include "base/Format.h"
#include "base/Text.h"
#include "bridge/ChipIdentity.h"
#include "bridge/VendorCommands.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "platform/StorageEnumerator.h"
#include "platform/VolumeService.h"

namespace vq {

// ---- operating-system tests -----------------------------------------------------------

bool IsWindows2000(const std::optional<OsVersion>& v) {
    return v && v->major == 5 && v->minor == 0;
}
bool IsVista(const std::optional<OsVersion>& v) {
    return v && v->major == 6 && v->minor == 0;
}
bool IsVistaWithServicePack(const std::optional<OsVersion>& v) {
    return IsVista(v) && v->servicePackMajor != 0;
}
bool IsWindows7Or8Family(const std::optional<OsVersion>& v) {
    return v && v->major == 6 && v->minor != 0;
}
bool IsWindows8Or81(const std::optional<OsVersion>& v) {
    return v && v->major == 6 && (v->minor == 2 || v->minor == 3);
}
bool IsWindows10(const std::optional<OsVersion>& v) {
    return v && v->major == 10 && v->minor == 0;
}
bool IsVistaOrLater(const std::optional<OsVersion>& v) {
    return v && v->major > 5;
}
int OsClassOf(const std::optional<OsVersion>& v) {
    if (IsWindows8Or81(v) || IsWindows10(v))
        return 3;
    if (IsWindows7Or8Family(v))
        return 2;
    return 0;
}

// ---- discovery ------------------------------------------------------------------------

Discovery::Discovery(Platform& platform, const bridge::Transport& transport, DeviceTable& devices,
                     PortTable& ports, PortRecord& powerControl)
    : platform_(platform),
      transport_(transport),
      devices_(devices),
      ports_(ports),
      powerControl_(powerControl) {}

bridge::Target Discovery::target(std::string_view path) const {
    return bridge::Target{transport_, std::string(path)};
}

void Discovery::debug(const std::string& text) {
    if (platform_.diagnostics)
        platform_.diagnostics->debugOutput(text);
}

NamedMutex* Discovery::scanMutex() {
    if (!mutex_ && platform_.mutexes)
        mutex_ = platform_.mutexes->open(kScanMutexName);
    return mutex_.get();
}

std::uint32_t Discovery::ScanBridges(bool includeOptical) {
    for (auto& p : ports_)
        p = PortRecord{};
    // The control board is found again by every walk; a board that has gone must not
    // linger in its record.
    powerControl_ = PortRecord{};
    std::uint32_t count = kDeviceTableSize;
    if (!ScanDiskInterfaces(&count))
        count = 0;
    if (includeOptical) {
        std::uint32_t total = count;
        ScanOpticalInterfaces(count, &total);
        count = total;
    }
    entries_ = count;
    WalkUsbTree();
    return count;
}

bool Discovery::ScanDiskInterfaces(std::uint32_t* count) {
    const std::uint32_t capacity = std::min<std::uint32_t>(*count, kDeviceTableSize);
    NamedMutex* m = scanMutex();
    if (m)
        m->lock();
    struct Release {
        NamedMutex* m;
        ~Release() {
            if (m)
                m->unlock();
        }
    } release{m};

    for (std::uint32_t i = 0; i < capacity; ++i)
        devices_[i] = DeviceEntry{};
    if (!platform_.storage)
        return false;
    const auto list = platform_.storage->diskInterfaces();
    if (!list)
        return false;

    std::uint32_t taken = 0;
    for (const StorageInterface& si : *list) {
        if (taken >= capacity)
            break;
        const bool usbstor = ContainsNoCase(si.interfacePath, "usbstor");
        const bool scsi = !usbstor && ContainsNoCase(si.interfacePath, "scsi");
        if (!usbstor && !scsi)
            continue;
        DeviceEntry& e = devices_[taken];
        e.interfacePath = CutText(si.interfacePath, 259);
        e.uasAttached = scsi ? 1 : 0;
        ReadDevicePresence(e);
        StorageDeviceNumber n;
        if (bridge::QueryDeviceNumber(target(e.interfacePath), n))
            e.deviceNumber = n;
        e.parentDeviceId = ToLower(si.parentInstanceId);
        e.diskNode = si.diskNode;
        e.parentNode = si.parentNode;
        ++taken;
    }
    *count = taken;
    if (taken > 0)
        AssignDriveLetters(0, taken);
    return true;
}

void Discovery::ScanOpticalInterfaces(std::uint32_t filled, std::uint32_t* count) {
    if (!platform_.storage)
        return;
    const auto list = platform_.storage->opticalInterfaces();
    if (!list)
        return;
    std::uint32_t next = filled;
    for (const StorageInterface& si : *list) {
        if (next >= kDeviceTableSize)
            break;
        if (!ContainsNoCase(si.interfacePath, "usbstor"))
            continue;
        DeviceEntry& e = devices_[next];
        e = DeviceEntry{};
        e.interfacePath = CutText(si.interfacePath, 259);
        bridge::Service56(target(e.interfacePath));  // its answer is not judged
        e.parentDeviceId = ToLower(si.parentInstanceId);
        e.diskNode = si.diskNode;
        e.parentNode = si.parentNode;
        ++next;
    }
    *count += next - filled;
    // Optical entries carry no device number, so no volume is bound to them.
    AssignDriveLetters(filled, next - filled);
}

void Discovery::ReadDevicePresence(DeviceEntry& e) {
    const bridge::Target t = target(e.interfacePath);
    std::uint8_t presence = 0;
    if (!bridge::ReadXdata(t, 0x720F, Bytes(&presence, 1)))
        return;
    if (presence & 0x04) {
        e.masterPresent = 1;
        e.masterPacket = (presence & 0x01) ? 1 : 0;
        bridge::AtaIdentifyDrive(t, 0xA0, e.masterPacket ? 0xA1 : 0xEC, e.identify[0]);
    }
    if (presence & 0x40) {
        e.slavePresent = 1;
        e.slavePacket = (presence & 0x10) ? 1 : 0;
        bridge::AtaIdentifyDrive(t, 0xB0, e.slavePacket ? 0xA1 : 0xEC, e.identify[1]);
    }
}

bool Discovery::IdentifyThroughPath(std::string_view path, Bytes buffer512, bool standardCommand) {
    const bridge::Target t = target(path);
    if (standardCommand)
        return bridge::AtaIdentifyPassThrough(t, buffer512);
    std::uint8_t presence = 0;
    bool result = bridge::ReadXdata(t, 0x720F, Bytes(&presence, 1));
    if (!result)
        return false;
    if (presence & 0x04) {
        result = bridge::AtaIdentifyDrive(t, 0xA0, (presence & 0x01) ? 0xA1 : 0xEC, buffer512);
    }
    if (presence & 0x40) {
        result = bridge::AtaIdentifyDrive(t, 0xB0, (presence & 0x10) ? 0xA1 : 0xEC, buffer512);
    }
    return result;
}

void Discovery::AssignDriveLetters(std::uint32_t first, std::uint32_t count) {
    VolumeService* vs = platform_.volumes;
    if (!vs || count == 0)
        return;
    const char systemDrive = ToUpperAscii(vs->systemDriveLetter());
    std::uint32_t mask = vs->logicalDriveMask();
    // A set of volumes that keeps changing would repeat the pass for ever; after this many
    // passes the last one stands.
    constexpr int kMaxPasses = 16;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        for (std::uint32_t i = first; i < first + count; ++i) {
            devices_[i].masterLetters.clear();
            devices_[i].slaveLetters.clear();
        }
        for (int bit = 0; bit < 26; ++bit) {
            if ((mask & (1u << bit)) == 0)
                continue;
            const char letter = static_cast<char>('A' + bit);
            if (letter == systemDrive)
                continue;
            if (vs->driveType(letter) == DriveType::Remote)
                continue;
            const std::string volumePath = vs->volumeDevicePath(letter);
            StorageDeviceNumber vn;
            if (!bridge::QueryDeviceNumber(target(volumePath), vn))
                continue;
            for (std::uint32_t i = first; i < first + count; ++i) {
                DeviceEntry& e = devices_[i];
                if (e.deviceNumber.deviceType != vn.deviceType ||
                    e.deviceNumber.deviceNumber != vn.deviceNumber) {
                    continue;
                }
                int position = -1;
                if (e.masterPresent && e.slavePresent) {
                    const bridge::Target vt = target(volumePath);
                    for (int pos = 0; pos < 2 && position < 0; ++pos) {
                        std::array<std::uint8_t, 512> id{};
                        if (bridge::AtaIdentifyDrive(vt, pos == 0 ? 0xA0 : 0xB0, 0xEC, id) &&
                            bridge::AtaSmartStatus(vt) && id == e.identify[pos]) {
                            position = pos;
                        }
                    }
                } else if (e.masterPresent) {
                    position = 0;
                } else if (e.slavePresent) {
                    position = 1;
                }
                std::string& letters = position == 1 ? e.slaveLetters : e.masterLetters;
                if (letters.size() < DeviceEntry::kLettersMax)
                    letters.push_back(letter);
            }
        }
        const std::uint32_t after = vs->logicalDriveMask();
        if (after == mask)
            return;
        mask = after;
    }
}

std::optional<std::string> Discovery::FindDeviceIdByDriverKey(std::string_view driverKey) {
    if (!platform_.usb)
        return std::nullopt;
    auto id = platform_.usb->instanceIdOfDriverKey(driverKey);
    if (id)
        *id = CutText(*id, 511);
    return id;
}

// ---- hub walk -------------------------------------------------------------------------

namespace {

std::string ConnectionStatusName(UsbConnectionStatus s) {
    switch (s) {
        case UsbConnectionStatus::NoDeviceConnected:
            return "No device connected";
        case UsbConnectionStatus::DeviceConnected:
            return "Device connected";
        case UsbConnectionStatus::DeviceFailedEnumeration:
            return "Device failed enumeration";
        case UsbConnectionStatus::DeviceGeneralFailure:
            return "Device general failure";
        case UsbConnectionStatus::DeviceCausedOvercurrent:
            return "Device caused overcurrent";
        case UsbConnectionStatus::DeviceNotEnoughPower:
            return "Not enough power for device";
        case UsbConnectionStatus::DeviceNotEnoughBandwidth:
            return "Not enough bandwidth for device";
        case UsbConnectionStatus::DeviceHubNestedTooDeeply:
            return "Hub nested too deeply";
        case UsbConnectionStatus::DeviceInLegacyHub:
            return "Device in legacy hub";
        case UsbConnectionStatus::DeviceEnumerating:
            return "Device enumerating";
        case UsbConnectionStatus::DeviceReset:
            return "Device reset";
    }
    return "Unknown connection status";
}

bool IsRootHubPath(std::string_view path) {
    return path.find("root_hub") != std::string_view::npos ||
           path.find("asmediausbd_hub") != std::string_view::npos ||
           path.find("tiusbd_hub") != std::string_view::npos;
}

std::string Narrow(const std::u16string& w) {
    return Format("%ws", w);
}

}  // namespace

bool Discovery::slotFree(std::int32_t number) const {
    return number >= 1 && number <= static_cast<std::int32_t>(kPortSlots) &&
           ports_[static_cast<std::size_t>(number - 1)].present == 0;
}

std::uint32_t Discovery::WalkUsbTree() {
    if (!platform_.usb)
        return 0;
    const auto paths = platform_.usb->hubInterfacePaths();
    if (!paths)
        return 0;
    languageId_ = 0;
    std::int32_t counter = 0;
    std::uint32_t looked = 0;
    for (const std::string& path : *paths) {
        if (looked == kMaxHubInterfaces) {
            if (platform_.op) {
                platform_.op->showMessage(
                    {Format("Warning: Root device count exceeds maximum device count:%d.",
                            static_cast<int>(kMaxHubInterfaces)),
                     "WARNING", MessageIcon::Warning});
            }
            break;
        }
        ++looked;
        if (!IsRootHubPath(path))
            continue;
        auto hub = platform_.usb->openHub(path);
        if (!hub)
            continue;
        const auto ports = hub->numberOfPorts();
        if (!ports) {
            debug(" *** ERROR *** Node information not returned\n");
            continue;
        }
        WalkHubPorts(*hub, *ports, 0, path, counter);
    }
    return looked;
}

void Discovery::WalkHubPorts(UsbHub& hub, std::uint32_t portCount, int depth,
                             const std::string& hubPath, std::int32_t& counter) {
    for (std::uint32_t port = 1; port <= portCount; ++port) {
        ++counter;
        while (counter <= static_cast<std::int32_t>(kPortSlots) && !slotFree(counter))
            ++counter;

        const auto info = hub.connectionInfo(port);
        if (!info) {
            debug(" *** ERROR *** Node connection information not returned\n");
            continue;
        }
        if (info->connectionStatus != UsbConnectionStatus::DeviceConnected) {
            debug(ConnectionStatusName(info->connectionStatus) + "\n");
            continue;
        }
        counter = 1;
        while (counter <= static_cast<std::int32_t>(kPortSlots) && !slotFree(counter))
            ++counter;
        if (counter > static_cast<std::int32_t>(kPortSlots)) {
            if (platform_.op) {
                platform_.op->showMessage({Format("Error: Port index exceeds maximum value %d.",
                                                  static_cast<int>(kPortSlots)),
                                           "Error", MessageIcon::Error});
            }
            return;
        }

        if (info->deviceIsHub) {
            const auto name = hub.connectionName(port);
            if (!name) {
                debug(" *** ERROR *** Node connection name not returned\n");
                continue;
            }
            const std::string subPath = "\\\\.\\" + *name;
            auto sub = platform_.usb->openHub(subPath);
            if (!sub)
                continue;
            const auto subPorts = sub->numberOfPorts();
            if (!subPorts) {
                debug(" *** ERROR *** Node information not returned\n");
                continue;
            }
            --counter;
            WalkHubPorts(*sub, *subPorts, depth + 1, subPath, counter);
            continue;
        }

        const auto key = hub.driverKeyName(port);
        if (!key) {
            --counter;
            continue;
        }
        PortRecord& slot = ports_[static_cast<std::size_t>(counter - 1)];
        slot.driverKey = CutText(Narrow(*key), PortRecord::kKeyMax);
        // Kept whole: it is compared with whole parent ids (USB serials run to 126).
        slot.usbInstanceId = FindDeviceIdByDriverKey(slot.driverKey).value_or("");
        slot.present = 1;
        slot.hubPath = CutText(hubPath, PortRecord::kPathMax);
        slot.sequenceNumber = counter;
        slot.hubPortNumber = static_cast<std::int32_t>(port);
        languageId_ = ReadPortStrings(hub, port, counter, languageId_, info->deviceDescriptor);

        if (slot.serial == "?") {
            slot = PortRecord{};
            --counter;
            continue;
        }
        if (typeC_ && slot.serial.starts_with("7E8A57429")) {
            powerControl_ = slot;
            slot = PortRecord{};
            --counter;
            continue;
        }
        const std::string id = ToLower(slot.usbInstanceId);
        for (std::size_t i = 0; i < std::min<std::size_t>(kPortSlots, entries_); ++i) {
            if (devices_[i].parentDeviceId != id)
                continue;
            if (bridge::IdentifyChip(target(devices_[i].interfacePath)) == 0) {
                slot = PortRecord{};
                --counter;
            }
            break;
        }
    }
}

std::uint16_t Discovery::ReadPortStrings(UsbHub& hub, std::uint32_t port,
                                         std::int32_t runningNumber, std::uint16_t languageId,
                                         const UsbDeviceDescriptor& d) {
    PortRecord& slot = ports_[static_cast<std::size_t>(runningNumber - 1)];
    slot.vid = d.idVendor;
    slot.pid = d.idProduct;
    const std::uint8_t indexes[3] = {d.iManufacturer, d.iProduct, d.iSerialNumber};
    std::string* fields[3] = {&slot.manufacturer, &slot.product, &slot.serial};
    for (int i = 0; i < 3; ++i) {
        fields[i]->clear();
        if (languageId == 0) {
            const auto table = hub.stringDescriptor(port, 0, 0, 4);
            if (table && table->size() >= 4) {
                languageId = static_cast<std::uint16_t>((*table)[2] | ((*table)[3] << 8));
            } else {
                debug(" *** ERROR *** String Descriptor 0 not returned, ErrorCode = 31\n");
            }
        }
        const auto desc = hub.stringDescriptor(port, indexes[i], languageId, 255);
        if (!desc) {
            debug(Format(" *** ERROR *** String Descriptor %d not returned. ErrorCode = %d\n",
                         indexes[i], 31));
            continue;
        }
        std::u16string text;
        for (std::size_t b = 2; b + 1 < desc->size(); b += 2) {
            text.push_back(static_cast<char16_t>((*desc)[b] | ((*desc)[b + 1] << 8)));
        }
        *fields[i] = CutText(Narrow(text), PortRecord::kStringMax);
    }
    return languageId;
}

std::int32_t Discovery::QueryPortSpeed(std::string_view hubPath, std::uint32_t port) {
    auto fail = [&] {
        if (platform_.op) {
            platform_.op->showMessage(
                {"Failed to acquire USB information.", "Error", MessageIcon::Error});
        }
    };
    std::unique_ptr<UsbHub> hub = platform_.usb ? platform_.usb->openHub(hubPath) : nullptr;
    std::int32_t speed = kSpeedUnknown;
    std::optional<UsbConnectionInfo> info;
    if (hub)
        info = hub->connectionInfoEx(port);
    if (info) {
        speed = info->speed;
    } else {
        fail();
    }
    if (osClass_ == 3 || speed == 3) {
        std::optional<UsbConnectionInfoV2> v2;
        if (hub)
            v2 = hub->connectionInfoExV2(port, UsbConnectionInfoV2::kUsb300);
        if (v2) {
            if (v2->flags & UsbConnectionInfoV2::kOperatingAtSuperSpeedPlusOrHigher) {
                speed = 4;
            } else if (v2->flags & UsbConnectionInfoV2::kOperatingAtSuperSpeedOrHigher) {
                speed = 3;
            } else {
                speed = 2;
            }
        } else if (speed != 3) {
            fail();
        }
    }
    return speed;
}

bool Discovery::RereadPort(std::string_view hubPath, std::uint32_t port, PortRecord& scratch,
                           std::int32_t runningNumber) {
    if (!platform_.usb || runningNumber < 1 || runningNumber > static_cast<int>(kPortSlots)) {
        return false;
    }
    auto hub = platform_.usb->openHub(hubPath);
    if (!hub)
        return false;
    const auto info = hub->connectionInfo(port);
    if (!info || info->connectionStatus != UsbConnectionStatus::DeviceConnected)
        return false;
    const auto key = hub->driverKeyName(port);
    if (!key)
        return false;
    scratch.present = 1;
    scratch.driverKey = CutText(Narrow(*key), PortRecord::kKeyMax);
    scratch.usbInstanceId = FindDeviceIdByDriverKey(scratch.driverKey).value_or("");
    scratch.hubPath = CutText(hubPath, PortRecord::kPathMax);
    ReadPortStrings(*hub, port, runningNumber, 0, info->deviceDescriptor);
    return true;
}

}  // namespace vq
