// The one place that sends a command block to a bridge and judges the outcome. Every
// command the station sends (standard SCSI and the bridge's vendor commands) travels
// through SendCommandIn / SendCommandOut (one open of the device path per command) or
// through their handle forms for callers that keep a device open.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "platform/Clock.h"
#include "platform/ScsiPassThrough.h"

namespace vq::bridge {

// Settings the transport reads; the station fills them from its settings file.
struct TransportSettings {
    std::uint32_t scsiTimeout = 10;  // SCSITimeout, seconds
};

// What the disk service answers for a path: the drive geometry of a disk.
struct DriveGeometry {
    std::uint64_t cylinders = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
};
using GeometryQuery = std::function<std::optional<DriveGeometry>(std::string_view path)>;

// The services every bridge command needs besides its block. One per station; it keeps
// no state between commands, so any thread may use it.
class Transport {
  public:
    Transport(ScsiPassThrough& scsi, Clock& clock, TransportSettings settings = {},
              GeometryQuery geometry = {})
        : scsi_(scsi), clock_(clock), settings_(settings), geometry_(std::move(geometry)) {}

    ScsiPassThrough& scsi() const { return scsi_; }
    Clock& clock() const { return clock_; }
    const TransportSettings& settings() const { return settings_; }
    // Geometry of the disk behind a path; nullopt when the platform cannot tell.
    std::optional<DriveGeometry> geometry(std::string_view path) const {
        return geometry_ ? geometry_(path) : std::nullopt;
    }

  private:
    ScsiPassThrough& scsi_;
    Clock& clock_;
    TransportSettings settings_;
    GeometryQuery geometry_;
};

// One bridge as the commands address it: the transport and the device path.
struct Target {
    const Transport& transport;
    std::string path;
};

// Time-out in seconds of a command sent by path: the setting for data-in, 100 s for the
// chip-erase class (block byte 2 = 0x13, or byte 1 = 0x03 with byte 11 = 0xFB), 50 s for
// every other data-out or no-data command.
std::uint32_t CommandTimeout(ConstBytes cdb, bool dataIn, std::uint32_t scsiTimeout);

// Sends one data-in command by path. The answer's first dest.size() bytes land in dest and
// the transferred length reported by the system in *transferred, both even on failure
// (dest then holds what the zero-filled transfer buffer held). A one-byte read moves two
// bytes and returns the first. True when the call succeeded, the last error is 0 and the
// SCSI status is 0.
bool SendCommandIn(const Target& target, ConstBytes cdb, Bytes dest,
                   std::uint32_t* transferred = nullptr);
// Sends one data-out (or no-data) command by path; data may be empty. A one-byte write
// sends the byte and a zero.
bool SendCommandOut(const Target& target, ConstBytes cdb, ConstBytes data,
                    std::uint32_t* transferred = nullptr);

// The same on a device the caller keeps open: the caller's buffer is the transfer buffer,
// the time-out is always the setting, and success needs only a successful call and SCSI
// status 0.
bool SendCommandInOnHandle(const Transport& transport, ScsiDevice& handle, ConstBytes cdb,
                           Bytes dest, std::uint32_t* transferred = nullptr);
bool SendCommandOutOnHandle(const Transport& transport, ScsiDevice& handle, ConstBytes cdb,
                            ConstBytes data, std::uint32_t* transferred = nullptr);

// Storage device number of a path; true when the query succeeded.
bool QueryDeviceNumber(const Target& target, StorageDeviceNumber& number);

}  // namespace vq::bridge
