// Stand-ins for the disk, volume and pass-through services: disks held in memory sector by
// sector, volumes as windows of them, and a record of every request the procedures make.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "bridge/Transport.h"
#include "disk/DiskContext.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/DiskService.h"
#include "platform/Platform.h"
#include "platform/VolumeService.h"

namespace vq::test {

// Time that moves only when someone sleeps.
class StepClock final : public Clock {
  public:
    std::uint64_t tickMs() override { return ms_; }
    std::int64_t perfCounter() override { return static_cast<std::int64_t>(ms_) * 1000; }
    std::int64_t perfFrequency() override { return 1'000'000; }
    void sleepMs(std::uint32_t ms) override {
        ms_ += ms;
        sleeps.push_back(ms);
        if (onSleep)
            onSleep();
    }
    std::vector<std::uint32_t> sleeps;
    std::function<void()> onSleep;

  private:
    std::uint64_t ms_ = 0;
};

// The sectors of a disk, only those ever written kept; the rest read as zeros.
struct SectorStore {
    std::uint32_t bytesPerSector = 512;
    std::map<std::uint64_t, std::vector<std::uint8_t>> sectors;

    void read(std::uint64_t offset, Bytes out) const {
        for (std::size_t done = 0; done < out.size(); done += bytesPerSector) {
            const auto it = sectors.find((offset + done) / bytesPerSector);
            if (it == sectors.end())
                std::fill_n(out.begin() + done, bytesPerSector, std::uint8_t{0});
            else
                std::copy(it->second.begin(), it->second.end(), out.begin() + done);
        }
    }
    void write(std::uint64_t offset, ConstBytes in) {
        for (std::size_t done = 0; done < in.size(); done += bytesPerSector) {
            auto& s = sectors[(offset + done) / bytesPerSector];
            s.assign(in.begin() + done, in.begin() + done + bytesPerSector);
        }
    }
    std::vector<std::uint8_t> sector(std::uint64_t index) const {
        std::vector<std::uint8_t> s(bytesPerSector);
        read(index * bytesPerSector, s);
        return s;
    }
};

// READ CAPACITY(10), READ(10) and WRITE(10) as a disk answers them; the rest fails with
// CHECK CONDITION.
template <typename Read, typename Write>
ScsiResult AnswerBlockCommand(const ScsiRequest& r, std::uint32_t b, std::uint64_t totalBytes,
                              Read read, Write write) {
    const std::uint8_t op = r.cdb[0];
    if (op == 0x25 && r.data.size() >= 8) {
        PutBE32(r.data, 0, static_cast<std::uint32_t>(totalBytes / b - 1));
        PutBE32(r.data, 4, b);
        return {true, 0, 0, 8};
    }
    if ((op == 0x28 || op == 0x2A) && r.cdb.size() >= 10) {
        const std::uint64_t offset = std::uint64_t{GetBE32(r.cdb, 2)} * b;
        const std::size_t bytes = std::size_t{GetBE16(r.cdb, 7)} * b;
        if (bytes != r.data.size() || offset + bytes > totalBytes)
            return {true, 0, 2, 0};
        if (op == 0x28)
            read(offset, r.data);
        else
            write(offset, ConstBytes(r.data.data(), r.data.size()));
        return {true, 0, 0, static_cast<std::uint32_t>(bytes)};
    }
    return {true, 0, 2, 0};
}

// One disk of the fake machine and what was done to it.
struct FakeDiskState {
    DiskGeometry geometry;
    SectorStore store;
    std::optional<DriveLayout> layout;
    std::optional<StorageDeviceNumber> number = StorageDeviceNumber{7, 1, 0};
    bool failOpen = false;
    bool failGeometry = false;
    bool failCreate = false;
    bool failLayout = false;
    bool failSetLayout = false;
    bool failUpdate = false;
    int failingWrites = 0;  // the next n writes fail
    bool failWritesForever = false;
    bool readCapacityWorks = true;
    std::vector<std::string> calls;  // in order: "write OFFSET LEN", "createDisk", ...
    std::vector<DriveLayout> layoutsSet;
    std::vector<std::vector<std::uint8_t>> cdbs;  // pass-through blocks received

    static FakeDiskState WithChs(std::uint64_t c, std::uint32_t t, std::uint32_t s,
                                 std::uint32_t b = 512, std::uint64_t extraBytes = 0) {
        FakeDiskState d;
        d.geometry = {c, t, s, b, c * t * s * b + extraBytes};
        d.store.bytesPerSector = b;
        return d;
    }

    bool aligned(std::uint64_t offset, std::size_t size) const {
        return offset % store.bytesPerSector == 0 && size % store.bytesPerSector == 0 &&
               offset + size <= geometry.totalBytes;
    }
    IoResult doWrite(std::uint64_t offset, ConstBytes buffer) {
        calls.push_back("write " + std::to_string(offset) + " " + std::to_string(buffer.size()));
        if (failWritesForever || failingWrites > 0) {
            if (failingWrites > 0)
                --failingWrites;
            return {false, 0, syserr::kWriteFault};
        }
        if (!aligned(offset, buffer.size()))
            return {false, 0, syserr::kInvalidParameter};
        store.write(offset, buffer);
        return {true, static_cast<std::uint32_t>(buffer.size()), 0};
    }
    IoResult doRead(std::uint64_t offset, Bytes buffer) {
        if (!aligned(offset, buffer.size()))
            return {false, 0, syserr::kInvalidParameter};
        store.read(offset, buffer);
        return {true, static_cast<std::uint32_t>(buffer.size()), 0};
    }
    ScsiResult doExecute(const ScsiRequest& r) {
        cdbs.emplace_back(r.cdb.begin(), r.cdb.end());
        if (r.cdb[0] == 0x25 && !readCapacityWorks)
            return {true, 0, 2, 0};
        return AnswerBlockCommand(
            r, store.bytesPerSector, geometry.totalBytes,
            [this](std::uint64_t o, Bytes b) { store.read(o, b); },
            [this](std::uint64_t o, ConstBytes b) { store.write(o, b); });
    }
};

class FakeDisk final : public Disk {
  public:
    FakeDisk(FakeDiskState& s, std::mutex& m) : s_(s), m_(m) {}
    std::optional<DiskGeometry> geometry() override {
        std::lock_guard lock(m_);
        if (s_.failGeometry)
            return std::nullopt;
        return s_.geometry;
    }
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::lock_guard lock(m_);
        return s_.doRead(offset, buffer);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        std::lock_guard lock(m_);
        return s_.doWrite(offset, buffer);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        std::lock_guard lock(m_);
        return s_.doExecute(request);
    }
    std::optional<StorageDeviceNumber> deviceNumber() override {
        std::lock_guard lock(m_);
        return s_.number;
    }
    bool createDisk(PartitionStyle style, std::uint32_t signature) override {
        std::lock_guard lock(m_);
        s_.calls.push_back("createDisk");
        if (s_.failCreate)
            return false;
        DriveLayout l;
        l.style = style;
        l.mbrSignature = signature;
        if (style == PartitionStyle::Mbr)
            l.partitions.resize(4);
        s_.layout = l;
        return true;
    }
    std::optional<DriveLayout> layout() override {
        std::lock_guard lock(m_);
        s_.calls.push_back("layout");
        if (s_.failLayout)
            return std::nullopt;
        if (!s_.layout) {
            // A disk that never had a table: read what the first sector says.
            DriveLayout l;
            const auto mbr = s_.store.sector(0);
            l.style =
                mbr[510] == 0x55 && mbr[511] == 0xAA ? PartitionStyle::Mbr : PartitionStyle::Raw;
            l.mbrSignature = GetLE32(mbr, 440);
            if (l.style == PartitionStyle::Mbr)
                l.partitions.resize(4);
            return l;
        }
        return s_.layout;
    }
    bool setLayout(const DriveLayout& layout) override {
        std::lock_guard lock(m_);
        s_.calls.push_back("setLayout");
        if (s_.failSetLayout)
            return false;
        s_.layoutsSet.push_back(layout);
        s_.layout = layout;
        return true;
    }
    bool updateProperties() override {
        std::lock_guard lock(m_);
        s_.calls.push_back("updateProperties");
        return !s_.failUpdate;
    }

  private:
    FakeDiskState& s_;
    std::mutex& m_;
};

class FakeDiskService final : public DiskService {
  public:
    std::map<std::string, FakeDiskState> disks;
    bool toolAvailable = true;
    std::vector<std::vector<std::string>> scripts;
    // Answers each script; default: exit code 0.
    std::function<int(const std::vector<std::string>&)> tool;
    std::function<void()> onToolRun;  // e.g. to check the port lock is held
    std::mutex m;

    std::unique_ptr<Disk> openDisk(std::string_view path, std::uint32_t* error) override {
        std::lock_guard lock(m);
        auto it = disks.find(std::string(path));
        if (it == disks.end() || it->second.failOpen) {
            if (error)
                *error = syserr::kFileNotFound;
            return nullptr;
        }
        return std::make_unique<FakeDisk>(it->second, m);
    }
    std::unique_ptr<Disk> openImage(std::string_view path, std::uint32_t,
                                    std::uint32_t* error) override {
        return openDisk(path, error);
    }
    bool partitionToolAvailable() override { return toolAvailable; }
    int runPartitionTool(const std::vector<std::string>& script, std::uint32_t* error) override {
        if (onToolRun)
            onToolRun();
        std::lock_guard lock(m);
        scripts.push_back(script);
        if (!toolAvailable) {
            if (error)
                *error = syserr::kFileNotFound;
            return -1;
        }
        return tool ? tool(script) : 0;
    }
};

// A volume of the fake machine: a window of one of the fake disks.
struct FakeVolumeState {
    FakeDiskState* disk = nullptr;
    DriveType type = DriveType::Fixed;
    PartitionInfo partition;
    int failingOpens = 0;
    bool failLock = false;
    bool failDismount = false;
    bool failSetType = false;
    bool failInfo = false;
    bool failSize = false;
    bool locked = false;
    std::vector<std::uint8_t> typesSet;
    std::vector<std::string> calls;
    // FAT32 label rule of the system: more than 11 characters is error 154.
    bool fat32Labels = true;
    std::vector<std::string> labelsSet;
    std::uint32_t labelError = 0;  // answered to every non-empty label when nonzero
    int systemFormatExit = 0;
    std::vector<std::string> systemFormats;  // "FS|label|cluster|quick"
    std::optional<StorageDeviceNumber> number;
};

class FakeVolume final : public Volume {
  public:
    FakeVolume(FakeVolumeState& v, std::mutex& m) : v_(v), m_(m) {}
    ~FakeVolume() override { v_.locked = false; }
    std::optional<DiskGeometry> geometry() override { return v_.disk->geometry; }
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::lock_guard lock(m_);
        if (offset + buffer.size() > v_.partition.length)
            return {false, 0, syserr::kInvalidParameter};
        return v_.disk->doRead(v_.partition.startingOffset + offset, buffer);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        std::lock_guard lock(m_);
        if (offset + buffer.size() > v_.partition.length)
            return {false, 0, syserr::kInvalidParameter};
        return v_.disk->doWrite(v_.partition.startingOffset + offset, buffer);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        std::lock_guard lock(m_);
        return v_.disk->doExecute(request);
    }
    std::optional<StorageDeviceNumber> deviceNumber() override { return v_.number; }
    bool lock() override {
        v_.calls.push_back("lock");
        if (v_.failLock || v_.locked)
            return false;
        v_.locked = true;
        return true;
    }
    bool unlock() override {
        v_.calls.push_back("unlock");
        v_.locked = false;
        return true;
    }
    bool dismount() override {
        v_.calls.push_back("dismount");
        return !v_.failDismount;
    }
    std::optional<PartitionInfo> partitionInfo() override { return v_.partition; }
    bool setMbrType(std::uint8_t type) override {
        v_.calls.push_back("setMbrType");
        if (v_.failSetType)
            return false;
        v_.typesSet.push_back(type);
        return true;
    }

  private:
    FakeVolumeState& v_;
    std::mutex& m_;
};

class FakeVolumeService final : public VolumeService {
  public:
    std::map<char, FakeVolumeState> volumes;
    char systemLetter = 'C';
    bool formatterAvailable = true;
    int promptsShowing = 0;
    int promptPolls = 0;
    std::mutex m;

    std::uint32_t logicalDriveMask() override {
        std::uint32_t mask = 0;
        for (const auto& [letter, v] : volumes)
            mask |= 1u << (letter - 'A');
        return mask;
    }
    char systemDriveLetter() override { return systemLetter; }
    DriveType driveType(char letter) override {
        auto it = volumes.find(letter);
        return it == volumes.end() ? DriveType::NoRootDir : it->second.type;
    }
    std::string volumeDevicePath(char letter) override {
        return std::string("\\\\.\\") + letter + ":";
    }
    std::filesystem::path rootPath(char letter) override { return std::string(1, letter) + ":\\"; }
    std::optional<std::uint64_t> freeBytes(char letter) override {
        auto& v = volumes.at(letter);
        if (v.failSize)
            return std::nullopt;
        return v.partition.length / 2;
    }
    std::optional<std::uint64_t> totalBytes(char letter) override {
        auto& v = volumes.at(letter);
        if (v.failSize)
            return std::nullopt;
        return v.partition.length;
    }
    std::unique_ptr<Volume> openVolume(char letter, std::uint32_t* error) override {
        auto it = volumes.find(letter);
        if (it == volumes.end() || it->second.failingOpens > 0) {
            if (it != volumes.end())
                --it->second.failingOpens;
            if (error)
                *error = syserr::kSharingViolation;
            return nullptr;
        }
        return std::make_unique<FakeVolume>(it->second, m);
    }
    std::optional<VolumeInformation> volumeInformation(char letter) override {
        auto& v = volumes.at(letter);
        if (v.failInfo)
            return std::nullopt;
        VolumeInformation info;
        info.serialNumber = 0x12345678;
        info.fileSystem = "FAT32";
        info.label = v.labelsSet.empty() ? "" : v.labelsSet.back();
        return info;
    }
    std::uint32_t setLabel(char letter, std::string_view label) override {
        auto& v = volumes.at(letter);
        v.labelsSet.emplace_back(label);
        if (!label.empty() && v.labelError != 0)
            return v.labelError;
        if (v.fat32Labels && label.size() > 11)
            return syserr::kLabelTooLong;
        return 0;
    }
    int systemFormat(char letter, std::string_view fileSystem, std::string_view label,
                     std::uint32_t clusterBytes, bool quick) override {
        auto& v = volumes.at(letter);
        v.systemFormats.push_back(std::string(fileSystem) + "|" + std::string(label) + "|" +
                                  std::to_string(clusterBytes) + "|" + (quick ? "1" : "0"));
        return v.systemFormatExit;
    }
    bool systemFormatAvailable() override { return formatterAvailable; }
    bool closeFormatPrompt() override {
        ++promptPolls;
        if (promptsShowing == 0)
            return false;
        --promptsShowing;
        return true;
    }
};

// Answers the device-number request of any path it was told about.
class NumberedPaths final : public ScsiPassThrough {
  public:
    std::map<std::string, StorageDeviceNumber> numbers;
    std::unique_ptr<ScsiDevice> open(std::string_view path, std::uint32_t* lastError) override {
        auto it = numbers.find(std::string(path));
        if (it == numbers.end()) {
            if (lastError)
                *lastError = syserr::kFileNotFound;
            return nullptr;
        }
        return std::make_unique<Device>(it->second);
    }

  private:
    struct Device final : ScsiDevice {
        explicit Device(StorageDeviceNumber n) : n_(n) {}
        ScsiResult execute(const ScsiRequest&) override { return {true, 0, 2, 0}; }
        std::optional<StorageDeviceNumber> deviceNumber() override { return n_; }
        StorageDeviceNumber n_;
    };
};

// A lockable that remembers whether it is held.
struct WatchedLock {
    std::mutex m;
    bool held = false;
    int entered = 0;
    void lock() {
        m.lock();
        held = true;
        ++entered;
    }
    void unlock() {
        held = false;
        m.unlock();
    }
};

// The fake machine with the context the procedures are handed.
struct DiskRig {
    StepClock clock;
    CapturingDiagnostics diagnostics;
    FakeDiskService disks;
    FakeVolumeService volumes;
    NumberedPaths paths;
    Platform platform;
    bridge::Transport transport{paths, clock};
    WatchedLock portLock;
    std::string console;
    disk::DiskContext ctx{platform, transport, portLock};

    DiskRig() {
        platform.name = "fake";
        platform.clock = &clock;
        platform.diagnostics = &diagnostics;
        platform.disks = &disks;
        platform.volumes = &volumes;
        ctx.console = [this](std::string_view t) { console += t; };
        ctx.localTime = [] { return disk::LocalTime{2026, 12, 8, 14, 30, 45, 678}; };
    }

    // Adds a disk and a volume on it (the partition at `start` sectors, `sectors` long).
    FakeVolumeState& volumeOn(char letter, FakeDiskState& d, std::uint64_t start,
                              std::uint64_t sectors, PartitionStyle style = PartitionStyle::Mbr) {
        auto& v = volumes.volumes[letter];
        v.disk = &d;
        v.partition.style = style;
        v.partition.startingOffset = start * d.store.bytesPerSector;
        v.partition.length = sectors * d.store.bytesPerSector;
        v.partition.partitionNumber = 1;
        v.partition.hiddenSectors = static_cast<std::uint32_t>(start);
        return v;
    }

    bool debugged(const std::string& text) const {
        const auto lines = diagnostics.lines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
};

}  // namespace vq::test
