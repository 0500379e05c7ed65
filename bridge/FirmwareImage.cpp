#include "bridge/FirmwareImage.h"

#include <algorithm>
#include <array>
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

// What a chip asks of a firmware file, one row of the fit table.
enum class FitTest {
    Never,
    Always,
    Begins,       // the model text begins with `head`
    NotBegins42,  // the model text does not begin "42"
    Kind21,       // "67" and a third character "1", "3" or "5"
    Probe0702,    // kind 26 revision 1: probe bytes 4-5 are 07 02
    Probe7022,    // kind 26 revision 2: probe bytes 4-5 are 70 22, and the board agrees
};

struct FitRule {
    FitTest test = FitTest::Never;
    std::string head;
    bool signature433 = false;  // a 55 AA AA 55 "433" signature also fits
};

FitRule RuleOf(ChipIdentity chip) {
    const ChipKind kind = KindOf(chip);
    const std::uint8_t r = RevisionOf(chip);
    // The revision character: the digit for the revision minus 1.
    const std::string rev(1, static_cast<char>('0' + r - 1));
    const auto begins = [](std::string head, bool signature433 = false) {
        return FitRule{FitTest::Begins, std::move(head), signature433};
    };
    switch (kind) {
        case 1:
            return r == 1 ? FitRule{FitTest::NotBegins42, {}, false} : begins("424" + rev);
        case 4:
            return begins("429" + rev);
        case 7:
            return begins("429E");
        case 10:
            return begins("434" + rev);
        case 15:
        case 16:
            return begins("427" + rev);
        case 9:
        case 13:
        case 19:
        case 20:
            return begins(std::string(ChipNumber(kind)), true);
        case 11:
        case 12:
            return begins("438", true);
        case 18:
        case 22:
        case 23:
        case 24:
        case 25:
        case 27:
        case 28:
        case 29:
            return begins(std::string(ChipNumber(kind)));
        case 21:
            return {FitTest::Kind21, {}, false};
        case 26:
            if (r == 1)
                return {FitTest::Probe0702, {}, false};
            return {r == 2 ? FitTest::Probe7022 : FitTest::Never, {}, false};
        case 30:
        case 35:
            return {FitTest::NotBegins42, {}, false};
        case 31:
        case 32:
        case 33:
        case 34:
            return {FitTest::Always, {}, false};
        default:
            return {FitTest::Never, {}, false};
    }
}

}  // namespace

bool FirmwareFitsChip(const FirmwareImage& image, ChipIdentity chip, const Kind26Board& board26) {
    const ChipKind kind = KindOf(chip);
    const ConstBytes probe = image.buffer().subspan(FirmwareProbeOffset(kind), 10);
    const std::string text = FirmwareModelText(kind, probe);
    const FitRule rule = RuleOf(chip);
    if (rule.signature433 &&
        (CarriesSignature433(probe) || CarriesSignature433(image.buffer().subspan(4096, 10))))
        return true;
    switch (rule.test) {
        case FitTest::Never:
            return false;
        case FitTest::Always:
            return true;
        case FitTest::Begins:
            return Begins(text, rule.head);
        case FitTest::NotBegins42:
            return !Begins(text, "42");
        case FitTest::Kind21:
            return Begins(text, "67") && text.size() >= 3 &&
                   (text[2] == '1' || text[2] == '3' || text[2] == '5');
        case FitTest::Probe0702:
            return probe[4] == 0x07 && probe[5] == 0x02;
        case FitTest::Probe7022:
            return probe[4] == 0x70 && probe[5] == 0x22 && Kind26Rev2Agrees(image, board26);
    }
    return false;
}

std::string FirmwareFitRule(ChipIdentity chip) {
    const FitRule rule = RuleOf(chip);
    const std::string at = Format(" at offset 0x%X", FirmwareProbeOffset(KindOf(chip)));
    switch (rule.test) {
        case FitTest::Never:
            return KindOf(chip) == 26 ? "nothing (this revision takes no file)"
                                      : "nothing (this chip takes no firmware file)";
        case FitTest::Always:
            return "any file";
        case FitTest::Begins:
            return "a model text beginning \"" + rule.head + "\"" + at +
                   (rule.signature433 ? ", or the signature 55 AA AA 55 \"433\" there or at 4096"
                                      : "");
        case FitTest::NotBegins42:
            return "a model text not beginning \"42\"" + at;
        case FitTest::Kind21:
            return "a model text beginning \"671\"" + at + " (or 673, 675)";
        case FitTest::Probe0702:
            return "bytes 07 02 at offset 4";
        case FitTest::Probe7022:
            return "bytes 70 22 at offset 4 and a size the first v702 board agrees with";
    }
    return {};
}

std::uint32_t FirmwareVersionOffset(ChipKind kind) {
    return kind >= 21 && kind <= 29 ? 1024 : FirmwareProbeOffset(kind) + 8;
}

bool ReportsImageVersion(ConstBytes answer, ChipKind kind, const FirmwareImage& image) {
    const std::size_t at = FirmwareVersionOffset(kind);
    const ConstBytes buffer = image.buffer();
    if (!image.loaded() || answer.size() < 16 || at + 6 > buffer.size())
        return false;
    const std::array<std::uint8_t, 6> reported = {answer[6],  answer[7],  answer[12],
                                                  answer[13], answer[14], answer[15]};
    // Bytes 6 and 7 of the later families are state bytes.
    const std::size_t from = kind >= 21 && kind <= 29 ? 2 : 0;
    return std::equal(reported.begin() + static_cast<std::ptrdiff_t>(from), reported.end(),
                      buffer.begin() + static_cast<std::ptrdiff_t>(at + from));
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
