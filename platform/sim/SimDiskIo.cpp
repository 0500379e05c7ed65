#include "platform/sim/SimDiskIo.h"

#include <algorithm>
#include <array>

#include "base/Bytes.h"
#include "platform/PartitionTable.h"

namespace vq::sim {

SimDrive* DiskDrive(SimBridge& b) {
    SimDrive* d = b.drive(0) ? b.drive(0) : b.drive(1);
    return d && !d->packet() ? d : nullptr;
}

std::optional<DiskGeometry> DriveBlocks::geometry() {
    return GeometryForSectors(d_.sectors(), d_.sectorSize());
}

IoResult DriveBlocks::read(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    IoResult r;
    const std::uint32_t b = d_.sectorSize();
    if (offset % b || buffer.size() % b) {
        r.error = syserr::kInvalidParameter;
        return r;
    }
    if (d_.read(offset / b, buffer.size() / b, buffer.data()) != SimDrive::Io::Ok) {
        r.error = syserr::kReadFault;
        return r;
    }
    r.ok = true;
    r.bytes = static_cast<std::uint32_t>(buffer.size());
    return r;
}

IoResult DriveBlocks::write(std::uint64_t offset, std::span<const std::uint8_t> buffer) {
    IoResult r;
    const std::uint32_t b = d_.sectorSize();
    if (offset % b || buffer.size() % b) {
        r.error = syserr::kInvalidParameter;
        return r;
    }
    if (d_.write(offset / b, buffer.size() / b, buffer.data()) != SimDrive::Io::Ok) {
        r.error = syserr::kWriteFault;
        return r;
    }
    r.ok = true;
    r.bytes = static_cast<std::uint32_t>(buffer.size());
    return r;
}

IoResult BridgeTransfer(SimBridge& bridge, std::uint64_t generation, std::uint32_t b,
                        std::uint64_t lba, std::uint8_t* data, std::size_t bytes, bool write) {
    IoResult r;
    constexpr std::uint64_t kMaxBlocks = 65535;
    std::uint64_t done = 0;
    while (done < bytes) {
        const std::uint64_t blocks = std::min<std::uint64_t>((bytes - done) / b, kMaxBlocks);
        const std::uint64_t at = lba + done / b;
        if (at + blocks > 0xFFFFFFFFull) {
            r.error = syserr::kInvalidParameter;
            return r;
        }
        std::array<std::uint8_t, 10> cdb{};
        cdb[0] = write ? 0x2A : 0x28;
        PutBE32(cdb, 2, static_cast<std::uint32_t>(at));
        PutBE16(cdb, 7, static_cast<std::uint16_t>(blocks));
        ScsiRequest req;
        req.cdb = cdb;
        req.direction = write ? DataDirection::Out : DataDirection::In;
        req.data = std::span(data + done, static_cast<std::size_t>(blocks * b));
        const ScsiResult s = bridge.execute(req, generation);
        if (!s.callSucceeded || s.lastError != 0) {
            r.error = s.lastError ? s.lastError : syserr::kNotReady;
            return r;
        }
        if (s.scsiStatus != 0) {
            r.error = write ? syserr::kWriteFault : syserr::kReadFault;
            return r;
        }
        done += blocks * b;
        r.bytes = static_cast<std::uint32_t>(done);
    }
    r.ok = true;
    return r;
}

std::optional<DiskGeometry> BridgeGeometry(SimBridge& bridge, std::uint64_t generation,
                                           std::uint32_t* error) {
    std::array<std::uint8_t, 16> cdb{0x9E, 0x10};
    PutBE32(cdb, 10, 32);
    std::array<std::uint8_t, 32> data{};
    ScsiRequest req;
    req.cdb = cdb;
    req.direction = DataDirection::In;
    req.data = data;
    const ScsiResult s = bridge.execute(req, generation);
    if (!s.callSucceeded || s.lastError != 0 || s.scsiStatus != 0) {
        if (error)
            *error = s.lastError ? s.lastError : syserr::kNotReady;
        return std::nullopt;
    }
    const std::uint64_t sectors = GetBE64(data, 0) + 1;
    const std::uint32_t b = GetBE32(data, 8);
    if (b < 512) {
        if (error)
            *error = syserr::kNotReady;
        return std::nullopt;
    }
    return GeometryForSectors(sectors, b);
}

std::int64_t TransferNs(SimBridge& bridge, std::uint64_t bytes) {
    // As the bridge charges a READ(10)/WRITE(10): the bus and the media move the data at
    // the same time, so the slower of the two sets the time (rates in MiB/s).
    const double bus = bridge.config().timing.busMegabytesPerSecond;
    const std::int64_t busNs =
        bus > 0 ? static_cast<std::int64_t>(static_cast<double>(bytes) * 1e9 / (bus * 1048576.0))
                : 0;
    SimDrive* d = DiskDrive(bridge);
    return std::max(busNs, d ? d->transferNs(bytes) : std::int64_t{0});
}

}  // namespace vq::sim
