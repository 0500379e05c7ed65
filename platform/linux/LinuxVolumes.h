// The volumes of a Linux machine, named by drive letter for the station. The platform keeps
// its own letter table: the root file system is the system drive "C:", every other
// partition the kernel holds (of a type that carries a file system) gets the lowest free
// letter for as long as it is present. A volume's root folder is a folder of the program's
// own (<home>/mnt/<letter>): the volume is mounted there when its files are asked for, and
// while it is not, an empty read-only file system holds the folder, so nothing written
// there lands on the host's disk.
//   file system, label, serial  libblkid's probe of the partition
//   free and total bytes        statvfs of the mounted folder
//   lock                        the volume unmounted, then the partition opened O_EXCL
//   dismount                    umount; the next access mounts it afresh
//   system formatter            mkfs.ntfs, mkfs.exfat, mkfs.fat (FAT32) with an argv list
//   labels                      ntfslabel, exfatlabel, fatlabel
//   mounting                    mount(2); NTFS and exFAT through their FUSE programs where
//                               the kernel has no driver for them
#pragma once

#include <sys/statvfs.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Hotplug.h"
#include "platform/VolumeService.h"

namespace vq {

class Clock;

// One line of /proc/self/mountinfo.
struct MountEntry {
    std::string majorMinor;  // "259:0"
    std::filesystem::path mountPoint;
    std::string fsType;
    std::string source;
};
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// The name the station uses for a file system libblkid reports ("vfat" of version
// "FAT32" is "FAT32", "ntfs" is "NTFS", "exfat" is "exFAT"); other types as reported.
std::string FileSystemNameOf(std::string_view blkidType, std::string_view version);

// The volume serial number in a libblkid UUID: "1863CEE3677A5775" (NTFS: its low half),
// "FB77-FB2C" (FAT, exFAT).
std::uint32_t SerialOfUuid(std::string_view uuid);

// Whether `label` fits the file system: 0, kLabelTooLong or kInvalidName. *stored gets the
// label as the file system keeps it (FAT: upper case).
std::uint32_t CheckLabel(std::string_view fileSystem, std::string_view label,
                         std::string* stored = nullptr);

// The formatter's argument list for a partition; nullopt for a file system or cluster size
// it does not make. `hiddenSectors` is the partition's start in sectors.
std::optional<std::vector<std::string>> FormatCommand(std::string_view fileSystem,
                                                      const std::string& device,
                                                      std::string_view label,
                                                      std::uint32_t clusterBytes, bool quick,
                                                      std::uint64_t hiddenSectors);

// The label writer's argument list (an empty label clears it).
std::optional<std::vector<std::string>> LabelCommand(std::string_view fileSystem,
                                                     const std::string& device,
                                                     std::string_view label);

struct LinuxVolumesOptions {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path mountRoot;  // the letters' folders are made here
    Clock* clock = nullptr;           // waits while a FUSE program lets go of a device
    // Volume arrivals and removals, as the letter table changes.
    std::function<void(const DeviceEvent&)> events;
};

class LinuxVolumes final : public VolumeService {
  public:
    explicit LinuxVolumes(LinuxVolumesOptions options);
    ~LinuxVolumes() override;

    std::uint32_t logicalDriveMask() override;
    char systemDriveLetter() override { return 'C'; }
    DriveType driveType(char letter) override;
    std::string volumeDevicePath(char letter) override;
    std::filesystem::path rootPath(char letter) override;
    std::optional<std::uint64_t> freeBytes(char letter) override;
    std::optional<std::uint64_t> totalBytes(char letter) override;
    std::unique_ptr<Volume> openVolume(char letter, std::uint32_t* error = nullptr) override;
    std::optional<VolumeInformation> volumeInformation(char letter) override;
    std::uint32_t setLabel(char letter, std::string_view label) override;
    int systemFormat(char letter, std::string_view fileSystem, std::string_view label,
                     std::uint32_t clusterBytes, bool quick) override;
    bool systemFormatAvailable() override;
    bool closeFormatPrompt() override { return false; }

    // Looks at the kernel's partitions again: letters are given and taken back, with their
    // events. Every query does this; the disks call it after a re-read.
    void rescan();
    // Unmounts what the program mounted and gives up the letters' folders.
    void releaseAll();
    // Unmounts the program's mounts of a partition ("sdb1") or of every partition of a disk
    // ("sdb"); false when one of them is busy or locked.
    bool releaseMountsOf(const std::string& name);
    // The letter of the volume of the partition that starts at `start` (bytes) on the disk
    // with that device number (major << 20 | minor); 0 when none.
    char letterOf(std::uint32_t diskNumber, std::uint64_t start);

  private:
    friend class LinuxVolume;
    struct Entry {
        std::string name;                   // "sdb1"
        std::string disk;                   // "sdb"
        std::uint64_t start = 0, size = 0;  // 512-byte units
        std::uint32_t number = 0;
        bool folderReady = false;
        const void* lockedBy = nullptr;
        bool same(const Entry& o) const {
            return name == o.name && start == o.start && size == o.size;
        }
    };
    std::string node(const Entry& e) const;
    std::filesystem::path folder(char letter) const;
    std::vector<Entry> presentPartitions();
    void rescanLocked(std::vector<DeviceEvent>& events);
    void deliver(const std::vector<DeviceEvent>& events);
    // Hands the events the lookups queued to the listener once the lock is let go (a
    // listener may call back from another thread). Made before the lock is taken.
    struct Flush {
        LinuxVolumes& v;
        ~Flush();
    };
    Entry* entry(char letter);
    Entry* entryOf(const void* handle, char letter, const Entry& identity);
    void prepareFolder(char letter, Entry& e);
    void releaseFolder(char letter, Entry& e);
    // Where the volume is mounted now (ours or another's); nullopt when it is not.
    std::optional<MountEntry> mountOf(const Entry& e);
    // Mounts the volume at its folder unless it is locked, mounted or holds nothing known.
    std::optional<std::filesystem::path> ensureMounted(char letter, Entry& e);
    // The file system the letter's volume holds (mounted first when it is not); the
    // system drive is the root file system. Call with m_ held.
    std::optional<struct statvfs> fileSystemOf(char letter);
    // Unmounts the program's own mount of the volume; false when it is busy or mounted by
    // someone else.
    bool unmountOurs(char letter, Entry& e, bool detach = false);
    void wait(std::uint32_t ms);

    LinuxVolumesOptions o_;
    std::recursive_mutex m_;
    std::map<char, Entry> letters_;
    std::vector<DeviceEvent> pending_;  // queued by lookups, for Flush
    std::string systemName_;            // the block device of "/", when it is one
};

}  // namespace vq
