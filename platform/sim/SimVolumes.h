// The emulated system's volumes: it reads the partition tables written to the drive
// images and shows a volume, with the next free drive letter, for every partition it
// mounts (MBR types of FAT and NTFS, GPT basic data), withdrawing the ones that went;
// it recognises the file system from a volume's first sector, keeps the volume's files
// in a host folder of its own (under the emulator's work folder, cleared when a new file
// system is found), tracks label, serial number, cluster size and free space, and runs
// the system's formatter. Volumes added to the station without a partition (scenario
// entries, the system disk) show as NTFS with the free space they were given, until the
// disk's table is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/VolumeService.h"

namespace vq::sim {

class SimBridge;
class SimClock;
class SimStation;
struct SimVolume;

// Faults of the volumes on one disk (by physical drive number), for scenarios and tests.
struct SimDiskFaults {
    bool volumesNeverAppear = false;  // partitions are read, but no volume shows
    int formatExitCode = 0;           // nonzero: the system formatter ends with it, unformatted
    std::uint32_t labelError = 0;     // nonzero: setting a label fails with this error
    bool lockRefused = false;         // locking a volume fails
    // A file write that reaches this byte of its file fails (kWriteFault).
    std::optional<std::uint64_t> writeFailsAtByte;
    // The volume is full once its files take this many bytes.
    std::optional<std::uint64_t> diskFullAtBytes;
    // The n-th file a folder copy writes to the volume arrives with one byte changed.
    std::uint32_t corruptCopiedFile = 0;
};

// What the system knows of one volume. Guarded by `m`.
struct SimVolumeContent {
    std::mutex m;
    // Where it lies.
    std::uint32_t diskNumber = 0;
    std::shared_ptr<SimBridge> bridge;  // null: a disk of the machine itself
    PartitionInfo partition;
    bool declared = false;  // added without a partition: NTFS as given
    std::uint32_t sectorSize = 512;
    std::filesystem::path folder;  // the files, absolute
    // The file system, as mounted.
    bool mounted = false;
    bool everMounted = false;
    std::uint64_t generation = 0;  // grows at every dismount: open files go stale
    std::vector<std::uint8_t> bootSector;
    std::string fileSystem;  // empty: not recognised (RAW)
    std::string label;
    std::uint32_t serial = 0;
    std::uint32_t clusterBytes = 4096;
    std::uint64_t totalBytes = 0;
    std::uint64_t metaBytes = 0;   // taken by the file system itself
    std::uint64_t usedBytes = 0;   // taken by files and folders
    std::uint64_t rootSector = 0;  // FAT32: root folder sector from the volume's start
    // Handles.
    const void* lockedBy = nullptr;
    std::uint32_t openFiles = 0;
    std::uint32_t filesCopied = 0;  // by folder copies, for the corruption fault

    std::uint64_t freeBytes(const SimDiskFaults& f) const;
};

class SimVolumes final : public VolumeService {
  public:
    SimVolumes(SimStation& station, SimClock& clock,
               std::function<std::filesystem::path()> workFolder,
               std::function<std::vector<std::shared_ptr<SimBridge>>()> bridges);

    // ---- VolumeService ----
    std::uint32_t logicalDriveMask() override;
    char systemDriveLetter() override;
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
    bool systemFormatAvailable() override { return true; }
    bool closeFormatPrompt() override;

    // ---- the emulated system ----
    // Re-reads the partition table of a disk (by physical drive number) or of every
    // disk: volumes appear, stay (same start and length) or vanish, with their events.
    void rescanDisk(std::uint32_t diskNumber);
    void rescanAll();
    // Something wrote the disk's sectors through the disk service: its volumes follow
    // its table from now on, and are mounted afresh at the next rescan.
    void diskWritten(std::uint32_t diskNumber);
    // The bridge whose disk has this number, while it is on the bus.
    std::shared_ptr<SimBridge> bridgeOf(std::uint32_t diskNumber);
    // The letters of the volumes on a disk's partitions, by partition start.
    std::map<std::uint64_t, char> lettersOf(std::uint32_t diskNumber);
    // Gives a volume of a partition a letter when it has none (partition tool "assign");
    // false when the partition shows no volume.
    bool assign(std::uint32_t diskNumber, std::uint64_t startingOffset);
    // Formats the volume on a partition (partition tool "format"); the tool's exit code.
    int formatPartition(std::uint32_t diskNumber, std::uint64_t startingOffset,
                        std::string_view fileSystem, std::string_view label,
                        std::uint32_t clusterBytes);

    // The volume of a letter (visible), or the one whose folder holds a path; null for
    // host paths. `visible` tells whether the volume is on the machine now.
    std::shared_ptr<SimVolumeContent> content(char letter);
    std::shared_ptr<SimVolumeContent> contentOf(const std::filesystem::path& path,
                                                bool* visible = nullptr);
    // Mounts the file system when it is not (reads the first sector from the image).
    void mountLocked(SimVolumeContent& c);

    // A volume given without a partition becomes what it stands for, on a disk without
    // a table: an MBR with its partition (type 0x07) and an NTFS boot sector with its label
    // and serial number, so that its sectors can be written like any other volume's.
    // False when the disk has a table or cannot be written. Called with `c.m` held.
    bool materializeLocked(SimVolumeContent& c);

    // Emulated time for moving bytes between the host and the drive of a volume (the
    // bridge's rate for a transfer of that length), charged to the calling thread's clock.
    // `hostStart` is when the host work for those bytes began: at a nonzero time scale the
    // real time spent beyond the charge is left out of the thread's performance counter.
    void chargeTransfer(const SimVolumeContent& c, std::uint64_t bytes,
                        std::chrono::steady_clock::time_point hostStart);

    // Faults.
    void setDiskFaults(std::uint32_t diskNumber, SimDiskFaults faults);
    SimDiskFaults diskFaults(std::uint32_t diskNumber);
    // The system's "format this disk?" prompt opens whenever a volume without a file
    // system gets a letter.
    void setFormatPrompt(bool appears);
    std::uint32_t promptsOpen();

  private:
    std::shared_ptr<SimVolumeContent> makeDeclared(const SimVolume& v);
    std::filesystem::path volumesFolder();
    char nextFreeLetter();
    void rescanLocked(std::uint32_t diskNumber);
    int formatLocked(SimVolumeContent& c, std::string_view fileSystem, std::string_view label,
                     std::uint32_t clusterBytes);
    std::uint32_t setLabelLocked(SimVolumeContent& c, std::string_view label);
    void noteArrival(SimVolumeContent& c);

    SimStation& station_;
    SimClock& clock_;
    std::function<std::filesystem::path()> workFolder_;
    std::function<std::vector<std::shared_ptr<SimBridge>>()> bridges_;
    std::recursive_mutex rescan_;  // one rescan at a time
    std::mutex m_;                 // the members below
    std::map<std::uint32_t, SimDiskFaults> faults_;
    std::map<std::uint32_t, bool> tableDriven_;  // by disk number
    std::map<std::uint32_t, bool> remount_;      // written since the last rescan
    bool prompt_ = false;
    std::uint32_t promptsOpen_ = 0;
    std::uint32_t formats_ = 0;
};

}  // namespace vq::sim
