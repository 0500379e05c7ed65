// The emulated station machine behind the platform seam. It is the default platform of
// both programs and of every test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "platform/sim/SimBridge.h"
#include "platform/sim/SimClock.h"
#include "platform/sim/SimDisks.h"
#include "platform/sim/SimFiles.h"
#include "platform/sim/SimNamedMutex.h"
#include "platform/sim/SimScsi.h"
#include "platform/sim/SimStation.h"
#include "platform/sim/SimVolumes.h"

namespace vq::sim {

struct SimOptions {
    double timeScale = 0.0;      // see SimClock
    std::filesystem::path home;  // the program's folder on the emulated machine
    bool verbose = false;        // echo debugger output to stderr
    // Where the emulator keeps its drive images; empty: a fresh temporary folder that
    // is removed with the platform.
    std::filesystem::path workFolder;
};

// An emulated bridge on the machine and the paths that open it.
struct AddedBridge {
    std::shared_ptr<SimBridge> bridge;
    std::uint32_t deviceNumber = 0;  // as in "\\.\PhysicalDriveN"
    std::string physicalDrivePath;   // "\\.\PhysicalDriveN"
    std::vector<std::string> paths;  // every path that opens it
};

class SimPlatform {
  public:
    explicit SimPlatform(SimOptions options = {});
    ~SimPlatform();
    SimPlatform(const SimPlatform&) = delete;
    SimPlatform& operator=(const SimPlatform&) = delete;

    Platform& platform() { return platform_; }
    SimClock& clock() { return clock_; }
    StreamDiagnostics& diagnostics() { return diagnostics_; }
    SimScsi& scsi() { return scsi_; }
    // The machine's hubs, ports, storage interfaces and volumes.
    SimStation& station() { return station_; }
    // The emulated system's volumes, disks and files.
    SimVolumes& volumes() { return volumes_; }
    SimDisks& disks() { return disks_; }
    SimFiles& files() { return files_; }
    const std::filesystem::path& workFolder() const { return workFolder_; }
    // The work folder, made on first use (drive images, volume folders, temporary files).
    std::filesystem::path ensureWorkFolder();

    // Puts a bridge board with its drives on the machine. It gets the next physical
    // drive number (0 is the machine's own system disk) and is on the bus at once.
    AddedBridge addBridge(BridgeConfig config);
    // Another path (a volume or device interface path) that opens a bridge.
    void addPath(std::string_view path, const std::shared_ptr<SimBridge>& bridge);
    std::vector<std::shared_ptr<SimBridge>> bridges();

  private:
    std::filesystem::path ensureWorkFolderLocked();

    SimOptions options_;
    SimClock clock_;
    SimNamedMutexRegistry mutexes_;
    StreamDiagnostics diagnostics_;
    SimScsi scsi_;
    SimStation station_;
    std::filesystem::path workFolder_;
    bool ownsWorkFolder_ = false;
    std::mutex mutex_;
    std::vector<std::shared_ptr<SimBridge>> bridges_;
    std::uint32_t nextDeviceNumber_ = 1;
    SimVolumes volumes_;
    SimDisks disks_;
    SimFiles files_;
    Platform platform_;
};

}  // namespace vq::sim
