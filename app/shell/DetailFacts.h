// The device detail window as data: everything known about the device on one port, partly
// from its record and partly by asking the device again.
#pragma once

#include <string>
#include <string_view>

#include "bridge/Transport.h"
#include "devices/Discovery.h"
#include "devices/PortRecord.h"

namespace vq {

struct DetailFacts {
    std::string chipId;       // ChipIDEdit
    std::string diskName;     // ModNumEdit
    std::string stringA;      // StringAEdit
    std::string serial;       // String3Edit
    std::string stringB;      // StringBEdit
    std::string vendorId;     // VendorIDEdit
    std::string productId;    // ProductIDEdit
    std::string diskLetter;   // DiskLetterEdit
    std::string capacity;     // HDCapEdit
    std::string firmware;     // FwVerEdit
    std::string flashType;    // SFlashTypeEdit
    std::string hddFirmware;  // HDDFWRevEdit
    std::string deviceType;   // DeviceTypeEdit
    bool hddFirmwareEnabled = true;
};

// The serial-flash vendor of a FlashType; "Unknown" outside the table.
std::string_view FlashVendorName(int flashType);

// FormShow of the detail window for one port. `driveLetter` is the port's drive letter as
// looked up just before; `laterDiskBridgeAttached`: a usable port holds ChipKind 21 to 24.
DetailFacts ReadDetailFacts(const PortRecord& r, char driveLetter, const bridge::Transport& t,
                            Discovery& discovery, bool laterDiskBridgeAttached);

}  // namespace vq
