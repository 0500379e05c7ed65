// The emulated station machine: host controllers with root hubs, external hubs nested
// to any depth, ports with their speeds, and on each port nothing, a hub, or a USB
// function (a bridge board, a non-storage device, the port-power control board). It
// answers the hub requests, lists the storage interfaces and volumes, removes devices
// with vetoes, and sends arrival and removal events, as a real machine would.
//
// Names follow the system's conventions so the station code can treat them as real:
//   hub interface   \\?\usb#root_hub30#4&1c2f4a0&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}
//   hub connection  USB#VID_05E3&PID_0610#5&2b9d1e7&0&2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}
//   device id       USB\VID_7E8A&PID_2429\000000000001 (serial), else USB\VID_..&PID_..\5&..&0&N
//   driver key      {36fc9e60-c465-11cf-8056-444553540000}\0003
//   disk interface
//   \\?\usbstor#disk&ven_..&prod_..&rev_..#<serial>&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b} UAS
//   interface   \\?\scsi#disk&ven_..&prod_..#5&..&0&000000#{53f56307-...} optical
//   \\?\usbstor#cdrom&ven_..&prod_..&rev_..#<serial>&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/DeviceRemoval.h"
#include "platform/Hotplug.h"
#include "platform/StorageEnumerator.h"
#include "platform/UsbTopology.h"
#include "platform/VolumeService.h"

namespace vq::sim {

// Negotiated speed of a port's link.
enum class PortSpeed : std::uint8_t { Low, Full, High, Super, SuperPlus };

// The USB identity a function shows on the bus (descriptor fields and strings).
struct BusIdentity {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint16_t bcdDevice = 0x0100;
    std::uint16_t bcdUsb = 0x0210;
    std::string manufacturer;           // empty: no string (index 0)
    std::string product;                // empty: no string (index 0)
    std::optional<std::string> serial;  // nullopt: no serial-number string (index 0)
};

enum class StorageClass { None, Disk, Optical };

// What the station's USB side needs of a device function. Bridges implement it over
// their configuration; plain devices answer fixed data.
class UsbFunction {
  public:
    virtual ~UsbFunction() = default;
    virtual BusIdentity identity() = 0;
    // False while the function is off the bus (during a reset or after a fault).
    virtual bool onBus() { return true; }
    virtual StorageClass storageClass() { return StorageClass::None; }
    // Driven by the USB Attached SCSI driver rather than the mass-storage driver.
    virtual bool uas() { return false; }
    // Physical drive number of the function's disk; 0 lets the station number it.
    virtual std::uint32_t diskNumber() { return 0; }
    // Moves on every time the function leaves the bus, so a function that left and came
    // back between two looks is still seen as a new arrival.
    virtual std::uint64_t busGeneration() { return 0; }
    // The function's supply: off when its port loses power or it is unplugged, on when it
    // is powered again (a full boot).
    virtual void powerChanged(bool on) { (void)on; }
    // Its port power went off or on. A bridge board runs on for its hold-up time after
    // the power goes (onCharge answers true meanwhile); other functions go at once.
    virtual void supplyChanged(bool on) { powerChanged(on); }
    virtual bool onCharge() { return false; }
    // The machine asks to hear at once when the function leaves the bus by itself (a
    // reset); an empty function stops that.
    virtual void watchBus(std::function<void()> changed) { (void)changed; }
};

// A function with a fixed identity (mouse, keyboard, a device without serial number).
class PlainUsbFunction final : public UsbFunction {
  public:
    explicit PlainUsbFunction(BusIdentity id) : id_(std::move(id)) {}
    BusIdentity identity() override { return id_; }

  private:
    BusIdentity id_;
};

struct SimHub;

struct SimPort {
    PortSpeed speed = PortSpeed::High;
    std::unique_ptr<SimHub> hub;            // a hub hangs here, or
    std::shared_ptr<UsbFunction> function;  // a function, or nothing
    std::uint32_t vetoes = 0;               // removal requests still to veto
    bool removed = false;                   // taken out by a removal request
    bool poweredSeen = true;                // the port power at the last look
    // Filled in when the function is attached.
    std::uint32_t deviceIndex = 0;
};

// USB allows seven tiers: the root hub, at most five external hubs, and the function.
inline constexpr int kMaxHubTier = 6;

struct SimHub {
    std::string id;  // scenario name, used to address ports
    bool root = false;
    int tier = 1;  // 1 for a root hub, its parent's tier + 1 for an external hub
    std::string rootKind = "root_hub30";  // naming of a root hub's interface
    BusIdentity identity;                 // external hubs
    std::vector<SimPort> ports;
    bool powered = true;  // port power switched by the power-control board
    bool cc2 = false;     // the functions of the ports with an other port are there
    std::vector<std::pair<std::uint32_t, std::uint32_t>> cc2Ports;  // port, its CC2 port
    // Assigned names.
    std::string interfacePath;   // \\?\usb#...#{guid}
    std::string connectionName;  // USB#...#{guid} (external hubs)
    std::string instanceId;
};

struct SimVolumeContent;  // the file system on a volume (SimVolumes.h)

// A volume of the emulated machine.
struct SimVolume {
    SimVolume() = default;
    SimVolume(char l, DriveType t, bool sys, std::uint32_t number, std::shared_ptr<UsbFunction> o,
              std::uint64_t free, std::string text, std::shared_ptr<SimVolumeContent> c = nullptr)
        : letter(l),
          type(t),
          system(sys),
          deviceNumber(number),
          owner(std::move(o)),
          freeBytes(free),
          label(std::move(text)),
          content(std::move(c)) {}

    char letter = 0;
    DriveType type = DriveType::Fixed;
    bool system = false;
    std::uint32_t deviceNumber = 0;      // physical drive number
    std::shared_ptr<UsbFunction> owner;  // the bridge whose drive holds it; null: none
    std::uint64_t freeBytes = 0;
    std::string label;
    // The partition and file system behind the letter; null until the volume service
    // first looks at a volume that was added without one.
    std::shared_ptr<SimVolumeContent> content;
};

class SimStation final : public UsbTopology,
                         public StorageEnumerator,
                         public DeviceRemoval,
                         public Hotplug,
                         public VolumeService {
  public:
    explicit SimStation(std::filesystem::path volumeRoot = {});

    // ---- building the machine (also while it runs: hotplug) ----
    // Adds a host controller with a root hub of `ports` ports; returns the hub id.
    SimHub& addRootHub(const std::string& id, std::uint32_t ports,
                       const std::string& kind = "root_hub30");
    // Hangs an external hub on a port of `parentHub`.
    SimHub& addHub(const std::string& parentHub, std::uint32_t port, const std::string& id,
                   std::uint32_t ports, PortSpeed speed, BusIdentity identity = {});
    // Plugs a function into a port (arrival events follow). Returns false when the hub
    // or port does not exist or the port is taken.
    bool plug(const std::string& hub, std::uint32_t port, std::shared_ptr<UsbFunction> function,
              PortSpeed speed);
    // The function on a port (null when none, or when a hub hangs there).
    std::shared_ptr<UsbFunction> functionAt(const std::string& hub, std::uint32_t port);
    // Unplugs whatever hangs on the port (a hub with everything below it); removal events.
    bool unplug(const std::string& hub, std::uint32_t port);
    // Switches the port power of a hub (the power-control board does this).
    void setHubPower(const std::string& hub, bool on);
    // The port power of a hub follows a switch read at every look at the bus (the
    // power-control board's register). With `cc2`, the switch also tells the plug's
    // orientation while the power is on: the functions of ports given an other port
    // (setCc2Port) move there while it answers true, and back when it answers false.
    void bindPowerSwitch(const std::string& hub, std::function<bool()> isOn,
                         std::function<bool()> cc2 = {});
    // The port of the same hub where the function on `port` shows in the CC2
    // orientation. False when either port does not exist or they are the same.
    bool setCc2Port(const std::string& hub, std::uint32_t port, std::uint32_t cc2Port);
    // Removal requests of the device on this port are vetoed this many times.
    bool setVetoes(const std::string& hub, std::uint32_t port, std::uint32_t count);
    void addVolume(SimVolume volume);
    void removeVolume(char letter);
    void setSystemDrive(char letter) { systemDrive_ = letter; }
    // The volume on a letter while it is visible.
    std::optional<SimVolume> visibleVolume(char letter);
    // Every volume the machine knows, visible or not (their letters stay taken).
    std::vector<SimVolume> allVolumes();
    // The content of a visible volume, made by `make` the first time it is asked for.
    std::shared_ptr<SimVolumeContent> volumeContent(
        char letter,
        const std::function<std::shared_ptr<SimVolumeContent>(const SimVolume&)>& make);

    // Takes everything off the machine at once, without events.
    void clear();

    // Re-reads which functions are on the bus and sends the events of those that left or
    // came back (a bridge that was reset). Cheap; called by the emulator when it knows a
    // function changed and before every enumeration.
    void poll();

    // Storage interface path of a function, empty when it has none or is absent.
    std::string storagePathOf(const UsbFunction& f);
    // Physical drive number of a function's disk (0 when none).
    std::uint32_t diskNumberOf(const UsbFunction& f);
    // Function behind a storage interface path or a volume path ("\\.\E:"), or null.
    std::shared_ptr<UsbFunction> functionByPath(std::string_view path);
    const SimHub* hub(const std::string& id) const;
    // The hub and port a function is plugged into; nothing when it is not on the machine.
    std::optional<std::pair<std::string, std::uint32_t>> portOf(const UsbFunction& f);
    // The device node of a function while it is on the bus (for removal requests).
    std::optional<DevNode> nodeOf(const UsbFunction& f);

    // ---- UsbTopology ----
    std::optional<std::vector<std::string>> hubInterfacePaths() override;
    std::unique_ptr<UsbHub> openHub(std::string_view path) override;
    std::optional<std::string> instanceIdOfDriverKey(std::string_view driverKey) override;
    // ---- StorageEnumerator ----
    std::optional<std::vector<StorageInterface>> diskInterfaces() override;
    std::optional<std::vector<StorageInterface>> opticalInterfaces() override;
    // ---- DeviceRemoval ----
    RemovalResult queryAndRemoveSubtree(DevNode node) override;
    RemovalResult requestEject(DevNode node) override;
    // ---- Hotplug ----
    void setListener(Listener listener) override;
    // ---- VolumeService ----
    std::uint32_t logicalDriveMask() override;
    char systemDriveLetter() override { return systemDrive_; }
    DriveType driveType(char letter) override;
    std::string volumeDevicePath(char letter) override;
    std::filesystem::path rootPath(char letter) override;
    std::optional<std::uint64_t> freeBytes(char letter) override;
    // Volume contents are not emulated yet: these answer "not supported".
    std::optional<std::uint64_t> totalBytes(char) override { return std::nullopt; }
    std::unique_ptr<Volume> openVolume(char, std::uint32_t* error) override;
    std::optional<VolumeInformation> volumeInformation(char) override { return std::nullopt; }
    std::uint32_t setLabel(char, std::string_view) override;
    int systemFormat(char, std::string_view, std::string_view, std::uint32_t, bool) override {
        return -1;
    }
    bool systemFormatAvailable() override { return false; }
    bool closeFormatPrompt() override { return false; }

    // Physical drive number of the disk that holds a volume.
    std::optional<std::uint32_t> volumeDiskNumber(char letter);
    // Whether the hubs answer the second extended connection request (Windows 8 on).
    void setInfoV2Supported(bool supported);

  private:
    struct Device {  // a function seen on the bus, with its names
        std::shared_ptr<UsbFunction> function;
        std::string hubId;
        std::uint32_t portNumber = 0;
        std::string driverKey;
        DevNode node = 0;
        DevNode diskNode = 0;
        std::uint32_t diskNumber = 0;
        bool live = false;
        bool arrivedBefore = false;
        std::uint64_t generation = 0;  // the function's bus generation at its arrival
        BusIdentity identity;          // as enumerated at the last arrival
        std::string instanceId;
        std::string storagePath;
        StorageClass storage = StorageClass::None;
    };
    class Hub;
    friend class Hub;

    SimHub* findHub(const std::string& id);
    SimHub* hubByPath(std::string_view core);
    SimPort* port(const std::string& hub, std::uint32_t port);
    void walk(SimHub& hub, const std::function<void(SimHub&, SimPort&, bool powered)>& f,
              bool powered = true);
    bool portLive(const SimHub& hub, const SimPort& port);
    // Whether the ports of a hub have power now (the hub reachable and switched on).
    bool portPowered(const std::string& hubId);
    bool hubReachable(const SimHub& hub);
    bool volumeVisible(const SimVolume& v);
    void enumerate(Device& d);
    // A fresh device record (new driver key and device nodes) for a port's function.
    Device& newDevice(SimPort& p, const std::string& hubId, std::uint32_t portNumber);
    void queueArrival(const Device& d);
    void queueRemoval(const Device& d);
    // Compares who is on the bus now with what was seen before and queues the events.
    void refreshLocked();
    // Sends the queued events, outside the station's lock.
    void emitPending();
    std::optional<std::vector<StorageInterface>> interfaces(StorageClass c);
    RemovalResult remove(DevNode node);

    mutable std::recursive_mutex m_;
    std::filesystem::path volumeRoot_;
    std::vector<std::unique_ptr<SimHub>> roots_;
    std::map<std::uint32_t, Device> devices_;  // by device index, in enumeration order
    std::uint32_t nextDevice_ = 1;
    std::uint32_t nextDisk_ = 1;
    std::map<char, SimVolume> volumes_;
    char systemDrive_ = 'C';
    bool supportsInfoV2_ = true;
    std::vector<DeviceEvent> pending_;
    struct PowerSwitch {
        std::string hub;
        std::function<bool()> isOn, cc2;
    };
    std::vector<PowerSwitch> powerSwitches_;
    bool instantSupply_ = false;  // power changes take effect without the hold-up time
    // Moves what hangs on one port of a hub to another (a plug turned over).
    void movePort(SimHub& hub, std::uint32_t from, std::uint32_t to);
    Listener listener_;
    std::mutex listenerMutex_;
};

}  // namespace vq::sim
