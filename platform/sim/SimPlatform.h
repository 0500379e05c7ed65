// The emulated station machine behind the platform seam. It is the default platform of
// both programs and of every test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "platform/sim/SimBridge.h"
#include "platform/sim/SimClock.h"
#include "platform/sim/SimDisks.h"
#include "platform/sim/SimFiles.h"
#include "platform/sim/SimMachineState.h"
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
    // The port-power control board, when the machine has one.
    void setPowerControl(std::shared_ptr<SimBridge> board) { powerControl_ = std::move(board); }
    const std::shared_ptr<SimBridge>& powerControl() const { return powerControl_; }

    // ---- a machine that outlives the program (SimPlatformState.cpp) ----
    // Boards added from now on take what `state` kept for their storage number; call it
    // before the scenario is built, and finishRestore() after.
    void restoreFrom(const MachineState& state);
    // Pulls the ports the state found unplugged and switches its hubs and the port-power
    // lines as they were. Empty, else why the state does not fit the machine built.
    std::string finishRestore();
    // What the machine keeps now.
    MachineState capture(std::uint64_t scenarioHash);
    // Run-time changes of the machine that the state keeps: a port pulled (and what hung
    // there remembered), put back, a hub's port power switched by hand.
    bool unplugPort(const std::string& hub, std::uint32_t port);
    bool replugPort(const std::string& hub, std::uint32_t port);
    bool setHubPower(const std::string& hub, bool on);

  private:
    std::filesystem::path ensureWorkFolderLocked();
    void applyKept(SimBridge& bridge);  // under mutex_

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
    std::shared_ptr<SimBridge> powerControl_;
    std::uint32_t nextDeviceNumber_ = 1;
    // The kept machine, by storage number, until every board took its part.
    std::map<std::uint32_t, KeptBoard> restore_;
    std::optional<MachineState> restoring_;
    std::string restoreError_;
    struct Pulled {
        std::shared_ptr<UsbFunction> function;
        PortSpeed speed = PortSpeed::High;
    };
    std::map<std::pair<std::string, std::uint32_t>, Pulled> pulled_;
    std::vector<std::pair<std::string, std::uint32_t>> unplugged_;  // in the order pulled
    std::map<std::string, bool> hubPower_;
    SimVolumes volumes_;
    SimDisks disks_;
    SimFiles files_;
    Platform platform_;
};

}  // namespace vq::sim
