#include "platform/sim/SimStation.h"

#include <algorithm>

#include "base/Format.h"
#include "base/Text.h"

namespace vq::sim {

namespace {

constexpr const char* kHubGuid = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* kDiskGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kCdromGuid = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kUsbClassGuid = "{36fc9e60-c465-11cf-8056-444553540000}";

std::uint32_t Hash(std::string_view s) {
    std::uint32_t h = 2166136261u;
    for (char c : s) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 16777619u;
    }
    return h & 0x0FFFFFFF;
}

// Characters the system keeps in the vendor/product parts of a storage device id.
std::string IdPart(std::string_view s, std::size_t max) {
    std::string r;
    for (char c : s) {
        if (r.size() == max)
            break;
        r.push_back(c == ' ' ? '_' : (static_cast<unsigned char>(c) < 0x20 ? '_' : c));
    }
    return r;
}

// The path without its "\\.\" or "\\?\" prefix, lower case.
std::string PathCore(std::string_view path) {
    if (path.starts_with("\\\\.\\") || path.starts_with("\\\\?\\"))
        path.remove_prefix(4);
    return ToLower(path);
}

std::uint8_t BusSpeed(PortSpeed s, bool extended) {
    switch (s) {
        case PortSpeed::Low:
            return 0;
        case PortSpeed::Full:
            return 1;
        case PortSpeed::High:
            return 2;
        default:
            return extended ? 3 : 2;  // the old request cannot say SuperSpeed
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// An open hub. It holds the hub's path, not the hub, so a hub unplugged while open only
// makes the requests fail.
class SimStation::Hub final : public UsbHub {
  public:
    Hub(SimStation& s, std::string core) : s_(s), core_(std::move(core)) {}

    std::optional<std::uint32_t> numberOfPorts() override {
        std::lock_guard lock(s_.m_);
        SimHub* h = s_.hubByPath(core_);
        if (!h)
            return std::nullopt;
        return static_cast<std::uint32_t>(h->ports.size());
    }

    std::optional<UsbConnectionInfo> connectionInfo(std::uint32_t port) override {
        return info(port, false);
    }
    std::optional<UsbConnectionInfo> connectionInfoEx(std::uint32_t port) override {
        return info(port, true);
    }

    std::optional<UsbConnectionInfoV2> connectionInfoExV2(std::uint32_t port,
                                                          std::uint32_t protocols) override {
        std::lock_guard lock(s_.m_);
        if (!s_.supportsInfoV2_)
            return std::nullopt;
        SimPort* p = livePort(port);
        if (!p || (protocols & UsbConnectionInfoV2::kUsb300) == 0)
            return std::nullopt;
        UsbConnectionInfoV2 v;
        v.connectionIndex = port;
        v.supportedUsbProtocols = protocols;
        if (p->speed == PortSpeed::Super || p->speed == PortSpeed::SuperPlus) {
            v.flags |= UsbConnectionInfoV2::kOperatingAtSuperSpeedOrHigher |
                       UsbConnectionInfoV2::kSuperSpeedCapableOrHigher;
        }
        if (p->speed == PortSpeed::SuperPlus) {
            v.flags |= UsbConnectionInfoV2::kOperatingAtSuperSpeedPlusOrHigher |
                       UsbConnectionInfoV2::kSuperSpeedPlusCapableOrHigher;
        }
        return v;
    }

    std::optional<std::string> connectionName(std::uint32_t port) override {
        std::lock_guard lock(s_.m_);
        SimPort* p = livePort(port);
        if (!p || !p->hub)
            return std::nullopt;
        return p->hub->connectionName;
    }

    std::optional<std::u16string> driverKeyName(std::uint32_t port) override {
        std::lock_guard lock(s_.m_);
        SimPort* p = livePort(port);
        if (!p || !p->function)
            return std::nullopt;
        const Device& d = s_.devices_.at(p->deviceIndex);
        return std::u16string(d.driverKey.begin(), d.driverKey.end());
    }

    std::optional<std::vector<std::uint8_t>> stringDescriptor(std::uint32_t port,
                                                              std::uint8_t index,
                                                              std::uint16_t languageId,
                                                              std::uint16_t length) override {
        std::lock_guard lock(s_.m_);
        SimPort* p = livePort(port);
        if (!p)
            return std::nullopt;
        std::vector<std::uint8_t> d;
        if (index == 0) {
            d = {4, 3, 0x09, 0x04};  // the language table: US English only
        } else {
            const BusIdentity& id =
                p->hub ? p->hub->identity : s_.devices_.at(p->deviceIndex).identity;
            const std::string* text = nullptr;
            if (index == 1 && !id.manufacturer.empty())
                text = &id.manufacturer;
            if (index == 2 && !id.product.empty())
                text = &id.product;
            if (index == 3 && id.serial)
                text = &*id.serial;
            if (!text || languageId != 0x0409)
                return std::nullopt;  // the device stalls
            const std::size_t chars = std::min<std::size_t>(text->size(), 126);
            d.push_back(static_cast<std::uint8_t>(2 + 2 * chars));
            d.push_back(3);
            for (std::size_t i = 0; i < chars; ++i) {
                d.push_back(static_cast<std::uint8_t>((*text)[i]));
                d.push_back(0);
            }
        }
        if (d.size() > length)
            d.resize(length);
        return d;
    }

  private:
    SimPort* livePort(std::uint32_t port) {
        s_.refreshLocked();
        SimHub* h = s_.hubByPath(core_);
        if (!h || port == 0 || port > h->ports.size())
            return nullptr;
        SimPort& p = h->ports[port - 1];
        if (!s_.portLive(*h, p))
            return nullptr;
        return &p;
    }

    std::optional<UsbConnectionInfo> info(std::uint32_t port, bool extended) {
        std::lock_guard lock(s_.m_);
        s_.refreshLocked();
        SimHub* h = s_.hubByPath(core_);
        if (!h || port == 0 || port > h->ports.size())
            return std::nullopt;
        UsbConnectionInfo ci;
        ci.connectionIndex = port;
        SimPort& p = h->ports[port - 1];
        if (p.hub && p.hub->tier > kMaxHubTier && h->powered && !p.removed) {
            // The system refuses the hub; its port says why and nothing below is seen.
            ci.connectionStatus = UsbConnectionStatus::DeviceHubNestedTooDeeply;
            return ci;
        }
        if (!s_.portLive(*h, p))
            return ci;  // NoDeviceConnected
        const BusIdentity& id = p.hub ? p.hub->identity : s_.devices_.at(p.deviceIndex).identity;
        ci.connectionStatus = UsbConnectionStatus::DeviceConnected;
        ci.deviceIsHub = p.hub != nullptr;
        ci.speed = BusSpeed(p.speed, extended);
        ci.currentConfigurationValue = 1;
        ci.deviceAddress = static_cast<std::uint16_t>(p.hub ? 100 + port : p.deviceIndex + 1);
        ci.numberOfOpenPipes = 2;
        auto& dd = ci.deviceDescriptor;
        dd.bcdUSB = id.bcdUsb;
        dd.bDeviceClass = p.hub ? 9 : 0;
        dd.idVendor = id.vid;
        dd.idProduct = id.pid;
        dd.bcdDevice = id.bcdDevice;
        dd.iManufacturer = id.manufacturer.empty() ? 0 : 1;
        dd.iProduct = id.product.empty() ? 0 : 2;
        dd.iSerialNumber = id.serial ? 3 : 0;
        return ci;
    }

    SimStation& s_;
    std::string core_;
};

// ---------------------------------------------------------------------------------------

SimStation::SimStation(std::filesystem::path volumeRoot) : volumeRoot_(std::move(volumeRoot)) {}

SimHub& SimStation::addRootHub(const std::string& id, std::uint32_t ports,
                               const std::string& kind) {
    std::lock_guard lock(m_);
    auto hub = std::make_unique<SimHub>();
    hub->id = id;
    hub->root = true;
    hub->rootKind = kind;
    hub->ports.resize(ports);
    hub->interfacePath = Format("\\\\?\\usb#%s#4&%x&0&0#%s", kind, Hash(id), kHubGuid);
    hub->instanceId = Format("USB\\%s\\4&%X&0&0", ToUpper(kind), Hash(id));
    roots_.push_back(std::move(hub));
    return *roots_.back();
}

SimHub& SimStation::addHub(const std::string& parentHub, std::uint32_t portNo,
                           const std::string& id, std::uint32_t ports, PortSpeed speed,
                           BusIdentity identity) {
    SimHub* made = nullptr;
    {
        std::lock_guard lock(m_);
        SimPort* p = port(parentHub, portNo);
        if (!p || p->hub || p->function)
            throw std::invalid_argument("port not free: " + id);
        const int tier = findHub(parentHub)->tier + 1;
        if (identity.vid == 0) {
            identity.vid = 0x05E3;
            identity.pid = speed >= PortSpeed::Super ? 0x0626 : 0x0610;
            identity.product = "USB Hub";
        }
        auto hub = std::make_unique<SimHub>();
        hub->id = id;
        hub->tier = tier;
        hub->identity = identity;
        hub->ports.resize(ports);
        const std::string vidpid = Format("VID_%04X&PID_%04X", identity.vid, identity.pid);
        const std::string inst = Format("5&%X&0&%u", Hash(id), portNo);
        hub->connectionName = Format("USB#%s#%s#%s", vidpid, inst, kHubGuid);
        hub->interfacePath = "\\\\?\\" + ToLower(hub->connectionName);
        hub->instanceId = Format("USB\\%s\\%s", vidpid, inst);
        p->speed = speed;
        p->removed = false;
        p->hub = std::move(hub);
        made = p->hub.get();
        refreshLocked();
    }
    emitPending();
    return *made;
}

bool SimStation::plug(const std::string& hubId, std::uint32_t portNo,
                      std::shared_ptr<UsbFunction> function, PortSpeed speed) {
    {
        std::lock_guard lock(m_);
        SimPort* p = port(hubId, portNo);
        if (!p || p->hub || p->function || !function)
            return false;
        p->speed = speed;
        p->removed = false;
        p->vetoes = 0;
        p->function = std::move(function);
        Device& d = newDevice(*p, hubId, portNo);
        d.diskNumber = d.function->diskNumber();
        if (d.diskNumber == 0)
            d.diskNumber = nextDisk_++;
        p->poweredSeen = portPowered(hubId);
        p->function->powerChanged(p->poweredSeen);
        p->function->watchBus([this] { poll(); });
        refreshLocked();
    }
    emitPending();
    return true;
}

SimStation::Device& SimStation::newDevice(SimPort& p, const std::string& hubId,
                                          std::uint32_t portNumber) {
    p.deviceIndex = nextDevice_++;
    Device& d = devices_[p.deviceIndex];
    d.function = p.function;
    d.hubId = hubId;
    d.portNumber = portNumber;
    d.driverKey = Format("%s\\%04u", kUsbClassGuid, p.deviceIndex);
    d.node = 1000 + p.deviceIndex;
    d.diskNode = 2000 + p.deviceIndex;
    return d;
}

bool SimStation::portPowered(const std::string& hubId) {
    bool powered = false;
    bool found = false;
    for (auto& r : roots_) {
        if (r->id == hubId)
            return r->powered;
        walk(*r, [&](SimHub& h, SimPort& q, bool on) {
            if (!found && q.hub && q.hub->id == hubId) {
                found = true;
                powered = on && !q.removed && q.hub->powered;
            }
            (void)h;
        });
        if (found)
            return powered;
    }
    return false;
}

std::shared_ptr<UsbFunction> SimStation::functionAt(const std::string& hubId,
                                                    std::uint32_t portNo) {
    std::lock_guard lock(m_);
    SimPort* p = port(hubId, portNo);
    return p ? p->function : nullptr;
}

bool SimStation::unplug(const std::string& hubId, std::uint32_t portNo) {
    {
        std::lock_guard lock(m_);
        SimPort* p = port(hubId, portNo);
        if (!p || (!p->hub && !p->function))
            return false;
        // Everything on and below the port leaves: removal events, then the records go.
        std::vector<std::uint32_t> gone;
        auto collect = [&](SimPort& q) {
            if (q.function)
                gone.push_back(q.deviceIndex);
        };
        collect(*p);
        if (p->hub)
            walk(*p->hub, [&](SimHub&, SimPort& q, bool) { collect(q); });
        for (std::uint32_t idx : gone) {
            Device& d = devices_.at(idx);
            if (d.live)
                queueRemoval(d);
            d.function->watchBus({});
            d.function->powerChanged(false);
            devices_.erase(idx);
        }
        p->hub.reset();
        p->function.reset();
        p->deviceIndex = 0;
    }
    emitPending();
    return true;
}

void SimStation::setHubPower(const std::string& hubId, bool on) {
    {
        std::lock_guard lock(m_);
        SimHub* h = findHub(hubId);
        if (!h)
            return;
        h->powered = on;
        refreshLocked();
    }
    emitPending();
}

void SimStation::bindPowerSwitch(const std::string& hubId, std::function<bool()> isOn,
                                 std::function<bool()> cc2) {
    {
        std::lock_guard lock(m_);
        powerSwitches_.push_back({hubId, std::move(isOn), std::move(cc2)});
        // The switch's state when it is bound is how the machine starts: no hold-up.
        instantSupply_ = true;
        refreshLocked();
        instantSupply_ = false;
    }
    emitPending();
}

bool SimStation::setCc2Port(const std::string& hubId, std::uint32_t portNo, std::uint32_t cc2Port) {
    std::lock_guard lock(m_);
    SimHub* h = findHub(hubId);
    if (!h || portNo == cc2Port || !port(hubId, portNo) || !port(hubId, cc2Port))
        return false;
    h->cc2Ports.emplace_back(portNo, cc2Port);
    return true;
}

void SimStation::movePort(SimHub& h, std::uint32_t from, std::uint32_t to) {
    SimPort& a = h.ports[from - 1];
    SimPort& b = h.ports[to - 1];
    if (!a.function || b.function || b.hub)
        return;
    auto it = devices_.find(a.deviceIndex);
    if (it != devices_.end()) {
        if (it->second.live) {
            queueRemoval(it->second);
            it->second.live = false;
        }
        it->second.portNumber = to;
    }
    b.function = std::move(a.function);
    b.speed = a.speed;  // the link the function negotiates
    b.deviceIndex = a.deviceIndex;
    b.poweredSeen = a.poweredSeen;
    b.removed = false;
    b.vetoes = a.vetoes;
    a.deviceIndex = 0;
    a.removed = false;
    a.vetoes = 0;
}

bool SimStation::setVetoes(const std::string& hubId, std::uint32_t portNo, std::uint32_t count) {
    std::lock_guard lock(m_);
    SimPort* p = port(hubId, portNo);
    if (!p)
        return false;
    p->vetoes = count;
    return true;
}

void SimStation::addVolume(SimVolume volume) {
    {
        std::lock_guard lock(m_);
        const char letter = ToUpperAscii(volume.letter);
        volume.letter = letter;
        const bool visible = volumeVisible(volume);
        volumes_[letter] = std::move(volume);
        if (visible) {
            pending_.push_back(
                {DeviceEvent::Kind::Arrival, DeviceEvent::Type::Volume, std::string(1, letter)});
        }
    }
    emitPending();
}

void SimStation::removeVolume(char letter) {
    {
        std::lock_guard lock(m_);
        auto it = volumes_.find(ToUpperAscii(letter));
        if (it == volumes_.end())
            return;
        if (volumeVisible(it->second)) {
            pending_.push_back({DeviceEvent::Kind::RemoveComplete, DeviceEvent::Type::Volume,
                                std::string(1, it->first)});
        }
        volumes_.erase(it);
    }
    emitPending();
}

std::optional<SimVolume> SimStation::visibleVolume(char letter) {
    std::lock_guard lock(m_);
    refreshLocked();
    auto it = volumes_.find(ToUpperAscii(letter));
    if (it == volumes_.end() || !volumeVisible(it->second))
        return std::nullopt;
    return it->second;
}

std::vector<SimVolume> SimStation::allVolumes() {
    std::lock_guard lock(m_);
    std::vector<SimVolume> out;
    for (auto& [letter, v] : volumes_)
        out.push_back(v);
    return out;
}

std::shared_ptr<SimVolumeContent> SimStation::volumeContent(
    char letter, const std::function<std::shared_ptr<SimVolumeContent>(const SimVolume&)>& make) {
    std::lock_guard lock(m_);
    auto it = volumes_.find(ToUpperAscii(letter));
    if (it == volumes_.end() || !volumeVisible(it->second))
        return nullptr;
    if (!it->second.content)
        it->second.content = make(it->second);
    return it->second.content;
}

void SimStation::clear() {
    std::lock_guard lock(m_);
    for (auto& [idx, d] : devices_)
        d.function->watchBus({});
    roots_.clear();
    devices_.clear();
    volumes_.clear();
    powerSwitches_.clear();
    pending_.clear();
}

void SimStation::poll() {
    {
        std::lock_guard lock(m_);
        refreshLocked();
    }
    emitPending();
}

void SimStation::setInfoV2Supported(bool supported) {
    std::lock_guard lock(m_);
    supportsInfoV2_ = supported;
}

std::string SimStation::storagePathOf(const UsbFunction& f) {
    std::lock_guard lock(m_);
    refreshLocked();
    for (auto& [idx, d] : devices_) {
        if (d.function.get() == &f && d.live)
            return d.storagePath;
    }
    return {};
}

std::uint32_t SimStation::diskNumberOf(const UsbFunction& f) {
    std::lock_guard lock(m_);
    for (auto& [idx, d] : devices_) {
        if (d.function.get() == &f)
            return d.diskNumber;
    }
    return 0;
}

std::shared_ptr<UsbFunction> SimStation::functionByPath(std::string_view path) {
    std::lock_guard lock(m_);
    refreshLocked();
    const std::string core = PathCore(path);
    // A volume: "\\.\E:".
    if (core.size() == 2 && core[1] == ':') {
        auto it = volumes_.find(ToUpperAscii(core[0]));
        if (it == volumes_.end() || !volumeVisible(it->second))
            return nullptr;
        return it->second.owner;
    }
    for (auto& [idx, d] : devices_) {
        if (!d.live || d.storage == StorageClass::None)
            continue;
        if (PathCore(d.storagePath) == core)
            return d.function;
        if (core == Format("physicaldrive%u", d.diskNumber))
            return d.function;
    }
    return nullptr;
}

std::optional<std::pair<std::string, std::uint32_t>> SimStation::portOf(const UsbFunction& f) {
    std::lock_guard lock(m_);
    for (auto& [idx, d] : devices_) {
        if (d.function.get() == &f)
            return std::pair{d.hubId, d.portNumber};
    }
    return std::nullopt;
}

std::optional<DevNode> SimStation::nodeOf(const UsbFunction& f) {
    std::lock_guard lock(m_);
    refreshLocked();
    for (auto& [idx, d] : devices_) {
        if (d.function.get() == &f && d.live)
            return d.node;
    }
    return std::nullopt;
}

const SimHub* SimStation::hub(const std::string& id) const {
    std::lock_guard lock(m_);
    return const_cast<SimStation*>(this)->findHub(id);
}

// ---- UsbTopology ----------------------------------------------------------------------

std::optional<std::vector<std::string>> SimStation::hubInterfacePaths() {
    std::vector<std::string> paths;
    {
        std::lock_guard lock(m_);
        refreshLocked();
        for (auto& r : roots_)
            paths.push_back(r->interfacePath);
        for (auto& r : roots_) {
            walk(*r, [&](SimHub& h, SimPort& p, bool powered) {
                if (p.hub && powered && !p.removed)
                    paths.push_back(p.hub->interfacePath);
                (void)h;
            });
        }
    }
    emitPending();
    return paths;
}

std::unique_ptr<UsbHub> SimStation::openHub(std::string_view path) {
    std::lock_guard lock(m_);
    if (!hubByPath(PathCore(path)))
        return nullptr;
    return std::make_unique<Hub>(*this, PathCore(path));
}

std::optional<std::string> SimStation::instanceIdOfDriverKey(std::string_view driverKey) {
    std::lock_guard lock(m_);
    refreshLocked();
    for (auto& [idx, d] : devices_) {
        if (d.live && EqualsNoCase(d.driverKey, driverKey))
            return d.instanceId;
    }
    return std::nullopt;
}

// ---- StorageEnumerator ----------------------------------------------------------------

std::optional<std::vector<StorageInterface>> SimStation::diskInterfaces() {
    return interfaces(StorageClass::Disk);
}

std::optional<std::vector<StorageInterface>> SimStation::opticalInterfaces() {
    return interfaces(StorageClass::Optical);
}

std::optional<std::vector<StorageInterface>> SimStation::interfaces(StorageClass c) {
    std::vector<StorageInterface> list;
    {
        std::lock_guard lock(m_);
        refreshLocked();
        for (auto& [idx, d] : devices_) {
            if (!d.live || d.storage != c)
                continue;
            list.push_back({d.storagePath, ToLower(d.instanceId), d.diskNode, d.node});
        }
    }
    emitPending();
    return list;
}

// ---- DeviceRemoval --------------------------------------------------------------------

RemovalResult SimStation::queryAndRemoveSubtree(DevNode node) {
    return remove(node);
}

RemovalResult SimStation::requestEject(DevNode node) {
    return remove(node);
}

RemovalResult SimStation::remove(DevNode node) {
    RemovalResult r;
    {
        std::lock_guard lock(m_);
        refreshLocked();
        Device* d = nullptr;
        for (auto& [idx, dev] : devices_) {
            if (dev.live && (dev.node == node || dev.diskNode == node))
                d = &dev;
        }
        if (!d)
            return r;  // no such device node
        SimPort* p = port(d->hubId, d->portNumber);
        if (p->vetoes > 0) {
            --p->vetoes;
            r.vetoType = 6;  // outstanding open
            r.vetoName = d->instanceId;
            return r;
        }
        // Stopped by the system: off the bus until it is plugged in again or its port
        // is power-cycled.
        p->removed = true;
        p->function->powerChanged(false);
        refreshLocked();
        r.callSucceeded = true;
    }
    emitPending();
    return r;
}

// ---- Hotplug --------------------------------------------------------------------------

void SimStation::setListener(Listener listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

void SimStation::emitPending() {
    std::vector<DeviceEvent> events;
    {
        std::lock_guard lock(m_);
        events.swap(pending_);
    }
    if (events.empty())
        return;
    Listener l;
    {
        std::lock_guard lock(listenerMutex_);
        l = listener_;
    }
    if (!l)
        return;
    for (const auto& e : events)
        l(e);
}

// ---- VolumeService --------------------------------------------------------------------

std::uint32_t SimStation::logicalDriveMask() {
    std::lock_guard lock(m_);
    refreshLocked();
    std::uint32_t mask = 0;
    for (auto& [letter, v] : volumes_) {
        if (letter >= 'A' && letter <= 'Z' && volumeVisible(v))
            mask |= 1u << (letter - 'A');
    }
    return mask;
}

DriveType SimStation::driveType(char letter) {
    std::lock_guard lock(m_);
    auto it = volumes_.find(ToUpperAscii(letter));
    if (it == volumes_.end() || !volumeVisible(it->second))
        return DriveType::NoRootDir;
    return it->second.type;
}

std::string SimStation::volumeDevicePath(char letter) {
    return Format("\\\\.\\%c:", ToUpperAscii(letter));
}

std::filesystem::path SimStation::rootPath(char letter) {
    return volumeRoot_ / std::string(1, ToUpperAscii(letter));
}

std::optional<std::uint64_t> SimStation::freeBytes(char letter) {
    std::lock_guard lock(m_);
    auto it = volumes_.find(ToUpperAscii(letter));
    if (it == volumes_.end() || !volumeVisible(it->second))
        return std::nullopt;
    return it->second.freeBytes;
}

std::unique_ptr<Volume> SimStation::openVolume(char, std::uint32_t* error) {
    if (error)
        *error = syserr::kNotSupported;
    return nullptr;
}

std::uint32_t SimStation::setLabel(char, std::string_view) {
    return syserr::kNotSupported;
}

std::optional<std::uint32_t> SimStation::volumeDiskNumber(char letter) {
    std::lock_guard lock(m_);
    auto it = volumes_.find(ToUpperAscii(letter));
    if (it == volumes_.end() || !volumeVisible(it->second))
        return std::nullopt;
    return it->second.deviceNumber;
}

// ---- internals ------------------------------------------------------------------------

SimHub* SimStation::findHub(const std::string& id) {
    SimHub* found = nullptr;
    for (auto& r : roots_) {
        if (r->id == id)
            return r.get();
        walk(*r, [&](SimHub&, SimPort& p, bool) {
            if (p.hub && p.hub->id == id)
                found = p.hub.get();
        });
        if (found)
            return found;
    }
    return nullptr;
}

SimHub* SimStation::hubByPath(std::string_view core) {
    // Only hubs that are on the bus answer.
    SimHub* found = nullptr;
    for (auto& r : roots_) {
        if (PathCore(r->interfacePath) == core)
            return r.get();
        walk(*r, [&](SimHub&, SimPort& p, bool powered) {
            if (!p.hub || !powered || p.removed || p.hub->tier > kMaxHubTier)
                return;
            if (PathCore(p.hub->interfacePath) == core || ToLower(p.hub->connectionName) == core)
                found = p.hub.get();
        });
        if (found)
            return found;
    }
    return nullptr;
}

SimPort* SimStation::port(const std::string& hubId, std::uint32_t portNo) {
    SimHub* h = findHub(hubId);
    if (!h || portNo == 0 || portNo > h->ports.size())
        return nullptr;
    return &h->ports[portNo - 1];
}

void SimStation::walk(SimHub& hub, const std::function<void(SimHub&, SimPort&, bool)>& f,
                      bool powered) {
    const bool here = powered && hub.powered;
    for (auto& p : hub.ports) {
        f(hub, p, here);
        if (p.hub)
            walk(*p.hub, f, here && !p.removed && p.hub->tier <= kMaxHubTier);
    }
}

bool SimStation::portLive(const SimHub& hub, const SimPort& p) {
    // The hub itself must be reachable and its port power on.
    if (!hub.powered || p.removed)
        return false;
    if (!hub.root && !hubReachable(hub))
        return false;
    if (p.hub)
        return p.hub->tier <= kMaxHubTier;
    if (!p.function)
        return false;
    auto it = devices_.find(p.deviceIndex);
    return it != devices_.end() && it->second.live;
}

bool SimStation::hubReachable(const SimHub& target) {
    bool reachable = false;
    for (auto& r : roots_) {
        walk(*r, [&](SimHub&, SimPort& p, bool powered) {
            if (p.hub.get() == &target)
                reachable = powered && !p.removed && target.tier <= kMaxHubTier;
        });
    }
    return reachable;
}

bool SimStation::volumeVisible(const SimVolume& v) {
    if (!v.owner)
        return true;
    for (auto& [idx, d] : devices_) {
        if (d.function == v.owner)
            return d.live && d.storage == StorageClass::Disk;
    }
    return false;
}

void SimStation::queueArrival(const Device& d) {
    if (d.storage == StorageClass::None)
        return;
    pending_.push_back(
        {DeviceEvent::Kind::Arrival, DeviceEvent::Type::DeviceInterface, d.storagePath});
    for (auto& [letter, v] : volumes_) {
        if (v.owner == d.function) {
            pending_.push_back(
                {DeviceEvent::Kind::Arrival, DeviceEvent::Type::Volume, std::string(1, letter)});
        }
    }
}

void SimStation::queueRemoval(const Device& d) {
    if (d.storage == StorageClass::None)
        return;
    for (auto& [letter, v] : volumes_) {
        if (v.owner == d.function) {
            pending_.push_back({DeviceEvent::Kind::RemoveComplete, DeviceEvent::Type::Volume,
                                std::string(1, letter)});
        }
    }
    pending_.push_back(
        {DeviceEvent::Kind::RemoveComplete, DeviceEvent::Type::DeviceInterface, d.storagePath});
}

void SimStation::enumerate(Device& d) {
    d.identity = d.function->identity();
    d.storage = d.function->storageClass();
    const BusIdentity& id = d.identity;
    const std::string vidpid = Format("VID_%04X&PID_%04X", id.vid, id.pid);
    // The serial number names the device only while no other device on the bus has the
    // same VID, PID and serial; a second one gets an id of its place, as one without.
    bool serialNames = id.serial.has_value();
    if (serialNames) {
        const std::string bySerial = Format("USB\\%s\\%s", vidpid, *id.serial);
        for (const auto& [index, other] : devices_) {
            if (&other != &d && other.live && EqualsNoCase(other.instanceId, bySerial))
                serialNames = false;
        }
    }
    const std::string tail =
        serialNames ? *id.serial : Format("5&%X&0&%u", Hash(d.hubId), d.portNumber);
    d.instanceId = Format("USB\\%s\\%s", vidpid, tail);
    d.storagePath.clear();
    if (d.storage == StorageClass::None)
        return;
    const std::string ven = IdPart(id.manufacturer.empty() ? "Generic" : id.manufacturer, 8);
    const std::string prod = IdPart(id.product.empty() ? "Disk" : id.product, 16);
    const char* kind = d.storage == StorageClass::Optical ? "cdrom" : "disk";
    const char* guid = d.storage == StorageClass::Optical ? kCdromGuid : kDiskGuid;
    if (d.function->uas()) {
        d.storagePath = ToLower(Format("\\\\?\\scsi#%s&ven_%s&prod_%s#5&%x&0&000000#", kind, ven,
                                       prod, Hash(d.instanceId))) +
                        guid;
    } else {
        d.storagePath =
            ToLower(Format("\\\\?\\usbstor#%s&ven_%s&prod_%s&rev_%04x#%s&0#", kind, ven, prod,
                           id.bcdDevice,
                           serialNames ? *id.serial : Format("%x", Hash(d.instanceId)))) +
            guid;
    }
}

void SimStation::refreshLocked() {
    for (auto& sw : powerSwitches_) {
        SimHub* h = findHub(sw.hub);
        if (!h)
            continue;
        h->powered = sw.isOn();
        // The plug turned over: the functions show on their other ports (as a power
        // cycle: the lines switch through the power going off).
        const bool cc2 = h->powered && sw.cc2 ? sw.cc2() : h->cc2;
        if (cc2 != h->cc2) {
            h->cc2 = cc2;
            for (const auto& [home, other] : h->cc2Ports) {
                movePort(*h, cc2 ? home : other, cc2 ? other : home);
                SimPort& p = h->ports[(cc2 ? other : home) - 1];
                if (p.function && p.poweredSeen) {
                    p.function->powerChanged(false);
                    p.poweredSeen = false;
                }
            }
        }
    }
    for (auto& r : roots_) {
        walk(*r, [&](SimHub& h, SimPort& p, bool powered) {
            if (!p.function)
                return;
            // The supply follows the port power; a power cycle also ends an eject.
            if (powered != p.poweredSeen) {
                p.poweredSeen = powered;
                if (powered)
                    p.removed = false;
                if (instantSupply_)
                    p.function->powerChanged(powered);
                else
                    p.function->supplyChanged(powered);
            }
            Device* d = &devices_.at(p.deviceIndex);
            const bool now =
                (powered || p.function->onCharge()) && !p.removed && p.function->onBus();
            const std::uint64_t generation = p.function->busGeneration();
            if (now && d->live && generation != d->generation) {
                // It left and came back between two looks: it goes, then arrives anew.
                queueRemoval(*d);
                d->live = false;
            }
            if (now == d->live)
                return;
            if (now) {
                if (d->arrivedBefore) {
                    // Enumerated afresh: a new device record with its own names.
                    Device old = std::move(*d);
                    devices_.erase(p.deviceIndex);
                    d = &newDevice(p, h.id, old.portNumber);
                    d->diskNumber = old.diskNumber;
                }
                enumerate(*d);
                d->live = true;
                d->arrivedBefore = true;
                d->generation = generation;
                queueArrival(*d);
            } else {
                queueRemoval(*d);
                d->live = false;
            }
        });
    }
}

}  // namespace vq::sim
