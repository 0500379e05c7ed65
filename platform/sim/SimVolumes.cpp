#include "platform/sim/SimVolumes.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "base/AlignedBuffer.h"
#include "base/Bytes.h"
#include "base/Format.h"
#include "base/Text.h"
#include "platform/PartitionTable.h"
#include "platform/sim/SimBootSector.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimClock.h"
#include "platform/sim/SimDiskIo.h"
#include "platform/sim/SimStation.h"

namespace vq::sim {

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::size_t kLabelStore = 384;  // NTFS, exFAT: where our boot sector keeps the label
constexpr std::size_t kLabelStoreSize = 64;

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t unit) {
    return unit ? (v + unit - 1) / unit * unit : v;
}

std::shared_ptr<SimBridge> BridgeOfFunction(const std::shared_ptr<UsbFunction>& f) {
    auto bf = std::dynamic_pointer_cast<BridgeFunction>(f);
    return bf ? bf->bridge() : nullptr;
}

// Bytes the files and folders under a folder take, in whole clusters.
std::uint64_t FolderUse(const std::filesystem::path& folder, std::uint32_t cluster, bool ntfs) {
    std::uint64_t used = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code e2;
        if (it->is_symlink(e2))
            continue;
        if (it->is_directory(e2)) {
            used += ntfs ? 0 : cluster;
        } else {
            used += RoundUp(it->file_size(e2), cluster);
        }
    }
    return used;
}

void ClearFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code e2;
        std::filesystem::remove_all(it->path(), e2);
    }
    std::filesystem::create_directories(folder, ec);
}

// The label rules of SetVolumeLabel: 0, kLabelTooLong or kInvalidName.
std::uint32_t CheckLabel(std::string_view fs, std::string& label) {
    while (!label.empty() && label.back() == ' ')
        label.pop_back();
    const std::size_t max = fs == "FAT32" ? 11 : fs == "exFAT" ? 15 : 32;
    if (label.size() > max)
        return syserr::kLabelTooLong;
    const std::string_view bad =
        fs == "NTFS" ? std::string_view("*?/\\|<>\"") : std::string_view("*?/\\|.,;:+=[]<>\"");
    for (char ch : label) {
        if (static_cast<unsigned char>(ch) < 0x20 || bad.find(ch) != std::string_view::npos)
            return syserr::kInvalidName;
    }
    if (fs == "FAT32")
        label = ToUpper(label);
    return 0;
}

std::string CanonicalFs(std::string_view fs) {
    if (EqualsNoCase(fs, "NTFS"))
        return "NTFS";
    if (EqualsNoCase(fs, "FAT32"))
        return "FAT32";
    if (EqualsNoCase(fs, "exFAT"))
        return "exFAT";
    return {};
}

bool IsUnder(const std::filesystem::path& path, const std::filesystem::path& folder) {
    const auto rel = path.lexically_normal().lexically_relative(folder);
    if (rel.empty())
        return false;
    const auto first = *rel.begin();
    return first != "..";
}

// An open volume: sectors of its partition through the bridge, lock and dismount.
class SimVolumeHandle final : public Volume {
  public:
    SimVolumeHandle(SimVolumes& vols, std::shared_ptr<SimVolumeContent> c,
                    std::shared_ptr<SimBridge> bridge, std::uint64_t generation)
        : vols_(vols), c_(std::move(c)), bridge_(std::move(bridge)), gen_(generation) {}
    ~SimVolumeHandle() override { unlock(); }

    std::optional<DiskGeometry> geometry() override { return BridgeGeometry(*bridge_, gen_); }

    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return transfer(offset, buffer.data(), buffer.size(), false);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        return transfer(offset, const_cast<std::uint8_t*>(buffer.data()), buffer.size(), true);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        return bridge_->execute(request, gen_);
    }
    std::optional<StorageDeviceNumber> deviceNumber() override {
        auto n = bridge_->deviceNumber(gen_);
        if (n) {
            std::lock_guard lock(c_->m);
            n->partitionNumber = c_->partition.partitionNumber;
        }
        return n;
    }

    bool lock() override {
        const SimDiskFaults f = vols_.diskFaults(c_->diskNumber);
        std::lock_guard lock(c_->m);
        if (c_->lockedBy == this)
            return true;
        if (c_->lockedBy || f.lockRefused || c_->openFiles > 0)
            return false;
        // Whoever locks a volume means to write its sectors: one given without a
        // partition becomes the partition and file system it stands for first.
        if (c_->declared && !vols_.materializeLocked(*c_))
            return false;
        c_->lockedBy = this;
        return true;
    }
    bool unlock() override {
        std::lock_guard lock(c_->m);
        if (c_->lockedBy != this)
            return false;
        c_->lockedBy = nullptr;
        return true;
    }
    bool dismount() override {
        std::lock_guard lock(c_->m);
        if (c_->lockedBy && c_->lockedBy != this)
            return false;
        c_->mounted = false;
        ++c_->generation;
        return true;
    }
    std::optional<PartitionInfo> partitionInfo() override {
        std::lock_guard lock(c_->m);
        return c_->partition;
    }
    bool setMbrType(std::uint8_t type) override {
        std::lock_guard lock(c_->m);
        if (c_->partition.style != PartitionStyle::Mbr || type == 0 || c_->declared)
            return false;
        SimDrive* d = DiskDrive(*bridge_);
        if (!d || !bridge_->present())
            return false;
        std::vector<std::uint8_t> mbr(d->sectorSize());
        if (d->read(0, 1, mbr.data()) != SimDrive::Io::Ok || mbr[510] != 0x55 || mbr[511] != 0xAA)
            return false;
        const std::uint64_t first = c_->partition.startingOffset / d->sectorSize();
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t e = 446 + 16 * i;
            if (mbr[e + 4] != 0 && GetLE32(mbr, e + 8) == first) {
                mbr[e + 4] = type;
                if (d->write(0, 1, mbr.data()) != SimDrive::Io::Ok)
                    return false;
                c_->partition.mbrType = type;
                c_->partition.recognizedPartition = IsRecognizedMbrType(type);
                return true;
            }
        }
        return false;
    }

  private:
    IoResult transfer(std::uint64_t offset, std::uint8_t* p, std::size_t n, bool write) {
        IoResult r;
        std::uint64_t start = 0;
        std::uint32_t b = 512;
        {
            std::lock_guard lock(c_->m);
            b = c_->sectorSize;
            if (reinterpret_cast<std::uintptr_t>(p) % b || offset % b || n % b ||
                offset > c_->partition.length || n > c_->partition.length - offset) {
                r.error = syserr::kInvalidParameter;
                return r;
            }
            // A mounted file system takes no sector writes unless the volume is locked.
            if (write && c_->lockedBy != this && c_->mounted && !c_->fileSystem.empty()) {
                r.error = syserr::kAccessDenied;
                return r;
            }
            start = c_->partition.startingOffset;
        }
        return BridgeTransfer(*bridge_, gen_, b, (start + offset) / b, p, n, write);
    }

    SimVolumes& vols_;
    std::shared_ptr<SimVolumeContent> c_;
    std::shared_ptr<SimBridge> bridge_;
    std::uint64_t gen_;
};

}  // namespace

std::uint64_t SimVolumeContent::freeBytes(const SimDiskFaults& f) const {
    std::uint64_t cap = totalBytes > metaBytes ? totalBytes - metaBytes : 0;
    if (f.diskFullAtBytes)
        cap = std::min(cap, *f.diskFullAtBytes);
    return cap > usedBytes ? cap - usedBytes : 0;
}

SimVolumes::SimVolumes(SimStation& station, SimClock& clock,
                       std::function<std::filesystem::path()> workFolder,
                       std::function<std::vector<std::shared_ptr<SimBridge>>()> bridges)
    : station_(station),
      clock_(clock),
      workFolder_(std::move(workFolder)),
      bridges_(std::move(bridges)) {}

// ---- queries ----------------------------------------------------------------------------

std::uint32_t SimVolumes::logicalDriveMask() {
    return station_.logicalDriveMask();
}

char SimVolumes::systemDriveLetter() {
    return station_.systemDriveLetter();
}

DriveType SimVolumes::driveType(char letter) {
    return station_.driveType(letter);
}

std::string SimVolumes::volumeDevicePath(char letter) {
    return station_.volumeDevicePath(letter);
}

std::filesystem::path SimVolumes::rootPath(char letter) {
    if (auto c = content(letter)) {
        std::lock_guard lock(c->m);
        std::error_code ec;
        std::filesystem::create_directories(c->folder, ec);
        return c->folder;
    }
    return volumesFolder() / std::string(1, ToUpperAscii(letter));
}

std::optional<std::uint64_t> SimVolumes::freeBytes(char letter) {
    auto c = content(letter);
    if (!c)
        return std::nullopt;
    const SimDiskFaults f = diskFaults(c->diskNumber);
    std::lock_guard lock(c->m);
    mountLocked(*c);
    if (c->fileSystem.empty() || c->lockedBy)
        return std::nullopt;
    return c->freeBytes(f);
}

std::optional<std::uint64_t> SimVolumes::totalBytes(char letter) {
    auto c = content(letter);
    if (!c)
        return std::nullopt;
    std::lock_guard lock(c->m);
    mountLocked(*c);
    if (c->fileSystem.empty() || c->lockedBy)
        return std::nullopt;
    return c->totalBytes;
}

std::optional<VolumeInformation> SimVolumes::volumeInformation(char letter) {
    auto c = content(letter);
    if (!c)
        return std::nullopt;
    std::lock_guard lock(c->m);
    mountLocked(*c);
    if (c->fileSystem.empty() || c->lockedBy)
        return std::nullopt;
    VolumeInformation v;
    v.label = c->label;
    v.serialNumber = c->serial;
    v.maxComponentLength = 255;
    v.fileSystem = c->fileSystem;
    return v;
}

std::unique_ptr<Volume> SimVolumes::openVolume(char letter, std::uint32_t* error) {
    auto fail = [&](std::uint32_t code) -> std::unique_ptr<Volume> {
        if (error)
            *error = code;
        return nullptr;
    };
    auto c = content(letter);
    if (!c)
        return fail(syserr::kFileNotFound);
    std::shared_ptr<SimBridge> bridge;
    {
        std::lock_guard lock(c->m);
        bridge = c->bridge;
    }
    if (!bridge)
        return fail(syserr::kAccessDenied);  // the machine's own disks are not for the station
    const auto gen = bridge->attach();
    if (!gen)
        return fail(syserr::kNotReady);
    if (error)
        *error = 0;
    return std::make_unique<SimVolumeHandle>(*this, std::move(c), std::move(bridge), *gen);
}

// ---- label and format ------------------------------------------------------------------

std::uint32_t SimVolumes::setLabel(char letter, std::string_view label) {
    auto c = content(letter);
    if (!c)
        return syserr::kPathNotFound;
    const SimDiskFaults f = diskFaults(c->diskNumber);
    std::lock_guard lock(c->m);
    mountLocked(*c);
    if (c->lockedBy)
        return syserr::kAccessDenied;
    if (c->fileSystem.empty())
        return syserr::kUnrecognizedVolume;
    if (f.labelError)
        return f.labelError;
    return setLabelLocked(*c, label);
}

std::uint32_t SimVolumes::setLabelLocked(SimVolumeContent& c, std::string_view text) {
    std::string label(text);
    if (const std::uint32_t e = CheckLabel(c.fileSystem, label))
        return e;
    if (!c.declared && c.bridge) {
        SimDrive* d = DiskDrive(*c.bridge);
        if (!d || !c.bridge->present())
            return syserr::kNotReady;
        const std::uint32_t b = c.sectorSize;
        const std::uint64_t first = c.partition.startingOffset / b;
        if (c.fileSystem == "FAT32") {
            std::vector<std::uint8_t> root(b);
            if (d->read(first + c.rootSector, 1, root.data()) != SimDrive::Io::Ok)
                return syserr::kReadFault;
            if (!PutFatLabel(root, label))
                return syserr::kDiskFull;
            if (d->write(first + c.rootSector, 1, root.data()) != SimDrive::Io::Ok)
                return syserr::kWriteFault;
        } else if (c.bootSector.size() >= kLabelStore + kLabelStoreSize) {
            std::fill_n(c.bootSector.begin() + kLabelStore, kLabelStoreSize, 0);
            std::copy(label.begin(), label.end(), c.bootSector.begin() + kLabelStore);
            if (d->write(first, 1, c.bootSector.data()) != SimDrive::Io::Ok)
                return syserr::kWriteFault;
        }
    }
    c.label = label;
    return 0;
}

int SimVolumes::systemFormat(char letter, std::string_view fileSystem, std::string_view label,
                             std::uint32_t clusterBytes, bool quick) {
    auto c = content(letter);
    if (!c)
        return 4;
    const SimDiskFaults f = diskFaults(c->diskNumber);
    if (f.formatExitCode != 0)
        return f.formatExitCode;
    std::uint64_t length = 0;
    int rc = 0;
    {
        std::lock_guard lock(c->m);
        rc = formatLocked(*c, fileSystem, label, clusterBytes);
        length = c->partition.length;
    }
    if (rc == 0 && !quick)
        chargeTransfer(*c, length, std::chrono::steady_clock::now());  // every sector written
    return rc;
}

int SimVolumes::formatLocked(SimVolumeContent& c, std::string_view fileSystem,
                             std::string_view labelText, std::uint32_t clusterBytes) {
    const std::string fs = CanonicalFs(fileSystem);
    if (fs.empty())
        return 1;
    if (c.lockedBy || !c.bridge)
        return 4;
    SimDrive* d = DiskDrive(*c.bridge);
    if (!d || !c.bridge->present())
        return 4;
    std::string label(labelText);
    if (CheckLabel(fs, label) != 0)
        return 1;
    const std::uint32_t b = c.sectorSize;
    if (clusterBytes == 0)
        clusterBytes = DefaultClusterBytes(fs, c.partition.length);
    if (!ValidClusterBytes(fs, clusterBytes, b))
        return 1;
    if (fs == "FAT32" && c.partition.length > 32 * kGiB)
        return 4;  // the system's formatter makes FAT32 volumes up to 32 GiB only
    const std::uint64_t first = c.partition.startingOffset / b;
    const std::uint64_t sectors = c.partition.length / b;
    std::uint32_t serial = 0;
    {
        std::lock_guard lock(m_);
        serial = static_cast<std::uint32_t>(clock_.nowNs() / 1000) * 2654435761u ^
                 (c.diskNumber << 24) ^ (++formats_ * 0x9E3779B9u);
    }
    auto boot = BuildBootSector(fs, b, sectors, first, clusterBytes, serial);
    if (!boot)
        return 4;
    const auto info = ParseBootSector(*boot, b, sectors);
    if (!info)
        return 4;
    if (fs == "FAT32") {
        std::vector<std::uint8_t> root(b, 0);
        if (!label.empty())
            PutFatLabel(root, label);
        if (d->write(first + info->rootSector, 1, root.data()) != SimDrive::Io::Ok)
            return 4;
    } else {
        std::copy(label.begin(), label.end(), boot->begin() + kLabelStore);
    }
    if (d->write(first, 1, boot->data()) != SimDrive::Io::Ok)
        return 4;
    ClearFolder(c.folder);
    c.declared = false;
    c.mounted = true;
    c.everMounted = true;
    ++c.generation;
    c.bootSector = *boot;
    c.fileSystem = info->fileSystem;
    c.serial = info->serial;
    c.clusterBytes = info->clusterBytes;
    c.totalBytes = info->totalBytes;
    c.metaBytes = info->metaBytes;
    c.rootSector = info->rootSector;
    c.usedBytes = 0;
    c.label = label;
    if (fs == "NTFS") {
        std::error_code ec;
        std::filesystem::create_directories(c.folder / "System Volume Information", ec);
    }
    return 0;
}

bool SimVolumes::closeFormatPrompt() {
    std::lock_guard lock(m_);
    if (promptsOpen_ == 0)
        return false;
    --promptsOpen_;
    return true;
}

// ---- mounting ---------------------------------------------------------------------------

void SimVolumes::mountLocked(SimVolumeContent& c) {
    if (c.mounted)
        return;
    if (c.declared) {
        c.mounted = true;
        return;
    }
    SimDrive* d = c.bridge ? DiskDrive(*c.bridge) : nullptr;
    if (!d || !c.bridge->present())
        return;  // not ready: asked again next time
    const std::uint32_t b = c.sectorSize;
    const std::uint64_t first = c.partition.startingOffset / b;
    const std::uint64_t sectors = c.partition.length / b;
    std::vector<std::uint8_t> boot(b);
    if (sectors == 0 || d->read(first, 1, boot.data()) != SimDrive::Io::Ok)
        return;
    const bool same = boot == c.bootSector;
    const auto info = ParseBootSector(boot, b, sectors);
    if (c.everMounted && !same) {
        ClearFolder(c.folder);  // a new file system: the old files are gone
        c.usedBytes = 0;
        c.label.clear();
    }
    std::error_code ec;
    std::filesystem::create_directories(c.folder, ec);
    c.mounted = true;
    c.bootSector = boot;
    if (!info) {
        c.fileSystem.clear();
        c.everMounted = true;
        return;
    }
    c.fileSystem = info->fileSystem;
    c.serial = info->serial;
    c.clusterBytes = info->clusterBytes;
    c.totalBytes = info->totalBytes;
    c.metaBytes = info->metaBytes;
    c.rootSector = info->rootSector;
    if (!c.everMounted)
        c.usedBytes = FolderUse(c.folder, c.clusterBytes, c.fileSystem == "NTFS");
    c.everMounted = true;
    if (c.fileSystem == "FAT32") {
        std::vector<std::uint8_t> root(b);
        c.label.clear();
        if (d->read(first + c.rootSector, 1, root.data()) == SimDrive::Io::Ok)
            c.label = FindFatLabel(root).value_or("");
    } else if (boot.size() >= kLabelStore + kLabelStoreSize) {
        const auto from = boot.begin() + kLabelStore;
        c.label.assign(from, std::find(from, from + kLabelStoreSize, 0));
    }
}

bool SimVolumes::materializeLocked(SimVolumeContent& c) {
    SimDrive* d = c.bridge ? DiskDrive(*c.bridge) : nullptr;
    if (!d || !c.bridge->present())
        return false;
    DriveBlocks blocks(*d);
    const auto g = blocks.geometry();
    const auto layout = g ? ReadDriveLayout(blocks, *g) : std::nullopt;
    if (!layout || layout->style != PartitionStyle::Raw)
        return false;  // a disk with a table shows its partitions after the next rescan
    DriveLayout l;
    l.style = PartitionStyle::Mbr;
    l.mbrSignature = c.serial;
    l.partitions = {c.partition, {}, {}, {}};
    const std::uint32_t b = c.sectorSize;
    const std::uint64_t first = c.partition.startingOffset / b;
    auto boot = BuildBootSector("NTFS", b, c.partition.length / b, first, c.clusterBytes, c.serial);
    if (!boot || !WriteDriveLayout(blocks, *g, l))
        return false;
    std::copy_n(c.label.begin(), std::min(c.label.size(), kLabelStoreSize),
                boot->begin() + kLabelStore);
    if (d->write(first, 1, boot->data()) != SimDrive::Io::Ok)
        return false;
    c.bootSector = *boot;
    c.declared = false;
    std::lock_guard lock(m_);
    tableDriven_[c.diskNumber] = true;
    return true;
}

std::shared_ptr<SimVolumeContent> SimVolumes::makeDeclared(const SimVolume& v) {
    auto c = std::make_shared<SimVolumeContent>();
    c->declared = true;
    c->diskNumber = v.deviceNumber;
    c->bridge = BridgeOfFunction(v.owner);
    SimDrive* d = c->bridge ? DiskDrive(*c->bridge) : nullptr;
    c->sectorSize = d ? d->sectorSize() : 512;
    const std::uint64_t diskBytes = d ? d->sectors() * d->sectorSize() : 0;
    c->totalBytes = diskBytes > kMiB ? diskBytes - kMiB : v.freeBytes + 8 * kGiB;
    c->totalBytes = std::max(c->totalBytes, v.freeBytes);
    c->partition.style = PartitionStyle::Mbr;
    c->partition.startingOffset = kMiB;
    c->partition.length = c->totalBytes;
    c->partition.partitionNumber = 1;
    c->partition.mbrType = 0x07;
    c->partition.recognizedPartition = true;
    c->partition.hiddenSectors = static_cast<std::uint32_t>(kMiB / c->sectorSize);
    c->folder = volumesFolder() / (c->bridge ? Format("disk%u-%c", v.deviceNumber, v.letter)
                                             : std::string(1, v.letter));
    c->fileSystem = "NTFS";
    c->label = v.label;
    c->serial = static_cast<std::uint32_t>(0x5A000000u | (v.deviceNumber << 8) |
                                           static_cast<std::uint8_t>(v.letter));
    c->clusterBytes = 4096;
    c->metaBytes = c->totalBytes - v.freeBytes;
    std::error_code ec;
    std::filesystem::create_directories(c->folder, ec);
    c->usedBytes = FolderUse(c->folder, c->clusterBytes, true);
    c->mounted = true;
    c->everMounted = true;
    return c;
}

std::shared_ptr<SimVolumeContent> SimVolumes::content(char letter) {
    return station_.volumeContent(letter, [this](const SimVolume& v) { return makeDeclared(v); });
}

std::shared_ptr<SimVolumeContent> SimVolumes::contentOf(const std::filesystem::path& path,
                                                        bool* visible) {
    for (const SimVolume& v : station_.allVolumes()) {
        if (!v.content)
            continue;
        std::filesystem::path folder;
        {
            std::lock_guard lock(v.content->m);
            folder = v.content->folder;
        }
        if (!IsUnder(path, folder))
            continue;
        if (visible) {
            const auto now = station_.visibleVolume(v.letter);
            *visible = now && now->content == v.content;
        }
        return v.content;
    }
    return nullptr;
}

std::filesystem::path SimVolumes::volumesFolder() {
    return workFolder_() / "volumes";
}

void SimVolumes::chargeTransfer(const SimVolumeContent& c, std::uint64_t bytes,
                                std::chrono::steady_clock::time_point hostStart) {
    if (!c.bridge || bytes == 0)
        return;
    const std::int64_t charged = TransferNs(*c.bridge, bytes);
    clock_.advanceNs(charged);
    if (clock_.scale() > 0) {
        const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now() - hostStart)
                              .count();
        clock_.excludeHostNs(static_cast<std::int64_t>(static_cast<double>(real) / clock_.scale()) -
                             charged);
    }
}

// ---- rescans ----------------------------------------------------------------------------

std::shared_ptr<SimBridge> SimVolumes::bridgeOf(std::uint32_t diskNumber) {
    for (auto& b : bridges_()) {
        if (b->storageNumber() == diskNumber && b->present())
            return b;
    }
    return nullptr;
}

void SimVolumes::diskWritten(std::uint32_t diskNumber) {
    std::lock_guard lock(m_);
    tableDriven_[diskNumber] = true;
    remount_[diskNumber] = true;
}

void SimVolumes::rescanDisk(std::uint32_t diskNumber) {
    std::lock_guard lock(rescan_);
    rescanLocked(diskNumber);
}

void SimVolumes::rescanAll() {
    std::lock_guard lock(rescan_);
    for (auto& b : bridges_())
        rescanLocked(b->storageNumber());
}

char SimVolumes::nextFreeLetter() {
    std::uint32_t used = 0;
    for (const SimVolume& v : station_.allVolumes()) {
        if (v.letter >= 'A' && v.letter <= 'Z')
            used |= 1u << (v.letter - 'A');
    }
    const char system = ToUpperAscii(station_.systemDriveLetter());
    for (char l = 'C'; l <= 'Z'; ++l) {
        if (!(used & (1u << (l - 'A'))) && l != system)
            return l;
    }
    return 0;
}

void SimVolumes::rescanLocked(std::uint32_t diskNumber) {
    auto bridge = bridgeOf(diskNumber);
    SimDrive* d = bridge ? DiskDrive(*bridge) : nullptr;
    auto fn = station_.functionByPath(Format("\\\\.\\PhysicalDrive%u", diskNumber));
    if (!d || !fn)
        return;
    DriveBlocks blocks(*d);
    const auto layout = ReadDriveLayout(blocks, *blocks.geometry());
    if (!layout)
        return;
    bool remount = false;
    {
        std::lock_guard lock(m_);
        if (layout->style != PartitionStyle::Raw)
            tableDriven_[diskNumber] = true;
        if (!tableDriven_[diskNumber])
            return;  // volumes given without a table stay as they are
        remount = remount_[diskNumber];
        remount_[diskNumber] = false;
    }
    const SimDiskFaults faults = diskFaults(diskNumber);
    std::vector<PartitionInfo> wanted;
    if (!faults.volumesNeverAppear) {
        for (const auto& p : layout->partitions) {
            const bool mounts = layout->style == PartitionStyle::Mbr
                                    ? p.mbrType != 0 && IsRecognizedMbrType(p.mbrType)
                                    : p.gptType == kGptBasicDataType;
            if (mounts && p.length > 0)
                wanted.push_back(p);
        }
    }
    // Volumes that stay keep their letters; the letters of the others are given first to
    // the volumes that arrive.
    std::deque<char> reuse;
    std::vector<bool> kept(wanted.size(), false);
    for (const SimVolume& v : station_.allVolumes()) {
        if (v.owner != fn)
            continue;
        bool keep = false;
        if (v.content) {
            std::lock_guard lock(v.content->m);
            for (std::size_t i = 0; i < wanted.size() && !v.content->declared; ++i) {
                if (!kept[i] && wanted[i].startingOffset == v.content->partition.startingOffset &&
                    wanted[i].length == v.content->partition.length) {
                    kept[i] = keep = true;
                    const std::uint32_t b = v.content->sectorSize;
                    v.content->partition = wanted[i];
                    if (wanted[i].style == PartitionStyle::Mbr)
                        v.content->partition.hiddenSectors =
                            static_cast<std::uint32_t>(wanted[i].startingOffset / b);
                    if (remount) {
                        v.content->mounted = false;
                        ++v.content->generation;
                    }
                    break;
                }
            }
        }
        if (!keep) {
            station_.removeVolume(v.letter);
            reuse.push_back(v.letter);
        }
    }
    std::sort(reuse.begin(), reuse.end());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (kept[i])
            continue;
        char letter = 0;
        if (!reuse.empty()) {
            letter = reuse.front();
            reuse.pop_front();
        } else {
            letter = nextFreeLetter();
        }
        if (!letter)
            continue;  // no letter left: the volume has no drive letter
        auto c = std::make_shared<SimVolumeContent>();
        c->diskNumber = diskNumber;
        c->bridge = bridge;
        c->partition = wanted[i];
        c->sectorSize = d->sectorSize();
        if (wanted[i].style == PartitionStyle::Mbr)
            c->partition.hiddenSectors =
                static_cast<std::uint32_t>(wanted[i].startingOffset / c->sectorSize);
        c->folder =
            volumesFolder() / Format("disk%u-%llu", diskNumber,
                                     static_cast<unsigned long long>(wanted[i].startingOffset));
        SimVolume v;
        v.letter = letter;
        v.type = DriveType::Fixed;
        v.deviceNumber = diskNumber;
        v.owner = fn;
        v.content = c;
        station_.addVolume(v);
        noteArrival(*c);
    }
}

void SimVolumes::noteArrival(SimVolumeContent& c) {
    bool raw = false;
    {
        std::lock_guard lock(c.m);
        mountLocked(c);
        raw = c.mounted && c.fileSystem.empty();
    }
    std::lock_guard lock(m_);
    if (raw && prompt_)
        ++promptsOpen_;
}

std::map<std::uint64_t, char> SimVolumes::lettersOf(std::uint32_t diskNumber) {
    std::map<std::uint64_t, char> out;
    for (const SimVolume& v : station_.allVolumes()) {
        if (!v.content)
            continue;
        std::lock_guard lock(v.content->m);
        if (v.content->diskNumber == diskNumber && !v.content->declared)
            out[v.content->partition.startingOffset] = v.letter;
    }
    return out;
}

bool SimVolumes::assign(std::uint32_t diskNumber, std::uint64_t startingOffset) {
    rescanDisk(diskNumber);
    return lettersOf(diskNumber).count(startingOffset) != 0;
}

int SimVolumes::formatPartition(std::uint32_t diskNumber, std::uint64_t startingOffset,
                                std::string_view fileSystem, std::string_view label,
                                std::uint32_t clusterBytes) {
    rescanDisk(diskNumber);
    const auto letters = lettersOf(diskNumber);
    auto it = letters.find(startingOffset);
    if (it == letters.end())
        return 4;
    return systemFormat(it->second, fileSystem, label, clusterBytes, true);
}

// ---- faults -----------------------------------------------------------------------------

void SimVolumes::setDiskFaults(std::uint32_t diskNumber, SimDiskFaults faults) {
    std::lock_guard lock(m_);
    faults_[diskNumber] = std::move(faults);
}

SimDiskFaults SimVolumes::diskFaults(std::uint32_t diskNumber) {
    std::lock_guard lock(m_);
    auto it = faults_.find(diskNumber);
    return it == faults_.end() ? SimDiskFaults{} : it->second;
}

void SimVolumes::setFormatPrompt(bool appears) {
    std::lock_guard lock(m_);
    prompt_ = appears;
    if (!appears)
        promptsOpen_ = 0;
}

std::uint32_t SimVolumes::promptsOpen() {
    std::lock_guard lock(m_);
    return promptsOpen_;
}

}  // namespace vq::sim
