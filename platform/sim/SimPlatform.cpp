#include "platform/sim/SimPlatform.h"

#include <chrono>
#include <random>

#include "base/Format.h"
#include "platform/sim/SimBridgeFunction.h"

namespace vq::sim {

SimPlatform::SimPlatform(SimOptions options)
    : options_(std::move(options)),
      clock_(options_.timeScale),
      diagnostics_(options_.verbose),
      volumes_(
          station_, clock_, [this] { return ensureWorkFolder(); }, [this] { return bridges(); }),
      disks_(scsi_, volumes_),
      files_(volumes_, [this] { return ensureWorkFolder(); }) {
    platform_.name = "sim";
    platform_.home = options_.home;
    platform_.clock = &clock_;
    platform_.mutexes = &mutexes_;
    platform_.diagnostics = &diagnostics_;
    platform_.scsi = &scsi_;
    platform_.usb = &station_;
    platform_.storage = &station_;
    platform_.removal = &station_;
    platform_.hotplug = &station_;
    platform_.volumes = &volumes_;
    platform_.disks = &disks_;
    platform_.files = &files_;
    platform_.osVersion = OsVersion{10, 0, 0};
    workFolder_ = options_.workFolder;
    // Interface and volume paths open the bridge that is on the bus behind them now.
    scsi_.setResolver([this](std::string_view path) -> std::shared_ptr<SimBridge> {
        auto fn = std::dynamic_pointer_cast<BridgeFunction>(station_.functionByPath(path));
        return fn ? fn->bridge() : nullptr;
    });
}

SimPlatform::~SimPlatform() {
    {
        std::lock_guard lock(mutex_);
        bridges_.clear();
    }
    powerControl_.reset();
    station_.clear();
    scsi_.clear();  // the last references to the bridges and their open image files
    if (ownsWorkFolder_) {
        std::error_code ec;
        std::filesystem::remove_all(workFolder_, ec);
    }
}

std::filesystem::path SimPlatform::ensureWorkFolder() {
    std::lock_guard lock(mutex_);
    return ensureWorkFolderLocked();
}

std::filesystem::path SimPlatform::ensureWorkFolderLocked() {
    if (workFolder_.empty()) {
        std::random_device rd;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        workFolder_ = std::filesystem::temp_directory_path() /
                      Format("vqsim-%08x%08x", rd(), static_cast<std::uint32_t>(stamp));
        ownsWorkFolder_ = true;
    }
    workFolder_ = std::filesystem::absolute(workFolder_);
    std::error_code ec;
    std::filesystem::create_directories(workFolder_, ec);
    return workFolder_;
}

AddedBridge SimPlatform::addBridge(BridgeConfig config) {
    std::lock_guard lock(mutex_);
    ensureWorkFolderLocked();
    AddedBridge added;
    added.deviceNumber = nextDeviceNumber_++;
    added.bridge =
        std::make_shared<SimBridge>(std::move(config), clock_, workFolder_, added.deviceNumber);
    applyKept(*added.bridge);
    added.physicalDrivePath = Format("\\\\.\\PhysicalDrive%u", added.deviceNumber);
    scsi_.addPath(added.physicalDrivePath, added.bridge);
    added.paths.push_back(added.physicalDrivePath);
    bridges_.push_back(added.bridge);
    return added;
}

void SimPlatform::addPath(std::string_view path, const std::shared_ptr<SimBridge>& bridge) {
    scsi_.addPath(path, bridge);
}

std::vector<std::shared_ptr<SimBridge>> SimPlatform::bridges() {
    std::lock_guard lock(mutex_);
    return bridges_;
}

}  // namespace vq::sim
