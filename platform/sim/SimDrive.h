// A drive behind an emulated bridge: its IDENTIFY data and its sectors, kept in a sparse
// image file on the host.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "platform/sim/SimBridgeConfig.h"

namespace vq::sim {

class SimDrive {
  public:
    SimDrive(DriveConfig config, std::filesystem::path image);

    const DriveConfig& config() const { return config_; }
    const std::filesystem::path& imagePath() const { return image_; }
    bool packet() const { return config_.packet; }
    std::uint64_t sectors() const { return config_.sectors; }  // what the drive reports
    std::uint64_t hiddenSectors() const { return config_.hiddenSectors.value_or(0); }
    std::uint32_t sectorSize() const { return config_.logicalSectorSize; }

    // The 512-byte answer to IDENTIFY DEVICE (ATA) or IDENTIFY PACKET DEVICE (ATAPI).
    const std::array<std::uint8_t, 512>& identify() const { return identify_; }

    // Safe from any thread: the bridge and the emulated system both reach the sectors.
    // With `hidden` the sectors above the reported capacity are in range too.
    enum class Io { Ok, OutOfRange, NoSpace, Failed };
    Io read(std::uint64_t lba, std::uint64_t count, std::uint8_t* out, bool hidden = false);
    Io write(std::uint64_t lba, std::uint64_t count, const std::uint8_t* in, bool hidden = false);
    void setSpaceLimit(std::uint64_t bytes) { spaceLimit_ = bytes; }
    // Emulated time the media takes to read or write `bytes` at its rate (MiB/s); the
    // bridge charges the larger of this and its bus time for a transfer.
    std::int64_t transferNs(std::uint64_t bytes) const {
        return config_.megabytesPerSecond > 0
                   ? static_cast<std::int64_t>(static_cast<double>(bytes) * 1e9 /
                                               (config_.megabytesPerSecond * 1048576.0))
                   : 0;
    }

  private:
    static constexpr std::uint64_t kChunk = 65536;  // host allocation unit of the image

    DriveConfig config_;
    std::filesystem::path image_;
    std::array<std::uint8_t, 512> identify_{};
    std::mutex m_;
    std::fstream file_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t spaceLimit_ = 0;
    std::set<std::uint64_t> usedChunks_;
};

// Builds IDENTIFY data from a drive description.
std::array<std::uint8_t, 512> BuildIdentifyData(const DriveConfig& config);

}  // namespace vq::sim
