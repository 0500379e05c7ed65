#include "platform/sim/SimDisks.h"

#include "platform/ImageDisk.h"
#include "platform/PartitionScript.h"
#include "platform/PartitionTable.h"
#include "platform/sim/SimDiskIo.h"
#include "platform/sim/SimScsi.h"
#include "platform/sim/SimVolumes.h"

namespace vq::sim {

namespace {

class SimDisk final : public Disk {
  public:
    SimDisk(SimVolumes& volumes, std::shared_ptr<SimBridge> bridge, std::uint64_t generation)
        : volumes_(volumes), bridge_(std::move(bridge)), gen_(generation) {}

    std::optional<DiskGeometry> geometry() override { return BridgeGeometry(*bridge_, gen_); }

    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return transfer(offset, buffer.data(), buffer.size(), false);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        return transfer(offset, const_cast<std::uint8_t*>(buffer.data()), buffer.size(), true);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        return bridge_->execute(request, gen_);
    }
    std::optional<StorageDeviceNumber> deviceNumber() override {
        return bridge_->deviceNumber(gen_);
    }

    bool createDisk(PartitionStyle style, std::uint32_t signature) override {
        const auto g = geometry();
        return g && CreateEmptyTable(*this, *g, style, signature, Guid{});
    }
    std::optional<DriveLayout> layout() override {
        const auto g = geometry();
        return g ? ReadDriveLayout(*this, *g) : std::nullopt;
    }
    bool setLayout(const DriveLayout& l) override {
        const auto g = geometry();
        return g && WriteDriveLayout(*this, *g, l);
    }
    bool updateProperties() override {
        if (!bridge_->present() || bridge_->generation() != gen_)
            return false;
        volumes_.rescanDisk(bridge_->storageNumber());
        return true;
    }

    std::uint32_t number() const { return bridge_->storageNumber(); }

  private:
    IoResult transfer(std::uint64_t offset, std::uint8_t* p, std::size_t n, bool write) {
        IoResult r;
        SimDrive* d = DiskDrive(*bridge_);
        const std::uint32_t b = d ? d->sectorSize() : 512;
        if (reinterpret_cast<std::uintptr_t>(p) % b || offset % b || n % b) {
            r.error = syserr::kInvalidParameter;
            return r;
        }
        if (write)
            volumes_.diskWritten(bridge_->storageNumber());
        return BridgeTransfer(*bridge_, gen_, b, offset / b, p, n, write);
    }

    SimVolumes& volumes_;
    std::shared_ptr<SimBridge> bridge_;
    std::uint64_t gen_;
};

}  // namespace

SimDisks::SimDisks(SimScsi& scsi, SimVolumes& volumes) : scsi_(scsi), volumes_(volumes) {}

std::unique_ptr<Disk> SimDisks::openDisk(std::string_view path, std::uint32_t* error) {
    auto fail = [&](std::uint32_t code) -> std::unique_ptr<Disk> {
        if (error)
            *error = code;
        return nullptr;
    };
    auto bridge = scsi_.find(path);
    if (!bridge)
        return fail(syserr::kFileNotFound);
    const auto gen = bridge->attach();
    if (!gen)
        return fail(syserr::kFileNotFound);
    if (!DiskDrive(*bridge))
        return fail(syserr::kNotSupported);  // no disk behind it (none, or an optical drive)
    if (error)
        *error = 0;
    return std::make_unique<SimDisk>(volumes_, std::move(bridge), *gen);
}

std::unique_ptr<Disk> SimDisks::openImage(std::string_view path, std::uint32_t bytesPerSector,
                                          std::uint32_t* error) {
    return OpenImageDisk(std::filesystem::path(std::string(path)), bytesPerSector, error);
}

bool SimDisks::partitionToolAvailable() {
    return toolAvailable_;
}

void SimDisks::setPartitionToolAvailable(bool available) {
    toolAvailable_ = available;
}

int SimDisks::runPartitionTool(const std::vector<std::string>& script, std::uint32_t* error) {
    if (!toolAvailable_) {
        if (error)
            *error = syserr::kFileNotFound;
        return -1;
    }
    if (error)
        *error = 0;
    PartitionToolMachine machine;
    machine.openDisk = [this](std::uint32_t number) -> std::unique_ptr<Disk> {
        auto bridge = volumes_.bridgeOf(number);
        const auto gen = bridge ? bridge->attach() : std::nullopt;
        if (!gen || !DiskDrive(*bridge))
            return nullptr;
        return std::make_unique<SimDisk>(volumes_, std::move(bridge), *gen);
    };
    machine.rescan = [this] { volumes_.rescanAll(); };
    machine.format = [this](std::uint32_t number, std::uint64_t start, const ToolFormat& f) {
        return volumes_.formatPartition(number, start, f.fileSystem, f.label, f.unit);
    };
    machine.assign = [this](std::uint32_t number, std::uint64_t start) {
        return volumes_.assign(number, start);
    };
    return RunPartitionScript(script, machine);
}

}  // namespace vq::sim
