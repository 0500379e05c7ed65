// Arrival and removal events of disk interfaces and volumes, in the order the machine
// sends them. The front end turns a burst of them into one delayed refresh.
#pragma once

#include <functional>
#include <string>

namespace vq {

struct DeviceEvent {
    enum class Kind { Arrival, RemoveComplete };
    enum class Type { DeviceInterface, Volume };
    Kind kind = Kind::Arrival;
    Type type = Type::DeviceInterface;
    std::string name;  // interface path, or the volume's drive letters ("E")
};

class Hotplug {
  public:
    using Listener = std::function<void(const DeviceEvent&)>;
    virtual ~Hotplug() = default;
    // Registers the one listener (replacing any earlier one; an empty function removes
    // it). It may be called on any thread.
    virtual void setListener(Listener listener) = 0;
};

}  // namespace vq
