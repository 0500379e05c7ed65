#include "disk/Format.h"

#include <algorithm>
#include <optional>

#include "base/Format.h"
#include "disk/Fat32Format.h"
#include "disk/Partition.h"
#include "platform/VolumeService.h"

namespace vq::disk {

namespace {

constexpr int kPromptPolls = 601;
constexpr std::uint32_t kPromptPollMs = 5;

// The port lock, entered for part of an operation and left at its end.
class OptionalLock {
  public:
    explicit OptionalLock(const LockRef& lock) : lock_(lock) {}
    ~OptionalLock() {
        if (held_)
            lock_.unlock();
    }
    OptionalLock(const OptionalLock&) = delete;
    OptionalLock& operator=(const OptionalLock&) = delete;
    void enter() {
        lock_.lock();
        held_ = true;
    }

  private:
    const LockRef& lock_;
    bool held_ = false;
};

}  // namespace

const char* FileSystemName(int index) {
    switch (index) {
        case kFsNtfs:
            return "NTFS";
        case kFsFat32:
            return "FAT32";
        case kFsExFat:
            return "exFAT";
        default:
            return nullptr;
    }
}

std::string_view FormatUnitText(std::uint32_t clusterBytes) {
    switch (clusterBytes) {
        case 512:
            return "512";
        case 4096:
            return "4096";
        case 8192:
            return "8192";
        case 16384:
            return "16K";
        case 32768:
            return "32K";
        case 65536:
            return "64K";
        default:
            return {};
    }
}

bool LabelSafeForScript(std::string_view label) {
    return std::none_of(label.begin(), label.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F ||
               std::string_view("\"&|<>^%").find(c) != std::string_view::npos;
    });
}

int FormatVolume(const DiskContext& ctx, char letter, bool quick, std::string_view label,
                 int fileSystem, std::uint32_t clusterBytes) {
    VolumeService* volumes = ctx.platform.volumes;
    const char* fsName = FileSystemName(fileSystem);
    if (volumes == nullptr || fsName == nullptr) {
        ctx.debug(Format("FormatVolume: no file system of index %d\n", fileSystem));
        return kFormatNotMade;
    }
    const bool fat32 = fileSystem == kFsFat32;
    const std::uint32_t retries = ctx.hddAccessRetry;

    OptionalLock portLock(ctx.portLock);
    if (!fat32) {
        if (!volumes->systemFormatAvailable()) {
            ctx.out("Could not located FMIFS entry points.\n\n");
            return kFormatNotMade;
        }
        portLock.enter();
    }

    // Only fixed and removable drives are formatted. Nobody is asked to insert a medium:
    // a question on standard input would hang a program without a console.
    const DriveType type = volumes->driveType(letter);
    if (type != DriveType::Fixed && type != DriveType::Removable) {
        const std::string text = Format(
            "Drive %c: is neither a fixed nor a removable drive (type %u); it is not "
            "formatted\n",
            letter, static_cast<std::uint32_t>(type));
        ctx.out(text);
        ctx.debug(text);
        return kFormatNotMade;
    }

    int result = kFormatOk;
    if (fat32) {
        bool formatted = false;
        for (std::uint32_t attempt = 1; attempt <= retries; ++attempt) {
            if (FormatFat32(ctx, letter, clusterBytes, label, quick)) {
                formatted = true;
                break;
            }
            ctx.debug(
                Format("Retry format for the %dth time, g_nHDDAccessRetry=%d", attempt, retries));
            ctx.sleepMs(1000);
        }
        if (!formatted)
            return kFormatNotMade;
    } else {
        // The old label goes first so that the formatter has nothing to ask about.
        volumes->setLabel(letter, "");
        // Cluster sizes outside the formatter's unit list are left to its default.
        const std::uint32_t unit = FormatUnitText(clusterBytes).empty() ? 0 : clusterBytes;
        const int exitCode = volumes->systemFormat(letter, fsName, label, unit, quick);
        if (exitCode != 0) {
            ctx.debug(Format("FormatVolume: the system formatter ended with %d\n", exitCode));
            result = kFormatToolFailed;
        }
    }

    ctx.out("Format complete.\n");
    if (const std::uint32_t error = volumes->setLabel(letter, label); error != 0) {
        if (error == syserr::kLabelTooLong && fat32)
            return kFormatLabelTooLong;
        for (std::uint32_t i = 0; i < retries; ++i) {
            ctx.sleepMs(1000);
            ctx.debug(Format("%d Label", i));
            if (volumes->setLabel(letter, label) == 0)
                break;
        }
    }

    // After a formatter that failed the volume holds no file system the system knows, so
    // the queries below fail too; the result stays -7 so that the fallback runs.
    const auto keep = [&result](int code) {
        if (result != kFormatToolFailed)
            result = code;
    };
    if (!volumes->volumeInformation(letter)) {
        keep(kFormatNoVolumeInfo);
        return result;
    }
    const auto total = volumes->totalBytes(letter);
    const auto free = volumes->freeBytes(letter);
    if (!total || !free) {
        ctx.out(Format("%s: %s\n", "Could not query volume size", "the volume did not answer"));
        keep(kFormatNoSize);
    } else {
        ctx.out(Format("\n%I64d bytes total disk space.\n", *total));
        ctx.out(Format("%I64d bytes available on disk.\n", *free));
        if (const auto info = volumes->volumeInformation(letter)) {
            ctx.out(Format("\nVolume Serial Number is %04X-%04X\n", info->serialNumber >> 16,
                           info->serialNumber & 0xFFFF));
        } else {
            ctx.out(Format("%s: %s\n", "Could not query volume", "the volume did not answer"));
            keep(kFormatNoSerial);
        }
    }
    return result;
}

std::vector<std::string> DiskpartFormatScript(std::uint32_t diskNumber,
                                              std::uint32_t partitionNumber,
                                              std::string_view fileSystem, std::string_view label,
                                              std::uint32_t clusterBytes) {
    std::string format = Format("format FS=%s label = \"%s \" quick", fileSystem, label);
    if (clusterBytes != 0)
        format += Format(" unit=%u", clusterBytes);
    format += " ";
    return {"rescan",
            Format(" select disk %u", diskNumber),
            Format("select partition %u", partitionNumber),
            "",
            format,
            "assign",
            "rescan"};
}

int FormatWithDiskpart(const DiskContext& ctx, std::string_view diskPath,
                       std::string_view fileSystem, std::string_view label,
                       std::uint32_t clusterBytes) {
    if (ctx.platform.disks == nullptr)
        return 0;
    std::uint32_t diskNumber = 0;
    std::uint32_t partitionNumber = 1;
    {
        auto disk = ctx.platform.disks->openDisk(diskPath);
        if (!disk)
            return 0;
        const auto number = disk->deviceNumber();
        if (!number || number->deviceNumber == 0)
            return 0;
        diskNumber = number->deviceNumber;
        // The partition the partitioning step made: the data partition of a GPT disk is
        // the second one, after the reserved partition.
        const auto layout = disk->layout();
        if (layout && layout->style == PartitionStyle::Gpt)
            partitionNumber = 2;
    }
    if (!LabelSafeForScript(label)) {
        const std::string text = Format(
            "The volume label \"%s\" cannot be written into a partitioning script: it holds "
            "one of the characters \" & | < > ^ %% or a control character\n",
            label);
        ctx.out(text);
        ctx.debug(text);
        return 0;
    }
    const auto script =
        DiskpartFormatScript(diskNumber, partitionNumber, fileSystem, label, clusterBytes);
    return RunDiskpartScript(ctx, script, false) == 0 ? 1 : 0;
}

int CloseFormatPrompt(const DiskContext& ctx) {
    return ctx.platform.volumes != nullptr && ctx.platform.volumes->closeFormatPrompt() ? 1 : 0;
}

bool ShowsFormatPrompt(const std::optional<OsVersion>& os) {
    return os && ((os->major == 6 && os->minor != 0) || (os->major == 10 && os->minor == 0));
}

bool CloseFormatPromptAfterFormat(const DiskContext& ctx, const std::optional<OsVersion>& os) {
    if (!ShowsFormatPrompt(os))
        return false;
    for (int i = 0; i < kPromptPolls; ++i) {
        if (CloseFormatPrompt(ctx))
            return true;
        ctx.sleepMs(kPromptPollMs);
    }
    return false;
}

bool FormatStep(const DiskContext& ctx, char letter, std::string_view diskPath, int fileSystem,
                std::string_view label, std::uint32_t clusterBytes) {
    const int result = FormatVolume(ctx, letter, true, label, fileSystem, clusterBytes);
    if (result == kFormatToolFailed) {
        const char* name = FileSystemName(fileSystem);
        return name != nullptr && FormatWithDiskpart(ctx, diskPath, name, label, clusterBytes);
    }
    return result == kFormatOk;
}

}  // namespace vq::disk
