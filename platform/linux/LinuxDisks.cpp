#include "platform/linux/LinuxDisks.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include "base/AlignedBuffer.h"
#include "platform/Clock.h"
#include "platform/PartitionScript.h"
#include "platform/PartitionTable.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/LinuxVolumes.h"
#include "platform/linux/SgIoPassThrough.h"
#include "platform/linux/Sysfs.h"

namespace vq {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSysfsUnit = 512;

std::uint64_t ReadNumberFile(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    std::uint64_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

bool Aligned(std::uint64_t offset, const void* data, std::size_t size, std::uint32_t unit) {
    return offset % unit == 0 && size % unit == 0 &&
           reinterpret_cast<std::uintptr_t>(data) % unit == 0;
}

int SgIoIoctlCall(int fd, void* header) {
    return ::ioctl(fd, SG_IO, header);
}

bool IsExtendedType(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// The kernel's name of partition `number` of a disk ("sdb1", "loop0p1"); empty when none.
std::string PartitionName(const fs::path& sysfs, std::string_view disk, std::uint32_t number) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sysfs / "class/block" / disk, ec)) {
        if (fs::exists(e.path() / "partition", ec) &&
            ReadNumberFile(e.path() / "partition") == number)
            return e.path().filename().string();
    }
    return {};
}

class LinuxDisk final : public Disk {
  public:
    LinuxDisk(std::unique_ptr<BlockHandle> h, fs::path sysfs, std::function<void()> changed,
              std::function<bool(const std::string&)> release, Clock* clock)
        : h_(std::move(h)),
          sysfs_(std::move(sysfs)),
          changed_(std::move(changed)),
          release_(std::move(release)),
          clock_(clock) {}

    std::optional<DiskGeometry> geometry() override { return h_->geometry(); }
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return h_->read(offset, buffer);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        return h_->write(offset, buffer);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        return h_->execute(request, h_.get());
    }
    std::optional<StorageDeviceNumber> deviceNumber() override { return h_->deviceNumber(); }

    bool createDisk(PartitionStyle style, std::uint32_t mbrSignature) override {
        const auto g = geometry();
        return g && CreateEmptyTable(*this, *g, style, mbrSignature, Guid{});
    }
    std::optional<DriveLayout> layout() override {
        const auto g = geometry();
        if (!g)
            return std::nullopt;
        return ReadDriveLayout(*this, *g);
    }
    bool setLayout(const DriveLayout& layout) override {
        const auto g = geometry();
        return g && WriteDriveLayout(*this, *g, layout);
    }
    bool updateProperties() override;

  private:
    std::unique_ptr<BlockHandle> h_;
    fs::path sysfs_;
    std::function<void()> changed_;
    std::function<bool(const std::string&)> release_;
    Clock* clock_;
};

bool LinuxDisk::updateProperties() {
    if (!h_->blockDevice())
        return true;  // an image file: nothing holds its partitions
    ::fsync(h_->fd());
    // Refused while a partition is in use, and finds nothing on a kernel without table
    // parsers; the comparison below mends both.
    ::ioctl(h_->fd(), BLKRRPART);
    const auto l = layout();
    if (!l)
        return false;
    const std::string disk = fs::path(h_->node()).filename().string();
    const auto kernel = KernelPartitionsOf(sysfs_, disk);
    const PartitionUpdate plan = PlanPartitionUpdate(kernel, PartitionsOfLayout(*l));
    bool ok = true;
    const auto blkpg = [&](int op, const KernelPartition& p) {
        blkpg_partition part{};
        part.start = static_cast<long long>(p.start * kSysfsUnit);
        part.length = static_cast<long long>(p.size * kSysfsUnit);
        part.pno = static_cast<int>(p.number);
        blkpg_ioctl_arg arg{};
        arg.op = op;
        arg.datalen = sizeof part;
        arg.data = &part;
        return ::ioctl(h_->fd(), BLKPG, &arg) == 0;
    };
    for (const std::uint32_t n : plan.remove) {
        // The program's own mount of the partition goes first; a FUSE program may hold the
        // device a moment longer after its file system went.
        const auto name = PartitionName(sysfs_, disk, n);
        if (release_ && !name.empty())
            release_(name);
        bool removed = blkpg(BLKPG_DEL_PARTITION, KernelPartition{n, 0, 0});
        for (int attempt = 0; !removed && errno == EBUSY && attempt < 100; ++attempt) {
            if (clock_)
                clock_->sleepMs(20);
            else
                ::usleep(20000);
            removed = blkpg(BLKPG_DEL_PARTITION, KernelPartition{n, 0, 0});
        }
        ok = removed && ok;
    }
    for (const KernelPartition& p : plan.add)
        ok = blkpg(BLKPG_ADD_PARTITION, p) && ok;
    if (changed_)
        changed_();
    return ok;
}

}  // namespace

BlockHandle::BlockHandle(int fd, std::uint32_t bytesPerSector, std::string node, bool blockDevice)
    : fd_(fd), bytesPerSector_(bytesPerSector), node_(std::move(node)), blockDevice_(blockDevice) {}

BlockHandle::~BlockHandle() {
    ::close(fd_);
}

std::optional<std::uint64_t> BlockHandle::totalBytes() {
    if (blockDevice_) {
        std::uint64_t size = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &size) != 0)
            return std::nullopt;
        return size;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<DiskGeometry> BlockHandle::geometry() {
    const auto total = totalBytes();
    if (!total)
        return std::nullopt;
    DiskGeometry g = GeometryForSectors(*total / bytesPerSector_, bytesPerSector_);
    hd_geometry hd{};
    if (blockDevice_ && ::ioctl(fd_, HDIO_GETGEO, &hd) == 0 && hd.heads != 0 && hd.sectors != 0) {
        g.tracksPerCylinder = hd.heads;
        g.sectorsPerTrack = hd.sectors;
        // The ioctl's cylinder count is 16 bits wide: counted again from the size.
        g.cylinders = *total / (std::uint64_t{hd.heads} * hd.sectors * bytesPerSector_);
    }
    g.totalBytes = *total;
    return g;
}

IoResult BlockHandle::read(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (!Aligned(offset, buffer.data(), buffer.size(), bytesPerSector_))
        return {false, 0, syserr::kInvalidParameter};
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {false, static_cast<std::uint32_t>(done),
                    SystemErrorOfErrno(errno, syserr::kReadFault)};
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return {true, static_cast<std::uint32_t>(done), 0};
}

IoResult BlockHandle::write(std::uint64_t offset, std::span<const std::uint8_t> buffer) {
    if (!Aligned(offset, buffer.data(), buffer.size(), bytesPerSector_))
        return {false, 0, syserr::kInvalidParameter};
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pwrite(fd_, buffer.data() + done, buffer.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {false, static_cast<std::uint32_t>(done),
                    n == 0 ? syserr::kDiskFull : SystemErrorOfErrno(errno, syserr::kWriteFault)};
        done += static_cast<std::size_t>(n);
    }
    return {true, static_cast<std::uint32_t>(done), 0};
}

ScsiResult BlockHandle::execute(const ScsiRequest& request, BlockHandle* wholeDisk) {
    ScsiResult r = ExecuteSgIo(fd_, request, &SgIoIoctlCall);
    if (!r.callSucceeded && (r.lastError == ENOTTY || r.lastError == EINVAL) &&
        wholeDisk != nullptr) {
        if (auto emulated = EmulateReadWrite10(*wholeDisk, request))
            return *emulated;
    }
    return r;
}

std::optional<StorageDeviceNumber> BlockHandle::deviceNumber() {
    if (!blockDevice_)
        return std::nullopt;
    return QueryDeviceNumber(node_);
}

std::unique_ptr<BlockHandle> OpenBlockHandle(const std::string& node, bool write,
                                             std::uint32_t* error, bool exclusive) {
    const int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | (exclusive ? O_EXCL : 0);
    int fd = ::open(node.c_str(), flags | O_DIRECT);
    if (fd < 0 && errno == EINVAL)
        fd = ::open(node.c_str(), flags);  // a file system without direct I/O (an image)
    const auto fail = [&](int err) -> std::unique_ptr<BlockHandle> {
        if (error)
            *error = SystemErrorOfErrno(err, syserr::kAccessDenied);
        return nullptr;
    };
    if (fd < 0)
        return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))) {
        ::close(fd);
        return fail(ENOENT);
    }
    std::uint32_t sector = 512;
    int ss = 0;
    if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKSSZGET, &ss) == 0 && ss > 0)
        sector = static_cast<std::uint32_t>(ss);
    return std::make_unique<BlockHandle>(fd, sector, node, S_ISBLK(st.st_mode));
}

std::optional<DriveLayout> ReadLayoutOf(BlockHandle& disk) {
    struct View final : BlockDevice {
        explicit View(BlockHandle& handle) : h(handle) {}
        std::optional<DiskGeometry> geometry() override { return h.geometry(); }
        IoResult read(std::uint64_t o, std::span<std::uint8_t> b) override { return h.read(o, b); }
        IoResult write(std::uint64_t o, std::span<const std::uint8_t> b) override {
            return h.write(o, b);
        }
        ScsiResult execute(const ScsiRequest& r) override { return h.execute(r, &h); }
        std::optional<StorageDeviceNumber> deviceNumber() override { return h.deviceNumber(); }
        BlockHandle& h;
    } view(disk);
    const auto g = disk.geometry();
    return g ? ReadDriveLayout(view, *g) : std::nullopt;
}

std::optional<ScsiResult> EmulateReadWrite10(BlockHandle& disk, const ScsiRequest& request) {
    const auto& c = request.cdb;
    if (c.size() != 10 || (c[0] != 0x28 && c[0] != 0x2A))
        return std::nullopt;
    const bool reading = c[0] == 0x28;
    const std::uint64_t lba = (std::uint32_t{c[2]} << 24) | (std::uint32_t{c[3]} << 16) |
                              (std::uint32_t{c[4]} << 8) | c[5];
    const std::uint32_t count = (std::uint32_t{c[7]} << 8) | c[8];
    const std::uint32_t b = disk.bytesPerSector();
    const std::size_t bytes = std::size_t{count} * b;
    ScsiResult r;
    r.callSucceeded = true;
    if (request.data.size() < bytes ||
        request.direction != (reading ? DataDirection::In : DataDirection::Out)) {
        r.callSucceeded = false;
        r.lastError = EINVAL;
        return r;
    }
    AlignedBuffer bounce(std::max<std::size_t>(bytes, b), b);
    IoResult io;
    if (reading) {
        io = disk.read(lba * b, bounce.span().first(bytes));
        if (io.ok)
            std::copy_n(bounce.data(), io.bytes, request.data.begin());
    } else {
        std::copy_n(request.data.begin(), bytes, bounce.data());
        io = disk.write(lba * b, bounce.span().first(bytes));
    }
    if (!io.ok || io.bytes != bytes) {
        // CHECK CONDITION with fixed-format sense: MEDIUM ERROR.
        r.scsiStatus = 0x02;
        r.senseLength = 18;
        r.sense[0] = 0x70;
        r.sense[2] = 0x03;
        r.sense[7] = 10;
    }
    r.bytesTransferred = io.bytes;
    return r;
}

std::vector<KernelPartition> KernelPartitionsOf(const fs::path& sysfsRoot,
                                                std::string_view diskName) {
    std::vector<KernelPartition> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sysfsRoot / "class/block" / diskName, ec)) {
        if (!fs::exists(e.path() / "partition", ec))
            continue;
        out.push_back({static_cast<std::uint32_t>(ReadNumberFile(e.path() / "partition")),
                       ReadNumberFile(e.path() / "start"), ReadNumberFile(e.path() / "size")});
    }
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.number < b.number; });
    return out;
}

std::vector<KernelPartition> PartitionsOfLayout(const DriveLayout& layout) {
    std::vector<KernelPartition> out;
    for (std::size_t i = 0; i < layout.partitions.size(); ++i) {
        const PartitionInfo& p = layout.partitions[i];
        if (p.length == 0)
            continue;
        std::uint32_t number = p.partitionNumber;
        if (layout.style == PartitionStyle::Mbr) {
            if (p.mbrType == 0 || IsExtendedType(p.mbrType))
                continue;
            number = static_cast<std::uint32_t>(i + 1);
        }
        out.push_back({number, p.startingOffset / kSysfsUnit, p.length / kSysfsUnit});
    }
    return out;
}

PartitionUpdate PlanPartitionUpdate(const std::vector<KernelPartition>& kernel,
                                    const std::vector<KernelPartition>& table) {
    PartitionUpdate u;
    for (const KernelPartition& k : kernel) {
        if (std::find(table.begin(), table.end(), k) == table.end())
            u.remove.push_back(k.number);
    }
    for (const KernelPartition& t : table) {
        if (std::find(kernel.begin(), kernel.end(), t) == kernel.end())
            u.add.push_back(t);
    }
    return u;
}

std::string BlockNodeOf(std::string_view path, const fs::path& sysfsRoot, const fs::path& devRoot) {
    const std::string node(InterfaceNode(path));
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0)
        return {};
    if (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))
        return node;
    if (!S_ISCHR(st.st_mode))
        return {};
    const std::string id =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sysfsRoot / "dev/char" / id / "device/block", ec))
        return (devRoot / e.path().filename()).string();
    return {};
}

LinuxDisks::LinuxDisks(fs::path sysfsRoot, fs::path devRoot,
                       std::function<void()> partitionsChanged,
                       std::function<bool(const std::string&)> releasePartition, Clock* clock,
                       LinuxVolumes* volumes)
    : sysfs_(std::move(sysfsRoot)),
      dev_(std::move(devRoot)),
      partitionsChanged_(std::move(partitionsChanged)),
      releasePartition_(std::move(releasePartition)),
      clock_(clock),
      volumes_(volumes) {}

std::unique_ptr<Disk> LinuxDisks::openDisk(std::string_view path, std::uint32_t* error) {
    const std::string node = BlockNodeOf(path, sysfs_, dev_);
    if (node.empty()) {
        if (error)
            *error = syserr::kFileNotFound;
        return nullptr;
    }
    auto h = OpenBlockHandle(node, true, error);
    if (!h)
        return nullptr;
    return std::make_unique<LinuxDisk>(std::move(h), sysfs_, partitionsChanged_, releasePartition_,
                                       clock_);
}

std::unique_ptr<Disk> LinuxDisks::openImage(std::string_view path, std::uint32_t bytesPerSector,
                                            std::uint32_t* error) {
    if (bytesPerSector != 512 && bytesPerSector != 4096) {
        if (error)
            *error = syserr::kInvalidParameter;
        return nullptr;
    }
    auto h = OpenBlockHandle(std::string(path), true, error);
    if (!h)
        return nullptr;
    if (!h->blockDevice()) {
        // An image file's sectors are what the caller says they are.
        const int fd = ::dup(h->fd());
        h = std::make_unique<BlockHandle>(fd, bytesPerSector, std::string(path), false);
    }
    return std::make_unique<LinuxDisk>(std::move(h), sysfs_, nullptr, nullptr, nullptr);
}

int LinuxDisks::runPartitionTool(const std::vector<std::string>& script, std::uint32_t* error) {
    if (error)
        *error = volumes_ ? 0 : syserr::kFileNotFound;
    if (!volumes_)
        return -1;
    PartitionToolMachine machine;
    machine.openDisk = [this](std::uint32_t number) -> std::unique_ptr<Disk> {
        const std::string id =
            std::to_string(number >> 20) + ":" + std::to_string(number & 0xFFFFF);
        std::error_code ec;
        const fs::path dir = fs::canonical(sysfs_ / "dev/block" / id, ec);
        if (ec || fs::exists(dir / "partition", ec))
            return nullptr;  // not a whole disk of this machine
        return openDisk((dev_ / dir.filename()).string());
    };
    machine.rescan = [this] { volumes_->rescan(); };
    // Every partition that holds a volume has a letter while it is present.
    machine.assign = [this](std::uint32_t number, std::uint64_t start) {
        return volumes_->letterOf(number, start) != 0;
    };
    machine.format = [this](std::uint32_t number, std::uint64_t start, const ToolFormat& f) {
        const char letter = volumes_->letterOf(number, start);
        return letter ? volumes_->systemFormat(letter, f.fileSystem, f.label, f.unit, f.quick) : -1;
    };
    return RunPartitionScript(script, machine);
}

}  // namespace vq
