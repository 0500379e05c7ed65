#include "bridge/FirmwareImage.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "base/Format.h"
#include "bridge/VendorCommands.h"
#include "platform/Operator.h"

namespace vq::bridge {

FirmwareImage::FirmwareImage() : buffer_(kFirmwareBufferSize, 0) {}

FirmwareImage FirmwareImage::FromBytes(ConstBytes bytes) {
    FirmwareImage image;
    if (bytes.size() <= kFirmwareBufferSize) {
        std::copy(bytes.begin(), bytes.end(), image.buffer_.begin());
        image.length_ = bytes.size();
    }
    return image;
}

std::string FirmwareLoadMessage(FirmwareLoadError error, const std::filesystem::path& file) {
    const std::string name = file.string();
    switch (error) {
        case FirmwareLoadError::None:
            return {};
        case FirmwareLoadError::CannotOpen:
            return Format("Cannot open the firmware file %s.", name);
        case FirmwareLoadError::ReadFailed:
            return Format("Cannot read the firmware file %s.", name);
        case FirmwareLoadError::Empty:
            return Format("The firmware file %s is empty.", name);
        case FirmwareLoadError::TooLarge:
            return Format("The firmware file %s is larger than %u bytes.", name,
                          static_cast<unsigned>(kFirmwareBufferSize));
    }
    return {};
}

FirmwareLoadError LoadFirmwareImage(const std::filesystem::path& file, FirmwareImage& image,
                                    std::string* message) {
    auto refuse = [&](FirmwareLoadError e) {
        if (message)
            *message = FirmwareLoadMessage(e, file);
        return e;
    };
    std::error_code ec;
    // A folder opens as a stream on some systems and then reads nothing.
    if (std::filesystem::is_directory(file, ec))
        return refuse(FirmwareLoadError::CannotOpen);
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return refuse(FirmwareLoadError::CannotOpen);
    // One byte more than the buffer tells a file that does not fit.
    std::vector<std::uint8_t> bytes(kFirmwareBufferSize + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad())
        return refuse(FirmwareLoadError::ReadFailed);
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0)
        return refuse(FirmwareLoadError::Empty);
    if (got > kFirmwareBufferSize)
        return refuse(FirmwareLoadError::TooLarge);
    image = FirmwareImage::FromBytes(ConstBytes(bytes.data(), got));
    if (message)
        message->clear();
    return FirmwareLoadError::None;
}

std::uint32_t FirmwareProbeOffset(ChipKind kind) {
    switch (kind) {
        case 7:
        case 18:
            return 0x4000;
        case 19:
        case 20:
            return 0xBFF0;
        default:
            return 0;
    }
}

std::string FirmwareModelText(ChipKind kind, ConstBytes p) {
    std::string text;
    if (kind >= 25 && kind <= 28)
        text = Format("%x%x", static_cast<unsigned>(p[4]), static_cast<unsigned>(p[5]));
    else if (kind == 29)
        text = Format("%x0%x", static_cast<unsigned>(p[4]), static_cast<unsigned>(p[5]));
    else if (kind >= 21 && kind <= 24)
        text.assign(p.begin() + 3, p.begin() + 6);
    else
        text.assign(p.begin() + 4, p.begin() + 8);
    // Formed as a C string: a zero byte ends it.
    const auto nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

namespace {

bool Begins(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

bool CarriesSignature433(ConstBytes p) {
    return p[0] == 0x55 && p[1] == 0xAA && p[2] == 0xAA && p[3] == 0x55 &&
           Begins(FirmwareModelText(0, p), "433");
}

// Kind 26 revision 2: the first board of kind 26 must agree with the image's size.
bool Kind26Rev2Agrees(const FirmwareImage& image, const Kind26Board& board) {
    if (!board.target)
        return false;
    if (!board.firmwarePresent)
        return true;
    std::uint8_t mode = 0;
    if (ModeControl(*board.target, 0, mode)) {
        if (mode & 0x10)
            return image.length() > 67071;
        return image.length() <= 0xC600;
    }
    return image.length() <= 0xC600;
}

}  // namespace

bool FirmwareFitsChip(const FirmwareImage& image, ChipIdentity chip, const Kind26Board& board26) {
    const ChipKind kind = KindOf(chip);
    const std::uint8_t r = RevisionOf(chip);
    const ConstBytes probe = image.buffer().subspan(FirmwareProbeOffset(kind), 10);
    const std::string text = FirmwareModelText(kind, probe);

    switch (kind) {
        case 9:
        case 11:
        case 12:
        case 13:
        case 19:
        case 20:
            if (CarriesSignature433(probe) || CarriesSignature433(image.buffer().subspan(4096, 10)))
                return true;
            break;
        default:
            break;
    }

    const char revChar = static_cast<char>('0' + r - 1);
    auto withRevision = [&](std::string_view number) {
        return Begins(text, std::string(number) + revChar);
    };
    switch (kind) {
        case 1:
            return r == 1 ? !Begins(text, "42") : withRevision("424");
        case 4:
            return withRevision("429");
        case 7:
            return Begins(text, "429E");
        case 9:
            return Begins(text, "433");
        case 10:
            return withRevision("434");
        case 11:
        case 12:
            return Begins(text, "438");
        case 13:
            return Begins(text, "653");
        case 15:
        case 16:
            return withRevision("427");
        case 18:
            return Begins(text, "621");
        case 19:
            return Begins(text, "646");
        case 20:
            return Begins(text, "688");
        case 21:
            return Begins(text, "67") && text.size() >= 3 &&
                   (text[2] == '1' || text[2] == '3' || text[2] == '5');
        case 22:
            return Begins(text, "672");
        case 23:
            return Begins(text, "673");
        case 24:
            return Begins(text, "675");
        case 25:
            return Begins(text, "705");
        case 26:
            if (r == 1)
                return probe[4] == 0x07 && probe[5] == 0x02;
            if (r == 2)
                return probe[4] == 0x70 && probe[5] == 0x22 && Kind26Rev2Agrees(image, board26);
            return false;
        case 27:
            return Begins(text, "708");
        case 28:
            return Begins(text, "712");
        case 29:
            return Begins(text, "930");
        case 30:
        case 35:
            return !Begins(text, "42");
        case 31:
        case 32:
        case 33:
        case 34:
            return true;
        default:
            return false;
    }
}

bool CheckFirmwareFile(const std::filesystem::path& file, ChipIdentity chip, Operator* op,
                       const Kind26Board& board26) {
    FirmwareImage image;
    const FirmwareLoadError e = LoadFirmwareImage(file, image);
    if (e != FirmwareLoadError::None) {
        if (op) {
            const std::string text = e == FirmwareLoadError::CannotOpen
                                         ? std::string(kOpenFirmwareFileError)
                                         : FirmwareLoadMessage(e, file);
            op->showMessage({text, "Error", MessageIcon::Error});
        }
        return false;
    }
    return FirmwareFitsChip(image, chip, board26);
}

bool IsCloneFirmware(const FirmwareImage& image) {
    return GetBE32(image.buffer(), 0x1FFFC) != GetBE32(image.buffer(), 0x3FFFC);
}

bool CheckCloneMarker(const FirmwareImage& image, bool cloneOption, Operator* op) {
    const bool clone = IsCloneFirmware(image);
    if (clone == cloneOption)
        return true;
    if (op)
        op->showMessage(
            {clone ? kCloneFirmware : kNotCloneFirmware, kFirmwareErrorTitle, MessageIcon::Error});
    return false;
}

}  // namespace vq::bridge
