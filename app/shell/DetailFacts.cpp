#include "app/shell/DetailFacts.h"

#include <array>
#include <cstdint>

#include "base/Format.h"
#include "bridge/ChipIdentity.h"
#include "bridge/FlashDetect.h"
#include "bridge/VendorCommands.h"

namespace vq {

namespace {

std::string Trim(std::string_view s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string_view::npos)
        return {};
    const auto e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

std::string ChipModelText(const PortRecord& r, const bridge::Target& t) {
    switch (r.chipKind) {
        case 13:
            return "VQS653/646 Series";
        case 19:
            return "VQS646B Series";
        case 20: {
            std::array<std::uint8_t, 32> info{};
            if (!bridge::ReadChipInfo(t, info))
                return "VQS686/685/684 Series";
            return info[8] == 1 ? "VQS685/686 Series" : "VQS684 Series";
        }
        default:
            return "VQ57" + std::string(bridge::ChipNumber(r.chipKind));
    }
}

}  // namespace

std::string_view FlashVendorName(int flashType) {
    switch (flashType) {
        case 3:
        case 15:
            return "PMC/ISSI";
        case 4:
            return "SST";
        case 5:
            return "ST/EON/MXIC/ISSI/FUDAN/BERG/BOYA/ACE/BOHONG";
        case 6:
            return "ATMEL";
        case 7:
            return "MXIC/KH";
        case 8:
            return "WINBOND";
        case 9:
            return "AMIC";
        case 10:
            return "EON";
        case 11:
            return "ESMT";
        case 12:
            return "SANYO";
        case 13:
            return "GIGADEVICE";
        case 14:
            return "VPOWERWINS/SHANGHAI FUDAN";
        case 16:
            return "BOYA/BERG/BOHONG";
        case 17:
            return "BERG/ACE";
        case 18:
            return "ACE/BOHONG/BOYA";
        case 19:
            return "XTX";
        case 20:
            return "PUYA";
        default:
            return "Unknown";
    }
}

DetailFacts ReadDetailFacts(const PortRecord& r, char driveLetter, const bridge::Transport& tr,
                            Discovery& discovery, bool laterDiskBridgeAttached) {
    DetailFacts f;
    const bridge::Target t{tr, r.diskPath};
    f.chipId = ChipModelText(r, t);

    std::array<std::uint8_t, 40> inquiry{};
    if (bridge::Inquiry(t, inquiry)) {
        const std::string_view v(reinterpret_cast<const char*>(inquiry.data()), inquiry.size());
        f.diskName = Trim(v.substr(8, 8)) + " " + Trim(v.substr(16, 16));
    }

    f.serial = r.serial;
    f.vendorId = Format("0x%04X", static_cast<unsigned>(r.vid));
    f.productId = Format("0x%04X", static_cast<unsigned>(r.pid));
    f.capacity = Format("%d MB", r.capacityMiB);
    if (driveLetter != 0)
        f.diskLetter = std::string(1, driveLetter);

    const bool standard =
        (r.chipKind >= 19 && r.chipKind <= 22) || (r.chipKind >= 25 && r.chipKind <= 29);
    std::array<std::uint8_t, 512> identify{};
    if (discovery.IdentifyThroughPath(r.diskPath, identify, standard)) {
        std::string rev;
        for (std::size_t i = 46; i < 54; i += 2) {
            rev += static_cast<char>(identify[i + 1]);
            rev += static_cast<char>(identify[i]);
        }
        while (!rev.empty() && (rev.back() == ' ' || rev.back() == '\0'))
            rev.pop_back();
        f.hddFirmware = rev;
    }

    f.firmware = r.firmwarePresent != 0 ? r.firmwareVersion : "Internal code";
    if (r.chipKind == 8 || r.chipKind == 17)
        f.flashType = "Unknown";
    else
        f.flashType = std::string(FlashVendorName(bridge::DetectFlashType(r.chipKind, t)));
    f.stringA = r.manufacturer;
    f.stringB = r.product;
    f.deviceType = r.scsiAttached != 0 ? "UASP" : "USB";
    f.hddFirmwareEnabled = !laterDiskBridgeAttached;
    return f;
}

}  // namespace vq
