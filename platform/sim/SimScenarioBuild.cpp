// Builds the emulated machine a scenario describes.
#include <functional>

#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"

namespace vq::sim {

// What a bulk transfer reaches on a port of each speed, in MiB/s.
double BusRate(PortSpeed speed) {
    switch (speed) {
        case PortSpeed::Low:
            return 0.1;
        case PortSpeed::Full:
            return 1.0;
        case PortSpeed::High:
            return 40.0;
        case PortSpeed::Super:
            return 400.0;
        case PortSpeed::SuperPlus:
            return 900.0;
    }
    return 40.0;
}

void BuildStation(SimPlatform& sim, const Scenario& s) {
    SimStation& st = sim.station();
    sim.platform().osVersion = s.os;
    st.setInfoV2Supported(s.os.major > 6 || (s.os.major == 6 && s.os.minor >= 2));
    st.setSystemDrive(s.systemDrive);
    for (const auto& v : s.volumes) {
        st.addVolume(
            {v.letter, v.type, v.letter == s.systemDrive, 0, nullptr, v.freeBytes, v.label});
    }
    // Switches are bound once every hub exists.
    std::vector<std::pair<std::string, std::shared_ptr<SimBridge>>> switches;

    std::function<void(const std::string&, const std::vector<ScenarioDevice>&)> place =
        [&](const std::string& hubId, const std::vector<ScenarioDevice>& devices) {
            for (const ScenarioDevice& d : devices) {
                switch (d.kind) {
                    case ScenarioDevice::Kind::Hub:
                        st.addHub(hubId, d.port, d.hubId, d.hubPorts, d.speed, d.hubIdentity);
                        place(d.hubId, d.children);
                        break;
                    case ScenarioDevice::Kind::Usb:
                        st.plug(hubId, d.port, std::make_shared<PlainUsbFunction>(d.usb), d.speed);
                        if (d.cc2Port)
                            st.setCc2Port(hubId, d.port, d.cc2Port);
                        break;
                    case ScenarioDevice::Kind::Bridge: {
                        BridgeConfig config = d.bridge;
                        if (config.timing.busMegabytesPerSecond <= 0)
                            config.timing.busMegabytesPerSecond = BusRate(d.speed);
                        const AddedBridge added = sim.addBridge(config);
                        auto fn = std::make_shared<BridgeFunction>(added.bridge, d.uas);
                        st.plug(hubId, d.port, fn, d.speed);
                        if (d.cc2Port)
                            st.setCc2Port(hubId, d.port, d.cc2Port);
                        for (const auto& v : d.volumes) {
                            st.addVolume({v.letter, DriveType::Fixed, false, added.deviceNumber, fn,
                                          v.freeBytes, v.label});
                        }
                        sim.volumes().setDiskFaults(added.deviceNumber, d.diskFaults);
                        if (!d.switchesHub.empty())
                            switches.emplace_back(d.switchesHub, added.bridge);
                        break;
                    }
                }
                if (d.vetoes)
                    st.setVetoes(hubId, d.port, d.vetoes);
            }
        };
    for (const auto& root : s.rootHubs) {
        st.addRootHub(root.id, root.ports, root.kind);
        place(root.id, root.devices);
    }
    // The control board's register 0x7059: bit 0x08 powers the hub's ports for the CC1
    // orientation of the plugs, bit 0x10 for CC2 (0x08 wins when both are set); both
    // clear switch the power off. A write to its registers is seen by the machine at once.
    for (auto& [hubId, bridge] : switches) {
        sim.setPowerControl(bridge);
        st.bindPowerSwitch(
            hubId, [b = bridge] { return (b->powerControlLines() & 0x18) != 0; },
            [b = bridge] { return (b->powerControlLines() & 0x18) == 0x10; });
        bridge->setRegisterListener([&st] { st.poll(); });
    }
    // The system reads the partition tables the drive images already hold.
    sim.volumes().setFormatPrompt(s.formatPrompt);
    sim.volumes().rescanAll();
}

}  // namespace vq::sim
