#include "platform/linux/LinuxVolumes.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

#include "base/AlignedBuffer.h"
#include "platform/Clock.h"
#include "platform/PartitionTable.h"
#include "platform/linux/LinuxDisks.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/LinuxProgram.h"

namespace vq {

namespace fs = std::filesystem;

namespace {

constexpr char kFirstLetter = 'D';  // A and B are never given; C is the system drive
constexpr const char* kPlaceholderSource = "vq-unmounted";

// GPT type of Linux file system data, in on-disk byte order.
constexpr Guid kGptLinuxDataType = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                    0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};

std::string ReadLine(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

std::uint64_t ReadNumber(const fs::path& p) {
    const std::string s = ReadLine(p);
    std::uint64_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return Upper(a) == Upper(b);
}

// "\040" in mountinfo stands for a space (and likewise tab, newline, backslash).
std::string Unescape(std::string_view s) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && s.size() - i >= 4 && octal(s[i + 1]) && octal(s[i + 2]) &&
            octal(s[i + 3])) {
            out.push_back(
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string ToolPath(const std::string& name) {
    if (ProgramOnPath(name))
        return name;
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
        if (::access((dir + name).c_str(), X_OK) == 0)
            return dir + name;
    }
    return name;
}

struct Probe {
    std::string type, version, label, uuid;
};

// What libblkid finds on the device; nullopt when it knows no file system there.
std::optional<Probe> ProbeFileSystem(const std::string& node) {
    // Sectors written without the cache may have left stale pages behind.
    if (const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        ::ioctl(fd, BLKFLSBUF, 0);
        ::close(fd);
    }
    blkid_probe pr = blkid_new_probe_from_filename(node.c_str());
    if (pr == nullptr)
        return std::nullopt;
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(
        pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(pr, 0);
    std::optional<Probe> out;
    if (blkid_do_safeprobe(pr) == 0) {
        Probe p;
        const auto value = [&](const char* name, std::string& into) {
            const char* v = nullptr;
            if (blkid_probe_lookup_value(pr, name, &v, nullptr) == 0 && v != nullptr)
                into = v;
        };
        value("TYPE", p.type);
        value("VERSION", p.version);
        value("LABEL", p.label);
        value("UUID", p.uuid);
        if (!p.type.empty())
            out = p;
    }
    blkid_free_probe(pr);
    return out;
}

bool IsVolumeEntry(const PartitionInfo& p, PartitionStyle style) {
    if (style == PartitionStyle::Gpt)
        return p.gptType == kGptBasicDataType || p.gptType == kGptLinuxDataType;
    return IsRecognizedMbrType(p.mbrType) || p.mbrType == 0x83;
}

}  // namespace

// ---- text ---------------------------------------------------------------------------------

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
    std::vector<MountEntry> out;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream words(line);
        for (std::string w; words >> w;)
            f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 3)
            continue;
        out.push_back({f[2], Unescape(f[4]), Unescape(*(dash + 1)), Unescape(*(dash + 2))});
    }
    return out;
}

std::string FileSystemNameOf(std::string_view blkidType, std::string_view version) {
    if (blkidType == "vfat")
        return version == "FAT32" ? "FAT32" : "FAT";
    if (blkidType == "ntfs")
        return "NTFS";
    if (blkidType == "exfat")
        return "exFAT";
    return std::string(blkidType);
}

std::uint32_t SerialOfUuid(std::string_view uuid) {
    std::string hex;
    for (const char c : uuid) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex.push_back(c);
    }
    if (hex.size() > 8)
        hex = hex.substr(hex.size() - 8);
    std::uint32_t v = 0;
    std::from_chars(hex.data(), hex.data() + hex.size(), v, 16);
    return v;
}

std::uint32_t CheckLabel(std::string_view fileSystem, std::string_view label, std::string* stored) {
    std::string keep(label);
    if (EqualsNoCase(fileSystem, "FAT32") || EqualsNoCase(fileSystem, "FAT")) {
        for (const char c : label) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || std::string_view("*?.,;:/\\|+=<>[]\"").find(c) != std::string::npos)
                return syserr::kInvalidName;
        }
        if (label.size() > 11)
            return syserr::kLabelTooLong;
        keep = Upper(label);
    } else {
        // Characters of a UTF-8 label, as the file system counts them (UTF-16 units; the
        // labels the station writes are ASCII).
        const auto units = static_cast<std::size_t>(
            std::count_if(label.begin(), label.end(), [](char c) { return (c & 0xC0) != 0x80; }));
        for (const char c : label) {
            if (static_cast<unsigned char>(c) < 0x20)
                return syserr::kInvalidName;
        }
        // exFAT keeps eleven characters in its label entry, NTFS thirty-two.
        const std::size_t limit = EqualsNoCase(fileSystem, "exFAT") ? 11 : 32;
        if (units > limit)
            return syserr::kLabelTooLong;
    }
    if (stored)
        *stored = keep;
    return 0;
}

std::optional<std::vector<std::string>> FormatCommand(std::string_view fileSystem,
                                                      const std::string& device,
                                                      std::string_view label,
                                                      std::uint32_t clusterBytes, bool quick,
                                                      std::uint64_t hiddenSectors) {
    const bool power =
        clusterBytes == 0 || (clusterBytes >= 512 && (clusterBytes & (clusterBytes - 1)) == 0);
    if (!power)
        return std::nullopt;
    std::string stored;
    if (CheckLabel(fileSystem, label, &stored) != 0)
        return std::nullopt;
    std::vector<std::string> a;
    if (EqualsNoCase(fileSystem, "NTFS")) {
        if (clusterBytes > 65536)
            return std::nullopt;
        a = {"mkfs.ntfs", "-F"};
        if (quick)
            a.push_back("-Q");
        if (!stored.empty())
            a.insert(a.end(), {"-L", stored});
        if (clusterBytes != 0)
            a.insert(a.end(), {"-c", std::to_string(clusterBytes)});
        a.insert(a.end(), {"-p", std::to_string(hiddenSectors), "-H", "255", "-S", "63"});
    } else if (EqualsNoCase(fileSystem, "exFAT")) {
        a = {"mkfs.exfat"};
        if (!quick)
            a.push_back("-f");
        if (!stored.empty())
            a.insert(a.end(), {"-L", stored});
        if (clusterBytes != 0)
            a.insert(a.end(), {"-c", std::to_string(clusterBytes)});
    } else if (EqualsNoCase(fileSystem, "FAT32")) {
        if (clusterBytes > 65536)
            return std::nullopt;
        a = {"mkfs.fat", "-F", "32"};
        if (!stored.empty())
            a.insert(a.end(), {"-n", stored});
        if (clusterBytes != 0)
            a.insert(a.end(), {"-S", "512", "-s", std::to_string(clusterBytes / 512)});
        a.insert(a.end(), {"-h", std::to_string(hiddenSectors)});
    } else {
        return std::nullopt;
    }
    a.push_back(device);
    return a;
}

std::optional<std::vector<std::string>> LabelCommand(std::string_view fileSystem,
                                                     const std::string& device,
                                                     std::string_view label) {
    std::string stored;
    if (CheckLabel(fileSystem, label, &stored) != 0)
        return std::nullopt;
    if (EqualsNoCase(fileSystem, "NTFS"))
        return std::vector<std::string>{"ntfslabel", device, stored};
    if (EqualsNoCase(fileSystem, "exFAT"))
        return std::vector<std::string>{"exfatlabel", device, stored};
    if (EqualsNoCase(fileSystem, "FAT32") || EqualsNoCase(fileSystem, "FAT")) {
        if (stored.empty())
            return std::vector<std::string>{"fatlabel", "-r", device};
        return std::vector<std::string>{"fatlabel", device, stored};
    }
    return std::nullopt;
}

// ---- a volume handle ----------------------------------------------------------------------

class LinuxVolume final : public Volume {
  public:
    LinuxVolume(LinuxVolumes& service, char letter, LinuxVolumes::Entry identity,
                std::unique_ptr<BlockHandle> h)
        : s_(service), letter_(letter), id_(std::move(identity)), h_(std::move(h)) {}
    ~LinuxVolume() override { unlock(); }

    std::optional<DiskGeometry> geometry() override { return h_->geometry(); }
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return h_->read(offset, buffer);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        if (lockFd_ < 0) {
            const LinuxVolumes::Flush flush{s_};
            std::lock_guard lock(s_.m_);
            // The sectors of a mounted file system are written only under the lock.
            if (s_.mountOf(id_))
                return {false, 0, syserr::kAccessDenied};
        }
        return h_->write(offset, buffer);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        if (!disk_)
            disk_ = OpenBlockHandle(s_.o_.devRoot / id_.disk, true, nullptr);
        return h_->execute(request, disk_.get());
    }
    std::optional<StorageDeviceNumber> deviceNumber() override { return h_->deviceNumber(); }

    bool lock() override;
    bool unlock() override;
    bool dismount() override;
    std::optional<PartitionInfo> partitionInfo() override;
    bool setMbrType(std::uint8_t type) override;

  private:
    std::optional<DriveLayout> diskLayout(std::unique_ptr<BlockHandle>& disk, bool write);

    LinuxVolumes& s_;
    char letter_;
    LinuxVolumes::Entry id_;
    std::unique_ptr<BlockHandle> h_;
    std::unique_ptr<BlockHandle> disk_;
    int lockFd_ = -1;
};

bool LinuxVolume::lock() {
    const LinuxVolumes::Flush flush{s_};
    std::lock_guard lock(s_.m_);
    LinuxVolumes::Entry* e = s_.entryOf(this, letter_, id_);
    if (e == nullptr || e->lockedBy != nullptr || !s_.unmountOurs(letter_, *e))
        return false;
    // A FUSE program may hold the device for a moment after its file system went.
    const std::string node = s_.node(*e);
    for (int attempt = 0; attempt < 100; ++attempt) {
        lockFd_ = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (lockFd_ >= 0 || errno != EBUSY)
            break;
        s_.wait(20);
    }
    if (lockFd_ < 0)
        return false;
    e->lockedBy = this;
    return true;
}

bool LinuxVolume::unlock() {
    if (lockFd_ < 0)
        return false;
    const LinuxVolumes::Flush flush{s_};
    std::lock_guard lock(s_.m_);
    ::close(lockFd_);
    lockFd_ = -1;
    if (LinuxVolumes::Entry* e = s_.entryOf(this, letter_, id_); e != nullptr) {
        e->lockedBy = nullptr;
        s_.ensureMounted(letter_, *e);
    }
    return true;
}

bool LinuxVolume::dismount() {
    const LinuxVolumes::Flush flush{s_};
    std::lock_guard lock(s_.m_);
    LinuxVolumes::Entry* e = s_.entryOf(this, letter_, id_);
    return e != nullptr && s_.unmountOurs(letter_, *e, lockFd_ >= 0);
}

std::optional<DriveLayout> LinuxVolume::diskLayout(std::unique_ptr<BlockHandle>& disk, bool write) {
    disk = OpenBlockHandle(s_.o_.devRoot / id_.disk, write, nullptr);
    return disk ? ReadLayoutOf(*disk) : std::nullopt;
}

std::optional<PartitionInfo> LinuxVolume::partitionInfo() {
    std::unique_ptr<BlockHandle> disk;
    const auto l = diskLayout(disk, false);
    const std::uint64_t start = id_.start * 512;
    if (l) {
        for (const PartitionInfo& p : l->partitions) {
            if (p.length != 0 && p.startingOffset == start)
                return p;
        }
    }
    // Not in the table (any more): what the kernel holds.
    PartitionInfo p;
    p.startingOffset = start;
    p.length = id_.size * 512;
    p.partitionNumber = id_.number;
    p.hiddenSectors = static_cast<std::uint32_t>(id_.start);
    return p;
}

bool LinuxVolume::setMbrType(std::uint8_t type) {
    std::unique_ptr<BlockHandle> disk;
    const auto l = diskLayout(disk, true);
    if (!l || l->style != PartitionStyle::Mbr)
        return false;
    const std::uint64_t start = id_.start * 512;
    for (std::size_t i = 0; i < l->partitions.size() && i < 4; ++i) {
        if (l->partitions[i].mbrType == 0 || l->partitions[i].startingOffset != start)
            continue;
        AlignedBuffer sector(disk->bytesPerSector(), disk->bytesPerSector());
        if (!disk->read(0, sector.span()).ok)
            return false;
        sector.data()[446 + 16 * i + 4] = type;
        return disk->write(0, sector.span()).ok;
    }
    return false;
}

// ---- the service --------------------------------------------------------------------------

LinuxVolumes::LinuxVolumes(LinuxVolumesOptions options) : o_(std::move(options)) {
    struct stat st {};
    if (::stat("/", &st) == 0) {
        const std::string id =
            std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
        std::error_code ec;
        const fs::path dir = fs::canonical(o_.sysfsRoot / "dev/block" / id, ec);
        if (!ec)
            systemName_ = dir.filename().string();
    }
}

LinuxVolumes::~LinuxVolumes() {
    o_.events = nullptr;  // the listener's owner may be gone already
    releaseAll();
}

std::string LinuxVolumes::node(const Entry& e) const {
    return (o_.devRoot / e.name).string();
}

fs::path LinuxVolumes::folder(char letter) const {
    return o_.mountRoot / std::string(1, letter);
}

void LinuxVolumes::wait(std::uint32_t ms) {
    if (o_.clock)
        o_.clock->sleepMs(ms);
    else
        ::usleep(ms * 1000);
}

std::vector<LinuxVolumes::Entry> LinuxVolumes::presentPartitions() {
    std::vector<Entry> out;
    std::map<std::string, std::optional<DriveLayout>> layouts;
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(o_.sysfsRoot / "class/block", ec)) {
        const fs::path dir = fs::canonical(d.path(), ec);
        if (ec || !fs::exists(dir / "partition", ec))
            continue;
        Entry e;
        e.name = dir.filename().string();
        e.disk = dir.parent_path().filename().string();
        e.start = ReadNumber(dir / "start");
        e.size = ReadNumber(dir / "size");
        e.number = static_cast<std::uint32_t>(ReadNumber(dir / "partition"));
        if (e.name == systemName_ || e.size <= 2)
            continue;  // the system drive; the link of an extended partition
        const auto [it, fresh] = layouts.try_emplace(e.disk);
        if (fresh) {
            const auto h = OpenBlockHandle((o_.devRoot / e.disk).string(), false, nullptr);
            if (h)
                it->second = ReadLayoutOf(*h);
        }
        const std::optional<DriveLayout>& layout = it->second;
        bool volume = true;  // a table that cannot be read does not hide the partition
        if (layout) {
            const auto p = std::find_if(
                layout->partitions.begin(), layout->partitions.end(), [&](const PartitionInfo& x) {
                    return x.length != 0 && x.startingOffset == e.start * 512;
                });
            volume = p != layout->partitions.end() && IsVolumeEntry(*p, layout->style);
        }
        if (volume)
            out.push_back(e);
    }
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
        return a.disk != b.disk ? a.disk < b.disk : a.number < b.number;
    });
    return out;
}

void LinuxVolumes::rescanLocked(std::vector<DeviceEvent>& events) {
    std::vector<Entry> present = presentPartitions();
    for (auto it = letters_.begin(); it != letters_.end();) {
        const auto p = std::find_if(present.begin(), present.end(),
                                    [&](const Entry& e) { return e.same(it->second); });
        if (p != present.end()) {
            present.erase(p);
            ++it;
            continue;
        }
        releaseFolder(it->first, it->second);
        events.push_back({DeviceEvent::Kind::RemoveComplete, DeviceEvent::Type::Volume,
                          std::string(1, it->first)});
        it = letters_.erase(it);
    }
    for (Entry& e : present) {
        char letter = kFirstLetter;
        while (letter <= 'Z' && letters_.contains(letter))
            ++letter;
        if (letter > 'Z')
            break;
        letters_[letter] = e;
        events.push_back(
            {DeviceEvent::Kind::Arrival, DeviceEvent::Type::Volume, std::string(1, letter)});
    }
}

void LinuxVolumes::deliver(const std::vector<DeviceEvent>& events) {
    if (!o_.events)
        return;
    for (const DeviceEvent& e : events)
        o_.events(e);
}

LinuxVolumes::Flush::~Flush() {
    std::vector<DeviceEvent> events;
    {
        std::lock_guard lock(v.m_);
        events.swap(v.pending_);
    }
    v.deliver(events);
}

void LinuxVolumes::rescan() {
    std::vector<DeviceEvent> events;
    {
        const Flush flush{*this};
        std::lock_guard lock(m_);
        rescanLocked(events);
    }
    deliver(events);
}

void LinuxVolumes::releaseAll() {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    for (auto& [letter, e] : letters_)
        releaseFolder(letter, e);
    letters_.clear();
}

bool LinuxVolumes::releaseMountsOf(const std::string& name) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    bool ok = true;
    for (auto& [letter, e] : letters_) {
        if (e.name == name || e.disk == name)
            ok = e.lockedBy == nullptr && unmountOurs(letter, e) && ok;
    }
    return ok;
}

char LinuxVolumes::letterOf(std::uint32_t diskNumber, std::uint64_t start) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    entry('C');  // looks again
    const std::string id =
        std::to_string(diskNumber >> 20) + ":" + std::to_string(diskNumber & 0xFFFFF);
    for (const auto& [letter, e] : letters_) {
        if (e.start * 512 == start && ReadLine(o_.sysfsRoot / "class/block" / e.disk / "dev") == id)
            return letter;
    }
    return 0;
}

LinuxVolumes::Entry* LinuxVolumes::entry(char letter) {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    rescanLocked(pending_);
    const auto it = letters_.find(letter);
    return it == letters_.end() ? nullptr : &it->second;
}

LinuxVolumes::Entry* LinuxVolumes::entryOf(const void*, char letter, const Entry& identity) {
    Entry* e = entry(letter);
    return e != nullptr && e->same(identity) ? e : nullptr;
}

void LinuxVolumes::prepareFolder(char letter, Entry& e) {
    if (e.folderReady)
        return;
    const fs::path dir = folder(letter);
    std::error_code ec;
    fs::create_directories(dir, ec);
    // Whatever an earlier run left mounted there goes first.
    for (int i = 0; i < 8 && ::umount2(dir.c_str(), MNT_DETACH) == 0; ++i) {
    }
    fs::permissions(dir,
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                        fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec,
                    ec);
    ::mount(kPlaceholderSource, dir.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
            "size=4k,mode=0555");
    e.folderReady = true;
}

void LinuxVolumes::releaseFolder(char letter, Entry& e) {
    if (!e.folderReady)
        return;
    const fs::path dir = folder(letter);
    for (int i = 0; i < 8 && ::umount2(dir.c_str(), MNT_DETACH) == 0; ++i) {
    }
    std::error_code ec;
    fs::remove(dir, ec);
    e.folderReady = false;
}

std::optional<MountEntry> LinuxVolumes::mountOf(const Entry& e) {
    struct stat st {};
    const std::string n = node(e);
    if (::stat(n.c_str(), &st) != 0)
        return std::nullopt;
    const std::string id =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::ifstream in("/proc/self/mountinfo");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::optional<MountEntry> found;
    for (const MountEntry& m : ParseMountInfo(text)) {
        if (m.majorMinor != id && m.source != n)
            continue;
        // Our own folder wins over any other place the volume is also mounted.
        if (!found || m.mountPoint.parent_path() == o_.mountRoot)
            found = m;
    }
    return found;
}

std::optional<fs::path> LinuxVolumes::ensureMounted(char letter, Entry& e) {
    prepareFolder(letter, e);
    if (const auto m = mountOf(e))
        return m->mountPoint;
    if (e.lockedBy != nullptr)
        return std::nullopt;
    const std::string n = node(e);
    const auto probe = ProbeFileSystem(n);
    if (!probe)
        return std::nullopt;
    const fs::path dir = folder(letter);
    std::string type = probe->type;
    const unsigned long flags = MS_NOSUID | MS_NODEV;
    std::string data;
    if (type == "vfat")
        data = "shortname=mixed,utf8";
    if (type == "ntfs")
        type = "ntfs3";
    if (::mount(n.c_str(), dir.c_str(), type.c_str(), flags,
                data.empty() ? nullptr : data.c_str()) == 0)
        return dir;
    // No driver in the kernel: the FUSE program of the file system.
    std::vector<std::string> argv;
    if (probe->type == "ntfs")
        argv = {ToolPath("ntfs-3g"), n, dir.string()};
    else if (probe->type == "exfat" && ProgramOnPath("mount.exfat-fuse"))
        argv = {"mount.exfat-fuse", n, dir.string()};
    if (argv.empty() || RunProgram(argv) != 0)
        return std::nullopt;
    if (mountOf(e))
        return dir;
    return std::nullopt;
}

bool LinuxVolumes::unmountOurs(char letter, Entry& e, bool detach) {
    const auto m = mountOf(e);
    if (!m)
        return true;
    if (m->mountPoint != folder(letter))
        return false;  // someone else's mount: not ours to take away
    ::sync();
    return ::umount2(m->mountPoint.c_str(), detach ? MNT_DETACH : 0) == 0;
}

std::uint32_t LinuxVolumes::logicalDriveMask() {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    entry('C');
    std::uint32_t mask = 1u << ('C' - 'A');
    for (const auto& [letter, e] : letters_)
        mask |= 1u << (letter - 'A');
    return mask;
}

DriveType LinuxVolumes::driveType(char letter) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    if (std::toupper(static_cast<unsigned char>(letter)) == 'C')
        return DriveType::Fixed;
    const Entry* e = entry(letter);
    if (e == nullptr)
        return DriveType::NoRootDir;
    return ReadNumber(o_.sysfsRoot / "class/block" / e->disk / "removable") == 1
               ? DriveType::Removable
               : DriveType::Fixed;
}

std::string LinuxVolumes::volumeDevicePath(char letter) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    if (std::toupper(static_cast<unsigned char>(letter)) == 'C')
        return systemName_.empty() ? std::string() : (o_.devRoot / systemName_).string();
    const Entry* e = entry(letter);
    return e ? node(*e) : std::string();
}

fs::path LinuxVolumes::rootPath(char letter) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    if (std::toupper(static_cast<unsigned char>(letter)) == 'C')
        return "/";
    Entry* e = entry(letter);
    if (e == nullptr)
        return folder(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    if (const auto root = ensureMounted(letter, *e))
        return *root;
    return folder(letter);
}

std::optional<struct statvfs> LinuxVolumes::fileSystemOf(char letter) {
    fs::path root = "/";
    if (std::toupper(static_cast<unsigned char>(letter)) != 'C') {
        Entry* e = entry(letter);
        const auto r = e ? ensureMounted(letter, *e) : std::nullopt;
        if (!r)
            return std::nullopt;
        root = *r;
    }
    struct statvfs v {};
    if (::statvfs(root.c_str(), &v) != 0)
        return std::nullopt;
    return v;
}

std::optional<std::uint64_t> LinuxVolumes::freeBytes(char letter) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    const auto v = fileSystemOf(letter);
    if (!v)
        return std::nullopt;
    return std::uint64_t{v->f_bavail} * v->f_frsize;
}

std::optional<std::uint64_t> LinuxVolumes::totalBytes(char letter) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    const auto v = fileSystemOf(letter);
    if (!v)
        return std::nullopt;
    return std::uint64_t{v->f_blocks} * v->f_frsize;
}

std::unique_ptr<Volume> LinuxVolumes::openVolume(char letter, std::uint32_t* error) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    const Entry* e = letter == 'C' ? nullptr : entry(letter);
    if (e == nullptr) {
        if (error)
            *error = letter == 'C' ? syserr::kAccessDenied : syserr::kFileNotFound;
        return nullptr;
    }
    auto h = OpenBlockHandle(node(*e), true, error);
    if (!h)
        return nullptr;
    return std::make_unique<LinuxVolume>(*this, letter, *e, std::move(h));
}

std::optional<VolumeInformation> LinuxVolumes::volumeInformation(char letter) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    std::string n;
    if (std::toupper(static_cast<unsigned char>(letter)) == 'C') {
        n = volumeDevicePath('C');
    } else if (const Entry* e = entry(letter)) {
        n = node(*e);
    }
    if (n.empty())
        return std::nullopt;
    const auto probe = ProbeFileSystem(n);
    if (!probe)
        return std::nullopt;
    VolumeInformation v;
    v.label = probe->label;
    v.serialNumber = SerialOfUuid(probe->uuid);
    v.maxComponentLength = 255;
    v.fileSystem = FileSystemNameOf(probe->type, probe->version);
    return v;
}

std::uint32_t LinuxVolumes::setLabel(char letter, std::string_view label) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    Entry* e = entry(letter);
    if (e == nullptr)
        return syserr::kFileNotFound;
    const auto probe = ProbeFileSystem(node(*e));
    if (!probe)
        return syserr::kUnrecognizedVolume;
    const std::string fsName = FileSystemNameOf(probe->type, probe->version);
    if (const std::uint32_t err = CheckLabel(fsName, label); err != 0)
        return err;
    auto argv = LabelCommand(fsName, node(*e), label);
    if (!argv)
        return syserr::kNotSupported;
    if (e->lockedBy != nullptr)
        return syserr::kAccessDenied;
    if (!unmountOurs(letter, *e))
        return syserr::kSharingViolation;
    (*argv)[0] = ToolPath((*argv)[0]);
    const int rc = RunProgram(*argv);
    ensureMounted(letter, *e);
    return rc == 0 ? 0 : syserr::kWriteFault;
}

int LinuxVolumes::systemFormat(char letter, std::string_view fileSystem, std::string_view label,
                               std::uint32_t clusterBytes, bool quick) {
    const Flush flush{*this};
    std::lock_guard lock(m_);
    Entry* e = entry(letter);
    if (e == nullptr)
        return 1;
    auto argv = FormatCommand(fileSystem, node(*e), label, clusterBytes, quick, e->start);
    if (!argv || e->lockedBy != nullptr || !unmountOurs(letter, *e))
        return 1;
    (*argv)[0] = ToolPath((*argv)[0]);
    const int rc = RunProgram(*argv);
    ensureMounted(letter, *e);
    return rc;
}

bool LinuxVolumes::systemFormatAvailable() {
    return ProgramOnPath("mkfs.ntfs") || ProgramOnPath("mkfs.exfat") ||
           ::access("/usr/sbin/mkfs.ntfs", X_OK) == 0 ||
           ::access("/usr/sbin/mkfs.exfat", X_OK) == 0;
}

}  // namespace vq
