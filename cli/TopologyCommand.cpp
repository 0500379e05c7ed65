// "vqmp-cli topology": the USB hub tree as the machine shows it to the station, with the
// ports, their speeds, and the devices, hubs and storage interfaces that hang there.
#include <CLI/CLI.hpp>
#include <iostream>
#include <map>
#include <set>

#include "base/Format.h"
#include "base/Text.h"
#include "cli/CliContext.h"
#include "platform/StorageEnumerator.h"
#include "platform/UsbTopology.h"

namespace vq::cli {

namespace {

const char* SpeedName(const UsbConnectionInfo& info, std::optional<UsbConnectionInfoV2> v2) {
    if (v2 && (v2->flags & UsbConnectionInfoV2::kOperatingAtSuperSpeedPlusOrHigher)) {
        return "SuperSpeed+";
    }
    switch (info.speed) {
        case 0:
            return "low";
        case 1:
            return "full";
        case 2:
            return "high";
        case 3:
            return "SuperSpeed";
        default:
            return "?";
    }
}

std::string Text(UsbHub& hub, std::uint32_t port, std::uint8_t index) {
    if (index == 0)
        return {};
    const auto d = hub.stringDescriptor(port, index, 0x0409, 255);
    if (!d)
        return {};
    std::u16string w;
    for (std::size_t i = 2; i + 1 < d->size(); i += 2)
        w.push_back(static_cast<char16_t>((*d)[i] | ((*d)[i + 1] << 8)));
    return Format("%ws", w);
}

struct Printer {
    explicit Printer(UsbTopology& u) : usb(u) {}
    UsbTopology& usb;
    std::map<std::string, std::string> storageByParent;  // lower-case instance id -> path
    std::set<std::string> shown;                         // hubs printed (path cores)
    std::uint32_t devices = 0;

    static std::string Core(std::string_view path) {
        if (path.starts_with("\\\\.\\") || path.starts_with("\\\\?\\"))
            path.remove_prefix(4);
        return ToLower(path);
    }

    void hub(UsbHub& h, int depth) {
        const auto ports = h.numberOfPorts();
        if (!ports)
            return;
        const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
        for (std::uint32_t p = 1; p <= *ports; ++p) {
            const auto info = h.connectionInfoEx(p);
            if (!info)
                continue;
            if (info->connectionStatus != UsbConnectionStatus::DeviceConnected) {
                std::cout << indent << Format("port %-2u -\n", p);
                continue;
            }
            const auto v2 = h.connectionInfoExV2(p, UsbConnectionInfoV2::kUsb300);
            const auto& d = info->deviceDescriptor;
            std::cout << indent
                      << Format("port %-2u %-11s %04X:%04X ", p, SpeedName(*info, v2), d.idVendor,
                                d.idProduct);
            if (info->deviceIsHub) {
                const auto name = h.connectionName(p);
                auto sub = name ? usb.openHub("\\\\.\\" + *name) : nullptr;
                if (name)
                    shown.insert(Core(*name));
                std::cout << "hub";
                if (sub)
                    std::cout << Format(" (%u ports)", sub->numberOfPorts().value_or(0));
                std::cout << "\n";
                if (sub)
                    hub(*sub, depth + 1);
                continue;
            }
            ++devices;
            std::cout << "\"" << Text(h, p, d.iManufacturer) << "\" \"" << Text(h, p, d.iProduct)
                      << "\" ";
            if (d.iSerialNumber == 0) {
                std::cout << "(no serial number)";
            } else {
                std::cout << "SN " << Text(h, p, d.iSerialNumber);
            }
            const auto key = h.driverKeyName(p);
            if (key) {
                const auto id = usb.instanceIdOfDriverKey(Format("%ws", *key));
                if (id) {
                    auto it = storageByParent.find(ToLower(*id));
                    if (it != storageByParent.end())
                        std::cout << "\n" << indent << "        -> " << it->second;
                }
            }
            std::cout << "\n";
        }
    }
};

}  // namespace

int RunTopology(CliContext& ctx) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    if (!p->usb) {
        std::cerr << "vqmp-cli: this platform shows no USB hub tree\n";
        return kExitFailed;
    }
    Printer pr(*p->usb);
    if (p->storage) {
        for (auto list : {p->storage->diskInterfaces(), p->storage->opticalInterfaces()}) {
            if (!list)
                continue;
            for (const auto& si : *list)
                pr.storageByParent[si.parentInstanceId] = si.interfacePath;
        }
    }
    std::cout << "station: " << (ctx.scenarioName().empty() ? "(unnamed)" : ctx.scenarioName());
    if (!ctx.scenarioFile().empty())
        std::cout << " (" << ctx.scenarioFile().string() << ")";
    std::cout << "\n";
    const auto hubs = p->usb->hubInterfacePaths();
    if (!hubs) {
        std::cerr << "vqmp-cli: the hub list cannot be had\n";
        return kExitFailed;
    }
    // Every hub that is not below another one heads a tree; the station itself walks only
    // the root hubs whose path it knows ("root_hub", ...).
    for (const auto& path : *hubs) {
        if (pr.shown.contains(Printer::Core(path)))
            continue;
        auto h = p->usb->openHub(path);
        if (!h)
            continue;
        pr.shown.insert(Printer::Core(path));
        const bool walked = path.find("root_hub") != std::string::npos ||
                            path.find("asmediausbd_hub") != std::string::npos ||
                            path.find("tiusbd_hub") != std::string::npos;
        std::cout << "root hub " << path << (walked ? "" : "  (not walked by the station)") << "\n";
        pr.hub(*h, 1);
    }
    std::cout << pr.devices << " devices\n";
    return kExitOk;
}

void AddTopologyCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    app.add_subcommand("topology", "Print the USB hub tree with ports, speeds and devices")
        ->callback([&ctx, &exitCode] { exitCode = RunTopology(ctx); });
}

}  // namespace vq::cli
