#include "platform/linux/LinuxHotplug.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string_view>

namespace vq {

std::optional<Uevent> ParseUevent(std::span<const char> message) {
    std::string_view all(message.data(), message.size());
    const auto first = all.find('\0');
    const std::string_view head = all.substr(0, first);
    const auto at = head.find('@');
    if (at == std::string_view::npos || at == 0 || head.size() < at + 2 || head[at + 1] != '/')
        return std::nullopt;
    Uevent u;
    u.action = std::string(head.substr(0, at));
    u.devpath = std::string(head.substr(at + 1));
    std::string_view rest =
        first == std::string_view::npos ? std::string_view{} : all.substr(first + 1);
    while (!rest.empty()) {
        const auto end = rest.find('\0');
        const std::string_view field = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        const auto eq = field.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "SUBSYSTEM")
            u.subsystem = std::string(value);
        else if (key == "DEVTYPE")
            u.devtype = std::string(value);
        else if (key == "DEVNAME")
            u.devname = std::string(value);
        else if (key == "ACTION")
            u.action = std::string(value);
        else if (key == "DEVPATH")
            u.devpath = std::string(value);
    }
    return u;
}

std::optional<DeviceEvent> EventOfUevent(const Uevent& u) {
    DeviceEvent e;
    if (u.action == "add")
        e.kind = DeviceEvent::Kind::Arrival;
    else if (u.action == "remove")
        e.kind = DeviceEvent::Kind::RemoveComplete;
    else
        return std::nullopt;
    e.type = DeviceEvent::Type::DeviceInterface;
    if (u.subsystem == "block" && u.devtype == "disk" && !u.devname.empty()) {
        e.name = "/dev/" + u.devname;
        return e;
    }
    if ((u.subsystem == "usb" && u.devtype == "usb_device") ||
        (u.subsystem == "scsi" && u.devtype == "scsi_device")) {
        e.name = u.devpath;
        return e;
    }
    return std::nullopt;
}

bool IsPartitionChange(const Uevent& u) {
    return u.subsystem == "block" && u.devtype == "partition" &&
           (u.action == "add" || u.action == "remove");
}

LinuxHotplug::LinuxHotplug(std::function<void()> partitionsChanged)
    : partitionsChanged_(std::move(partitionsChanged)) {}

LinuxHotplug::~LinuxHotplug() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (socket_ >= 0)
        ::close(socket_);
    if (wake_ >= 0)
        ::close(wake_);
}

void LinuxHotplug::setListener(Listener listener) {
    std::lock_guard lock(m_);
    listener_ = std::move(listener);
    if (listener_ && !thread_.joinable())
        start();
}

void LinuxHotplug::report(const DeviceEvent& event) {
    Listener l;
    {
        std::lock_guard lock(m_);
        l = listener_;
    }
    if (l)
        l(event);
}

void LinuxHotplug::start() {
    socket_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (socket_ < 0)
        return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1;  // the kernel's own messages
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(socket_);
        socket_ = -1;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

void LinuxHotplug::run() {
    std::array<char, 8192> buf{};
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents != 0)
            return;
        const ssize_t n = ::recv(socket_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n <= 0)
            continue;
        const auto u = ParseUevent(std::span<const char>(buf.data(), static_cast<std::size_t>(n)));
        if (!u)
            continue;
        if (IsPartitionChange(*u) && partitionsChanged_)
            partitionsChanged_();
        if (const auto e = EventOfUevent(*u))
            report(*e);
    }
}

}  // namespace vq
