#include "platform/sim/SimScenario.h"

#include "platform/sim/SimBridge.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "base/Text.h"

namespace vq::sim {

namespace {

using nlohmann::json;

// A problem found while reading; carries the field path.
struct Bad {
    std::string message;
};

class Reader {
  public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(const std::string& field, const std::string& why) const {
        throw Bad{(field.empty() ? path_ : path_ + "." + field) + ": " + why};
    }
    std::string at(const std::string& field) const { return path_ + "." + field; }
    std::string at(std::size_t index) const { return path_ + "[" + std::to_string(index) + "]"; }

    void onlyKeys(const json& j, std::initializer_list<const char*> keys) const {
        if (!j.is_object())
            fail("", "must be an object");
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = false;
            for (const char* k : keys)
                known = known || it.key() == k;
            if (!known)
                fail(it.key(), "unknown field");
        }
    }

    template <typename T>
    T number(const json& j, const char* field, T def, T lo, T hi) const {
        if (!j.contains(field))
            return def;
        const json& v = j[field];
        if (!v.is_number())
            fail(field, "must be a number");
        const double d = v.get<double>();
        if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) {
            fail(field, "out of range " + std::to_string(lo) + ".." + std::to_string(hi));
        }
        if constexpr (std::is_integral_v<T>) {
            if (!v.is_number_integer() && !v.is_number_unsigned())
                fail(field, "must be a whole number");
            return static_cast<T>(v.get<std::int64_t>());
        } else {
            return static_cast<T>(d);
        }
    }

    std::string text(const json& j, const char* field, const std::string& def,
                     std::size_t max = 255) const {
        if (!j.contains(field))
            return def;
        if (!j[field].is_string())
            fail(field, "must be a string");
        std::string s = j[field].get<std::string>();
        if (s.size() > max)
            fail(field, "longer than " + std::to_string(max) + " characters");
        return s;
    }

    bool flag(const json& j, const char* field, bool def) const {
        if (!j.contains(field))
            return def;
        if (!j[field].is_boolean())
            fail(field, "must be true or false");
        return j[field].get<bool>();
    }

    std::uint16_t hex16(const json& j, const char* field, std::uint16_t def) const {
        if (!j.contains(field))
            return def;
        const std::string s = text(j, field, "");
        if (s.empty() || s.size() > 4)
            fail(field, "must be 1 to 4 hexadecimal digits");
        for (char c : s) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                fail(field, "must be 1 to 4 hexadecimal digits");
            }
        }
        return static_cast<std::uint16_t>(ParseHex(s));
    }

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

PortSpeed ReadSpeed(const Reader& r, const json& j, PortSpeed def) {
    if (!j.contains("speed"))
        return def;
    const std::string s = r.text(j, "speed", "");
    if (s == "low")
        return PortSpeed::Low;
    if (s == "full")
        return PortSpeed::Full;
    if (s == "high")
        return PortSpeed::High;
    if (s == "super")
        return PortSpeed::Super;
    if (s == "superplus")
        return PortSpeed::SuperPlus;
    r.fail("speed", "must be low, full, high, super or superplus");
}

char ReadLetter(const Reader& r, const json& j, const char* field) {
    const std::string s = r.text(j, field, "");
    if (s.size() != 1 || !std::isalpha(static_cast<unsigned char>(s[0]))) {
        r.fail(field, "must be one drive letter A to Z");
    }
    return ToUpperAscii(s[0]);
}

ScenarioVolume ReadVolume(const Reader& r, const json& j, bool onBridge) {
    if (onBridge) {
        r.onlyKeys(j, {"letter", "freeMiB", "label"});
    } else {
        r.onlyKeys(j, {"letter", "type", "freeMiB", "label"});
    }
    ScenarioVolume v;
    v.letter = ReadLetter(r, j, "letter");
    const std::string type = r.text(j, "type", "fixed");
    if (type == "fixed") {
        v.type = DriveType::Fixed;
    } else if (type == "remote") {
        v.type = DriveType::Remote;
    } else if (type == "removable") {
        v.type = DriveType::Removable;
    } else if (type == "cdrom") {
        v.type = DriveType::CdRom;
    } else {
        r.fail("type", "must be fixed, remote, removable or cdrom");
    }
    v.freeBytes = r.number<std::uint64_t>(j, "freeMiB", 0, 0, 1ull << 32) << 20;
    v.label = r.text(j, "label", "", 32);
    return v;
}

BusIdentity ReadUsbIdentity(const Reader& r, const json& j) {
    r.onlyKeys(j, {"vid", "pid", "bcdDevice", "manufacturer", "product", "serial"});
    BusIdentity id;
    id.vid = r.hex16(j, "vid", 0x1234);
    id.pid = r.hex16(j, "pid", 0x5678);
    id.bcdDevice = r.hex16(j, "bcdDevice", 0x0100);
    id.manufacturer = r.text(j, "manufacturer", "", 126);
    id.product = r.text(j, "product", "", 126);
    if (j.contains("serial") && !j["serial"].is_null())
        id.serial = r.text(j, "serial", "", 126);
    return id;
}

DriveConfig ReadDrive(const Reader& r, const json& j) {
    r.onlyKeys(j, {"packet", "model", "serial", "firmware", "sizeMiB", "sectors", "sectorSize",
                   "smartFailing", "mbps", "hiddenSectors"});
    DriveConfig d;
    d.packet = r.flag(j, "packet", false);
    d.model = r.text(j, "model", d.model, 40);
    d.serial = r.text(j, "serial", d.serial, 20);
    d.firmwareRevision = r.text(j, "firmware", d.firmwareRevision, 8);
    d.logicalSectorSize = r.number<std::uint32_t>(j, "sectorSize", 512, 512, 4096);
    if (d.logicalSectorSize != 512 && d.logicalSectorSize != 4096) {
        r.fail("sectorSize", "must be 512 or 4096");
    }
    if (j.contains("sizeMiB") && j.contains("sectors"))
        r.fail("sectors", "give sizeMiB or sectors, not both");
    if (j.contains("sizeMiB")) {
        const auto mib = r.number<std::uint64_t>(j, "sizeMiB", 0, 1, 1ull << 26);
        d.sectors = (mib << 20) / d.logicalSectorSize;
    } else {
        d.sectors = r.number<std::uint64_t>(j, "sectors", d.sectors, 1, 1ull << 48);
    }
    if (j.contains("hiddenSectors")) {
        d.hiddenSectors = r.number<std::uint64_t>(j, "hiddenSectors", 0, 0, 1u << 24);
        if (d.packet && *d.hiddenSectors > 0)
            r.fail("hiddenSectors", "an ATAPI drive has no hidden sectors");
    }
    d.smartFailing = r.flag(j, "smartFailing", false);
    d.megabytesPerSecond = r.number<double>(j, "mbps", d.megabytesPerSecond, 0.1, 10000.0);
    return d;
}

std::vector<std::uint8_t> ReadBytes(const Reader& r, const json& j, const char* field,
                                    std::size_t max) {
    std::vector<std::uint8_t> out;
    if (!j.contains(field))
        return out;
    const json& a = j[field];
    if (!a.is_array())
        r.fail(field, "must be an array of bytes");
    if (a.size() > max)
        r.fail(field, "more than " + std::to_string(max) + " bytes");
    for (const auto& b : a) {
        if (!b.is_number_unsigned() || b.get<std::uint64_t>() > 255) {
            r.fail(field, "must hold numbers 0 to 255");
        }
        out.push_back(static_cast<std::uint8_t>(b.get<std::uint64_t>()));
    }
    return out;
}

FaultSpec ReadFault(const Reader& r, const json& j) {
    r.onlyKeys(j, {"type", "command", "n", "times", "address", "mask", "bytes", "lba", "vid", "pid",
                   "serial"});
    FaultSpec f;
    if (const auto type = FaultTypeFromName(r.text(j, "type", ""))) {
        f.type = *type;
    } else {
        r.fail("type",
               "must be failCommand, timeout, corruptProgram, corruptSector, stayBusy, noReturn, "
               "otherIdentity, vanishMidTransfer or outOfSpace");
    }
    const bool identity = f.type == FaultSpec::Type::OtherIdentity;
    for (const char* field : {"vid", "pid", "serial"}) {
        if (j.contains(field) && !identity)
            r.fail(field, "only an otherIdentity fault takes it");
    }
    if (j.contains("lba") && f.type != FaultSpec::Type::CorruptSector)
        r.fail("lba", "only a corruptSector fault takes it");
    if (j.contains("vid"))
        f.vid = r.hex16(j, "vid", 0);
    if (j.contains("pid"))
        f.pid = r.hex16(j, "pid", 0);
    if (j.contains("serial"))
        f.serial = r.text(j, "serial", "", 126);
    f.lba = r.number<std::uint64_t>(j, "lba", 0, 0, (1ull << 48) - 1);
    f.command = r.text(j, "command", "");
    if (!f.command.empty() && f.command != "any" && !CommandKindFromName(f.command))
        r.fail("command", "is not a command name");
    f.n = r.number<std::uint32_t>(j, "n", 1, 1, 1u << 30);
    f.times = r.number<std::uint32_t>(j, "times", 1, 0, 1u << 30);
    f.address = r.number<std::uint32_t>(j, "address", 0, 0, 0xFFFFFFFF);
    if (f.type == FaultSpec::Type::CorruptSector && f.address >= 4096)
        r.fail("address", "must be a byte of the sector, 0..4095");
    f.mask = r.number<std::uint8_t>(j, "mask", 1, 0, 255);
    f.bytes = r.number<std::uint64_t>(j, "bytes", 0, 0, 1ull << 50);
    return f;
}

BridgeConfig ReadBridge(const Reader& r, const json& j, ScenarioDevice& dev) {
    r.onlyKeys(j, {"chipKind",
                   "revision",
                   "firmware",
                   "firmwareVersion",
                   "eeprom",
                   "flashType",
                   "flashSize",
                   "flashProtected",
                   "parallelFlashType",
                   "identity",
                   "master",
                   "slave",
                   "uas",
                   "volumes",
                   "switches",
                   "faults",
                   "registers",
                   "inquiryVendor",
                   "inquiryProduct",
                   "resetDelayMs",
                   "powerOffMs",
                   "chipFlag",
                   "busMiBps",
                   "stepCode",
                   "romVersion",
                   "modeByte",
                   "diskFaults"});
    BridgeConfig b;
    b.kind = r.number<std::uint8_t>(j, "chipKind", b.kind, 1, 35);
    b.revision = r.number<std::uint8_t>(j, "revision", b.revision, 0, 9);
    b.firmwarePresent = r.flag(j, "firmware", b.firmwarePresent);
    if (j.contains("firmwareVersion")) {
        const auto v = ReadBytes(r, j, "firmwareVersion", 6);
        if (v.size() != 6)
            r.fail("firmwareVersion", "must hold 6 bytes");
        std::copy(v.begin(), v.end(), b.firmwareVersion.begin());
    }
    if (j.contains("eeprom"))
        b.hasEeprom = r.flag(j, "eeprom", false);
    if (j.contains("flashType")) {
        const auto t = r.number<int>(j, "flashType", 255, -1, 255);
        b.flashType = static_cast<std::uint8_t>(t < 0 ? 255 : t);
    }
    b.flashSize = r.number<std::uint32_t>(j, "flashSize", 0, 0, 64u << 20);
    b.flashProtected = r.flag(j, "flashProtected", false);
    b.parallelFlashType = r.number<std::uint8_t>(j, "parallelFlashType", 0, 0, 2);
    if (j.contains("stepCode"))
        b.stepCode = r.number<std::uint8_t>(j, "stepCode", 0, 0, 255);
    b.romVersion = r.number<std::uint8_t>(j, "romVersion", b.romVersion, 0, 255);
    b.modeByte = r.number<std::uint8_t>(j, "modeByte", b.modeByte, 0, 255);
    b.inquiryVendor = r.text(j, "inquiryVendor", b.inquiryVendor, 8);
    b.inquiryProduct = r.text(j, "inquiryProduct", b.inquiryProduct, 16);
    b.timing.resetDelayMs =
        r.number<std::uint32_t>(j, "resetDelayMs", b.timing.resetDelayMs, 0, 600000);
    b.timing.powerOffMs = r.number<std::uint32_t>(j, "powerOffMs", 0, 0, 60000);
    b.chipFlag = r.flag(j, "chipFlag", false) ? 1 : 0;
    // 0: the figure of the port's speed (set when the station is built).
    b.timing.busMegabytesPerSecond = r.number<double>(j, "busMiBps", 0.0, 0.0, 10000.0);
    if (j.contains("identity")) {
        const Reader ir(r.at("identity"));
        const json& id = j["identity"];
        ir.onlyKeys(id, {"vid", "pid", "manufacturer", "product", "serial"});
        b.defaultIdentity.vid = ir.hex16(id, "vid", b.defaultIdentity.vid);
        b.defaultIdentity.pid = ir.hex16(id, "pid", b.defaultIdentity.pid);
        b.defaultIdentity.manufacturer =
            ir.text(id, "manufacturer", b.defaultIdentity.manufacturer, 126);
        b.defaultIdentity.product = ir.text(id, "product", b.defaultIdentity.product, 126);
        b.defaultIdentity.serial = ir.text(id, "serial", b.defaultIdentity.serial, 126);
    }
    if (j.contains("master")) {
        if (j["master"].is_null()) {
            b.master.reset();
        } else {
            b.master = ReadDrive(Reader(r.at("master")), j["master"]);
        }
    }
    if (j.contains("slave") && !j["slave"].is_null()) {
        b.slave = ReadDrive(Reader(r.at("slave")), j["slave"]);
    }
    dev.uas = r.flag(j, "uas", false);
    if (j.contains("volumes")) {
        if (!j["volumes"].is_array())
            r.fail("volumes", "must be an array");
        if (!b.master || b.master->packet)
            r.fail("volumes", "need an ATA master drive");
        const Reader vr(r.at("volumes"));
        for (std::size_t i = 0; i < j["volumes"].size(); ++i) {
            dev.volumes.push_back(ReadVolume(Reader(vr.at(i)), j["volumes"][i], true));
        }
    }
    dev.switchesHub = r.text(j, "switches", "");
    if (j.contains("faults")) {
        if (!j["faults"].is_array())
            r.fail("faults", "must be an array");
        const Reader fr(r.at("faults"));
        for (std::size_t i = 0; i < j["faults"].size(); ++i) {
            b.faults.push_back(ReadFault(Reader(fr.at(i)), j["faults"][i]));
        }
    }
    if (j.contains("diskFaults")) {
        const Reader dr(r.at("diskFaults"));
        const json& d = j["diskFaults"];
        dr.onlyKeys(d, {"noVolume", "formatExitCode", "labelError", "lockRefused", "writeFailAt",
                        "diskFullMiB", "corruptCopiedFile"});
        SimDiskFaults& f = dev.diskFaults;
        f.volumesNeverAppear = dr.flag(d, "noVolume", false);
        f.formatExitCode = dr.number<int>(d, "formatExitCode", 0, 0, 255);
        f.labelError = dr.number<std::uint32_t>(d, "labelError", 0, 0, 65535);
        f.lockRefused = dr.flag(d, "lockRefused", false);
        if (d.contains("writeFailAt"))
            f.writeFailsAtByte = dr.number<std::uint64_t>(d, "writeFailAt", 0, 0, 1ull << 50);
        if (d.contains("diskFullMiB"))
            f.diskFullAtBytes = dr.number<std::uint64_t>(d, "diskFullMiB", 0, 0, 1ull << 30) << 20;
        f.corruptCopiedFile = dr.number<std::uint32_t>(d, "corruptCopiedFile", 0, 0, 1000000);
    }
    if (j.contains("registers")) {
        if (!j["registers"].is_object())
            r.fail("registers", "must map \"ADDR\" (hex) to bytes");
        const Reader rr(r.at("registers"));
        for (auto it = j["registers"].begin(); it != j["registers"].end(); ++it) {
            const std::string& key = it.key();
            if (key.empty() || key.size() > 4 ||
                key.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                rr.fail(key, "register addresses are 1 to 4 hexadecimal digits");
            }
            json one = json::object();
            one["v"] = it.value();
            const auto bytes = ReadBytes(Reader(rr.at(key)), one, "v", 256);
            b.registers.emplace_back(static_cast<std::uint16_t>(ParseHex(key)), bytes);
        }
    }
    return b;
}

// Hub levels a file may nest (a real machine uses at most six; deeper ones are kept so a
// scenario can show what the station makes of them).
constexpr int kMaxHubNesting = 32;

void ReadDevices(const Reader& r, const json& list, std::uint32_t portCount,
                 std::vector<ScenarioDevice>& out, std::set<std::string>& hubIds, int depth);

ScenarioDevice ReadDevice(const Reader& r, const json& j, std::uint32_t portCount,
                          std::set<std::string>& hubIds, int depth) {
    r.onlyKeys(j, {"port", "cc2Port", "speed", "vetoes", "hub", "bridge", "usb"});
    ScenarioDevice d;
    if (!j.contains("port"))
        r.fail("port", "missing");
    d.port = r.number<std::uint32_t>(j, "port", 0, 1, 255);
    if (d.port > portCount) {
        r.fail("port", std::to_string(d.port) + " is above the hub's " + std::to_string(portCount) +
                           " ports");
    }
    d.vetoes = r.number<std::uint32_t>(j, "vetoes", 0, 0, 1000);
    const int kinds = j.contains("hub") + j.contains("bridge") + j.contains("usb");
    if (kinds != 1)
        r.fail("", "needs exactly one of hub, bridge or usb");
    if (j.contains("cc2Port")) {
        if (j.contains("hub"))
            r.fail("cc2Port", "only a device with a plug (bridge or usb) can be turned over");
        d.cc2Port = r.number<std::uint32_t>(j, "cc2Port", 0, 1, 255);
        if (d.cc2Port > portCount) {
            r.fail("cc2Port", std::to_string(d.cc2Port) + " is above the hub's " +
                                  std::to_string(portCount) + " ports");
        }
        if (d.cc2Port == d.port)
            r.fail("cc2Port", "must differ from port");
    }
    if (j.contains("hub")) {
        d.kind = ScenarioDevice::Kind::Hub;
        if (depth >= kMaxHubNesting)
            r.fail("hub", "hubs nested more than " + std::to_string(kMaxHubNesting) + " deep");
        d.speed = ReadSpeed(r, j, PortSpeed::High);
        const Reader hr(r.at("hub"));
        const json& h = j["hub"];
        hr.onlyKeys(h, {"id", "ports", "vid", "pid", "product", "devices"});
        d.hubId = hr.text(h, "id", "");
        if (d.hubId.empty())
            hr.fail("id", "missing");
        if (!hubIds.insert(d.hubId).second)
            hr.fail("id", "\"" + d.hubId + "\" is used twice");
        d.hubPorts = hr.number<std::uint32_t>(h, "ports", 4, 0, 15);
        d.hubIdentity.vid = hr.hex16(h, "vid", 0x05E3);
        d.hubIdentity.pid = hr.hex16(h, "pid", d.speed >= PortSpeed::Super ? 0x0626 : 0x0610);
        d.hubIdentity.product = hr.text(h, "product", "USB Hub", 126);
        if (h.contains("devices")) {
            ReadDevices(Reader(hr.at("devices")), h["devices"], d.hubPorts, d.children, hubIds,
                        depth + 1);
        }
    } else if (j.contains("bridge")) {
        d.kind = ScenarioDevice::Kind::Bridge;
        d.speed = ReadSpeed(r, j, PortSpeed::High);
        d.bridge = ReadBridge(Reader(r.at("bridge")), j["bridge"], d);
    } else {
        d.kind = ScenarioDevice::Kind::Usb;
        d.speed = ReadSpeed(r, j, PortSpeed::Full);
        d.usb = ReadUsbIdentity(Reader(r.at("usb")), j["usb"]);
    }
    return d;
}

void ReadDevices(const Reader& r, const json& list, std::uint32_t portCount,
                 std::vector<ScenarioDevice>& out, std::set<std::string>& hubIds, int depth) {
    if (!list.is_array())
        r.fail("", "must be an array");
    std::set<std::uint32_t> taken;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Reader dr(r.at(i));
        ScenarioDevice d = ReadDevice(dr, list[i], portCount, hubIds, depth);
        if (!taken.insert(d.port).second) {
            dr.fail("port", "port " + std::to_string(d.port) + " already holds a device");
        }
        if (d.cc2Port && !taken.insert(d.cc2Port).second) {
            dr.fail("cc2Port", "port " + std::to_string(d.cc2Port) + " already holds a device");
        }
        out.push_back(std::move(d));
    }
}

void CheckSwitches(const Reader& r, const std::vector<ScenarioDevice>& list,
                   const std::set<std::string>& hubIds) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& d = list[i];
        if (d.kind == ScenarioDevice::Kind::Bridge && !d.switchesHub.empty() &&
            !hubIds.contains(d.switchesHub)) {
            Reader(r.at(i)).fail("bridge.switches", "no hub \"" + d.switchesHub + "\"");
        }
        if (d.kind == ScenarioDevice::Kind::Hub) {
            CheckSwitches(Reader(r.at(i) + ".hub.devices"), d.children, hubIds);
        }
    }
}

Scenario Read(const json& j) {
    const Reader r("scenario");
    r.onlyKeys(j, {"name", "comment", "timeScale", "os", "systemDrive", "volumes", "rootHubs",
                   "formatPrompt"});
    Scenario s;
    s.name = r.text(j, "name", "", 200);
    s.timeScale = r.number<double>(j, "timeScale", 0.0, 0.0, 100.0);
    s.formatPrompt = r.flag(j, "formatPrompt", false);
    if (j.contains("os")) {
        const Reader o(r.at("os"));
        o.onlyKeys(j["os"], {"major", "minor", "servicePack"});
        s.os.major = o.number<unsigned>(j["os"], "major", 10, 4, 99);
        s.os.minor = o.number<unsigned>(j["os"], "minor", 0, 0, 99);
        s.os.servicePackMajor = o.number<unsigned>(j["os"], "servicePack", 0, 0, 99);
    }
    if (j.contains("systemDrive"))
        s.systemDrive = ReadLetter(r, j, "systemDrive");
    std::set<char> letters;
    if (j.contains("volumes")) {
        if (!j["volumes"].is_array())
            r.fail("volumes", "must be an array");
        const Reader vr(r.at("volumes"));
        for (std::size_t i = 0; i < j["volumes"].size(); ++i) {
            s.volumes.push_back(ReadVolume(Reader(vr.at(i)), j["volumes"][i], false));
            if (!letters.insert(s.volumes.back().letter).second) {
                Reader(vr.at(i)).fail("letter", "drive letter used twice");
            }
        }
    }
    if (!j.contains("rootHubs") || !j["rootHubs"].is_array() || j["rootHubs"].empty()) {
        r.fail("rootHubs", "must list at least one root hub");
    }
    std::set<std::string> hubIds;
    const Reader hr(r.at("rootHubs"));
    for (std::size_t i = 0; i < j["rootHubs"].size(); ++i) {
        const Reader one(hr.at(i));
        const json& h = j["rootHubs"][i];
        one.onlyKeys(h, {"id", "kind", "ports", "devices"});
        ScenarioHub hub;
        hub.id = one.text(h, "id", "root" + std::to_string(i));
        if (!hubIds.insert(hub.id).second)
            one.fail("id", "\"" + hub.id + "\" is used twice");
        hub.kind = one.text(h, "kind", hub.kind);
        // The name inside the hub's interface path: "root_hub", "root_hub20", "root_hub30",
        // or another controller's own name (the station walks only the root hubs it knows).
        if (hub.kind.empty() || hub.kind.find_first_not_of(
                                    "abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) {
            one.fail("kind", "must be a lower-case name such as root_hub30");
        }
        hub.ports = one.number<std::uint32_t>(h, "ports", 4, 0, 31);
        if (h.contains("devices")) {
            ReadDevices(Reader(one.at("devices")), h["devices"], hub.ports, hub.devices, hubIds, 0);
        }
        s.rootHubs.push_back(std::move(hub));
    }
    // Drive letters on bridges must not clash with each other or with the machine's.
    std::function<void(const Reader&, const std::vector<ScenarioDevice>&)> letterCheck =
        [&](const Reader& lr, const std::vector<ScenarioDevice>& list) {
            for (std::size_t i = 0; i < list.size(); ++i) {
                for (const auto& v : list[i].volumes) {
                    if (!letters.insert(v.letter).second) {
                        Reader(lr.at(i)).fail("bridge.volumes", std::string("drive letter ") +
                                                                    v.letter + " used twice");
                    }
                }
                letterCheck(Reader(lr.at(i) + ".hub.devices"), list[i].children);
            }
        };
    for (std::size_t i = 0; i < s.rootHubs.size(); ++i) {
        const Reader dr(hr.at(i) + ".devices");
        letterCheck(dr, s.rootHubs[i].devices);
        CheckSwitches(dr, s.rootHubs[i].devices, hubIds);
    }
    return s;
}

}  // namespace

std::variant<Scenario, ScenarioError> ParseScenario(std::string_view text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded())
        return ScenarioError{"scenario: not valid JSON"};
    try {
        return Read(j);
    } catch (const Bad& b) {
        return ScenarioError{b.message};
    } catch (const std::exception& e) {
        return ScenarioError{std::string("scenario: ") + e.what()};
    }
}

std::variant<Scenario, ScenarioError> LoadScenarioFile(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        return ScenarioError{file.string() + ": not a readable file"};
    }
    if (std::filesystem::file_size(file, ec) > (16u << 20)) {
        return ScenarioError{file.string() + ": larger than 16 MiB"};
    }
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return ScenarioError{file.string() + ": cannot be opened"};
    std::ostringstream ss;
    ss << in.rdbuf();
    auto r = ParseScenario(ss.str());
    if (auto* e = std::get_if<ScenarioError>(&r))
        e->message = file.string() + ": " + e->message;
    return r;
}

}  // namespace vq::sim
