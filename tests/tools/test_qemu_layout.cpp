// A scenario's USB topology as the virtual machine's arguments: controllers, hubs on their
// port paths, and a usb-redir device with its socket for each bridge.
#include <gtest/gtest.h>

#include <variant>

#include "tools/usbredir/QemuLayout.h"

namespace vq::tools {
namespace {

constexpr const char* kScenario = R"({
  "name": "layout",
  "rootHubs": [
    {"id": "root", "ports": 4, "devices": [
      {"port": 1, "speed": "super", "bridge": {"chipKind": 19}},
      {"port": 2, "hub": {"id": "hubA", "ports": 8, "devices": [
        {"port": 1, "speed": "full", "bridge": {"chipKind": 14}},
        {"port": 8, "hub": {"id": "hubB", "ports": 2, "devices": [
          {"port": 2, "bridge": {"chipKind": 14}}]}}]}},
      {"port": 3, "usb": {"vid": "0BDA", "pid": "8153"}}]},
    {"id": "second", "ports": 2, "devices": [
      {"port": 2, "bridge": {"chipKind": 14}}]}
  ]
})";

TEST(QemuLayout, ArgumentsOfAScenario) {
    auto parsed = sim::ParseScenario(kScenario);
    ASSERT_TRUE(std::holds_alternative<sim::Scenario>(parsed))
        << std::get<sim::ScenarioError>(parsed).message;
    const QemuLayout layout = LayOut(std::get<sim::Scenario>(parsed));

    ASSERT_EQ(layout.ports.size(), 6u);  // the plain device is left out
    EXPECT_EQ(SocketName(layout.ports[4]), "hubB-2.sock");
    // Behind the machine's hubs every port is a full-speed one; root ports keep theirs.
    const sim::PortSpeed machine[] = {sim::PortSpeed::Super, sim::PortSpeed::Full,
                                      sim::PortSpeed::Full,  sim::PortSpeed::Full,
                                      sim::PortSpeed::Full,  sim::PortSpeed::High};
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(layout.ports[i].machineSpeed, machine[i]) << i;

    const std::vector<std::string> expected = {
        "-device",  "qemu-xhci,id=xhci,p2=4,p3=4",
        "-device",  "qemu-xhci,id=xhci2,p2=2,p3=2",
        "-chardev", "socket,id=r1,path=/run/s/root-1.sock",
        "-device",  "usb-redir,chardev=r1,bus=xhci.0,port=1",
        "-device",  "usb-hub,bus=xhci.0,port=2,ports=8",
        "-chardev", "socket,id=r2,path=/run/s/hubA-1.sock",
        "-device",  "usb-redir,chardev=r2,bus=xhci.0,port=2.1",
        "-device",  "usb-hub,bus=xhci.0,port=2.8,ports=2",
        "-chardev", "socket,id=r3,path=/run/s/hubB-2.sock",
        "-device",  "usb-redir,chardev=r3,bus=xhci.0,port=2.8.2",
        "-chardev", "socket,id=r4,path=/run/s/second-2.sock",
        "-device",  "usb-redir,chardev=r4,bus=xhci2.0,port=2",
    };
    EXPECT_EQ(QemuArguments(layout, "/run/s"), expected);
    EXPECT_EQ(QemuArguments(layout, "/run/s/")[5], expected[5]);
}

}  // namespace
}  // namespace vq::tools
