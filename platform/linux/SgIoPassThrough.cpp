#include "platform/linux/SgIoPassThrough.h"

#include "platform/linux/Sysfs.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>

namespace vq {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kFileDeviceCdRom = 2;  // FILE_DEVICE_CD_ROM
constexpr std::uint32_t kFileDeviceDisk = 7;   // FILE_DEVICE_DISK
constexpr std::uint32_t kScsiTypeCdRom = 5;

std::string ReadFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

std::uint32_t ParseUInt(std::string_view text) {
    std::uint32_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

// "8:16" as written in sysfs "dev" files, packed as major << 20 | minor.
std::uint32_t PackDev(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return 0;
    const std::string_view t(text);
    return (ParseUInt(t.substr(0, colon)) << 20) | (ParseUInt(t.substr(colon + 1)) & 0xFFFFF);
}

std::uint32_t DeviceTypeOf(const fs::path& scsiDevice) {
    const std::string type = ReadFirstLine(scsiDevice / "type");
    return !type.empty() && ParseUInt(type) == kScsiTypeCdRom ? kFileDeviceCdRom : kFileDeviceDisk;
}

// The whole disk behind a node (packed major:minor of its block device), the partition
// number of a partition node, and whether it is an optical drive.
std::optional<StorageDeviceNumber> DeviceNumberOfFd(int fd, const fs::path& sysfs) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    const std::string id =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::error_code ec;
    StorageDeviceNumber n;
    if (S_ISBLK(st.st_mode)) {
        fs::path dir = fs::canonical(sysfs / "dev/block" / id, ec);
        if (ec)
            return std::nullopt;
        if (fs::exists(dir / "partition", ec)) {
            n.partitionNumber = ParseUInt(ReadFirstLine(dir / "partition"));
            dir = dir.parent_path();
        }
        n.deviceNumber = PackDev(ReadFirstLine(dir / "dev"));
        n.deviceType = DeviceTypeOf(dir / "device");
        return n;
    }
    if (S_ISCHR(st.st_mode)) {
        const fs::path device = fs::canonical(sysfs / "dev/char" / id / "device", ec);
        if (ec)
            return std::nullopt;
        n.deviceType = DeviceTypeOf(device);
        n.deviceNumber = PackDev(id);
        for (const auto& disk : fs::directory_iterator(device / "block", ec)) {
            n.deviceNumber = PackDev(ReadFirstLine(disk.path() / "dev"));
            break;
        }
        return n;
    }
    return std::nullopt;
}

int SgIoIoctl(int fd, void* header) {
    return ::ioctl(fd, SG_IO, header);
}

class SgDevice final : public ScsiDevice {
  public:
    explicit SgDevice(int fd) : fd_(fd) {}
    ~SgDevice() override { ::close(fd_); }
    SgDevice(const SgDevice&) = delete;
    SgDevice& operator=(const SgDevice&) = delete;

    ScsiResult execute(const ScsiRequest& request) override {
        return ExecuteSgIo(fd_, request, &SgIoIoctl);
    }

    std::optional<StorageDeviceNumber> deviceNumber() override {
        return DeviceNumberOfFd(fd_, "/sys");
    }

  private:
    int fd_;
};

}  // namespace

SgIoPlan PlanSgIo(const ScsiRequest& request) {
    SgIoPlan plan;
    if (request.cdb.size() < 6 || request.cdb.size() > 16 ||
        request.data.size() > std::numeric_limits<unsigned int>::max() ||
        (request.direction == DataDirection::None && !request.data.empty())) {
        plan.error = EINVAL;
        return plan;
    }
    if (request.data.empty())
        plan.dxferDirection = SG_DXFER_NONE;
    else
        plan.dxferDirection =
            request.direction == DataDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    const std::uint64_t ms = std::uint64_t{request.timeoutSeconds} * 1000;
    plan.timeoutMs = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(ms, std::numeric_limits<std::uint32_t>::max()));
    return plan;
}

ScsiResult FoldSgIoResult(std::uint8_t status, std::uint16_t hostStatus, std::uint16_t driverStatus,
                          std::int32_t resid, std::uint32_t transferLength,
                          std::span<const std::uint8_t> sense) {
    ScsiResult r;
    r.senseLength = static_cast<std::uint8_t>(std::min(sense.size(), r.sense.size()));
    std::copy_n(sense.begin(), r.senseLength, r.sense.begin());
    r.callSucceeded = true;
    r.scsiStatus = status;
    r.lastError = (std::uint32_t{hostStatus} << 16) | driverStatus;
    const std::int64_t moved = std::int64_t{transferLength} - resid;
    r.bytesTransferred =
        static_cast<std::uint32_t>(std::clamp<std::int64_t>(moved, 0, transferLength));
    return r;
}

ScsiResult ExecuteSgIo(int fd, const ScsiRequest& request, SgIoctl ioctlFn) {
    const SgIoPlan plan = PlanSgIo(request);
    if (plan.error != 0)
        return {false, plan.error, 0, 0};
    std::array<unsigned char, 32> sense{};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.dxfer_direction = plan.dxferDirection;
    h.cmd_len = static_cast<unsigned char>(request.cdb.size());
    h.cmdp = const_cast<unsigned char*>(request.cdb.data());
    h.dxfer_len = static_cast<unsigned int>(request.data.size());
    h.dxferp = request.data.empty() ? nullptr : request.data.data();
    h.sbp = sense.data();
    h.mx_sb_len = static_cast<unsigned char>(sense.size());
    h.timeout = plan.timeoutMs;
    if (ioctlFn(fd, &h) < 0)
        return {false, static_cast<std::uint32_t>(errno), 0, 0};
    const std::size_t senseWritten = std::min<std::size_t>(h.sb_len_wr, sense.size());
    return FoldSgIoResult(h.status, h.host_status, h.driver_status, h.resid, h.dxfer_len,
                          std::span<const std::uint8_t>(sense.data(), senseWritten));
}

std::optional<StorageDeviceNumber> QueryDeviceNumber(std::string_view path,
                                                     const std::filesystem::path& sysfsRoot) {
    const std::string p(InterfaceNode(path));
    const int fd = ::open(p.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    auto n = DeviceNumberOfFd(fd, sysfsRoot);
    ::close(fd);
    return n;
}

std::unique_ptr<ScsiDevice> AdoptSgFileDescriptor(int fd) {
    return std::make_unique<SgDevice>(fd);
}

std::unique_ptr<ScsiDevice> SgIoPassThrough::open(std::string_view path, std::uint32_t* lastError) {
    const std::string p(InterfaceNode(path));
    const int fd = ::open(p.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (lastError)
            *lastError = static_cast<std::uint32_t>(errno);
        return nullptr;
    }
    int version = 0;
    if (::ioctl(fd, SG_GET_VERSION_NUM, &version) != 0) {
        const int error = errno;
        ::close(fd);
        if (lastError)
            *lastError = static_cast<std::uint32_t>(error);
        return nullptr;
    }
    return std::make_unique<SgDevice>(fd);
}

}  // namespace vq
