// The scenario reader on arbitrary bytes: it either names the first bad field or gives a
// station whose every device sits on a port its hub has, and it never throws or crashes.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/sim/SimScenario.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

void CheckDevices(const std::vector<vq::sim::ScenarioDevice>& list, std::uint32_t ports) {
    for (const auto& d : list) {
        Check(d.port >= 1 && d.port <= ports);
        if (d.cc2Port != 0)
            Check(d.cc2Port <= ports && d.cc2Port != d.port);
        if (d.kind == vq::sim::ScenarioDevice::Kind::Hub)
            CheckDevices(d.children, d.hubPorts);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = vq::sim::ParseScenario(text);
    if (const auto* error = std::get_if<vq::sim::ScenarioError>(&parsed)) {
        // "field path: reason"
        Check(error->message.find(": ") != std::string::npos);
        return 0;
    }
    const auto& scenario = std::get<vq::sim::Scenario>(parsed);
    for (const auto& hub : scenario.rootHubs)
        CheckDevices(hub.devices, hub.ports);
    return 0;
}
