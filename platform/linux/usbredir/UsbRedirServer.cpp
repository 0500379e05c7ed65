#include "platform/linux/usbredir/UsbRedirServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <ostream>

namespace vq {

namespace {

std::atomic<bool> gSignalled{false};

extern "C" void OnSignal(int) {
    gSignalled = true;
}

std::uint8_t RedirStatus(UsbStatus s) {
    switch (s) {
        case UsbStatus::Success:
            return usb_redir_success;
        case UsbStatus::Cancelled:
            return usb_redir_cancelled;
        case UsbStatus::Stall:
            return usb_redir_stall;
    }
    return usb_redir_ioerror;
}

std::uint8_t RedirSpeed(UsbSpeed s) {
    switch (s) {
        case UsbSpeed::Low:
            return usb_redir_speed_low;
        case UsbSpeed::Full:
            return usb_redir_speed_full;
        case UsbSpeed::High:
            return usb_redir_speed_high;
        case UsbSpeed::Super:
            return usb_redir_speed_super;
    }
    return usb_redir_speed_unknown;
}

const char* SpeedName(UsbSpeed s) {
    switch (s) {
        case UsbSpeed::Low:
            return "low";
        case UsbSpeed::Full:
            return "full";
        case UsbSpeed::High:
            return "high";
        case UsbSpeed::Super:
            return "super";
    }
    return "?";
}

// Index of an endpoint in the protocol's tables: OUT 0-15, IN 16-31.
int EndpointIndex(std::uint8_t address) {
    return ((address & 0x80) >> 3) | (address & 0x0F);
}

}  // namespace

struct UsbRedirServer::Link {
    enum class State { Waiting, Connected, AwaitAck };

    UsbRedirServer* server = nullptr;
    std::string path;
    std::shared_ptr<UsbDeviceSide> device;
    int listenFd = -1;
    int fd = -1;
    usbredirparser* parser = nullptr;
    bool hello = false;
    bool broken = false;
    State state = State::Waiting;
    std::uint64_t attachment = 0;
    // When the device was first seen off the bus with an answer still to send.
    std::optional<std::uint64_t> leftAt;  // tickMs

    void say(const std::string& text) const { server->log_ << path << ": " << text << std::endl; }
    bool live() const { return state == State::Connected; }
};

namespace {

using Link = UsbRedirServer::Link;

Link& Of(void* priv) {
    return *static_cast<Link*>(priv);
}

void LogCb(void* priv, int level, const char* msg) {
    Link& l = Of(priv);
    if (level <= usbredirparser_warning)
        l.say(std::string("usbredir: ") + msg);
}

int ReadCb(void* priv, std::uint8_t* data, int count) {
    Link& l = Of(priv);
    const ssize_t n = ::recv(l.fd, data, static_cast<std::size_t>(count), 0);
    if (n > 0)
        return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    l.broken = true;
    return -1;
}

int WriteCb(void* priv, std::uint8_t* data, int count) {
    Link& l = Of(priv);
    const ssize_t n = ::send(l.fd, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    l.broken = true;
    return -1;
}

void HelloCb(void* priv, usb_redir_hello_header* hello) {
    Link& l = Of(priv);
    l.hello = true;
    l.say(std::string("peer ") + hello->version);
}

void ResetCb(void* priv) {
    Link& l = Of(priv);
    if (l.live())
        l.device->busReset();
}

void SetConfigurationCb(void* priv, std::uint64_t id, usb_redir_set_configuration_header* h) {
    Link& l = Of(priv);
    usb_redir_configuration_status_header st{};
    st.status = l.live() && l.device->setConfiguration(h->configuration) ? usb_redir_success
                                                                         : usb_redir_stall;
    st.configuration = l.live() ? l.device->configuration() : 0;
    usbredirparser_send_configuration_status(l.parser, id, &st);
}

void GetConfigurationCb(void* priv, std::uint64_t id) {
    Link& l = Of(priv);
    usb_redir_configuration_status_header st{};
    st.status = l.live() ? usb_redir_success : usb_redir_ioerror;
    st.configuration = l.live() ? l.device->configuration() : 0;
    usbredirparser_send_configuration_status(l.parser, id, &st);
}

void SetAltSettingCb(void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h) {
    Link& l = Of(priv);
    usb_redir_alt_setting_status_header st{};
    st.status = l.live() && l.device->setAltSetting(h->interface, h->alt) ? usb_redir_success
                                                                          : usb_redir_stall;
    st.interface = h->interface;
    st.alt = st.status == usb_redir_success ? h->alt : 0;
    usbredirparser_send_alt_setting_status(l.parser, id, &st);
}

void GetAltSettingCb(void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h) {
    Link& l = Of(priv);
    usb_redir_alt_setting_status_header st{};
    st.status = l.live() && h->interface == 0 ? usb_redir_success : usb_redir_stall;
    st.interface = h->interface;
    st.alt = 0;
    usbredirparser_send_alt_setting_status(l.parser, id, &st);
}

void CancelCb(void* priv, std::uint64_t id) {
    Link& l = Of(priv);
    if (l.live())
        l.device->cancel(id);
}

void DisconnectAckCb(void* priv) {
    Link& l = Of(priv);
    if (l.state == Link::State::AwaitAck)
        l.state = Link::State::Waiting;
}

void ControlCb(void* priv, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data,
               int len) {
    Link& l = Of(priv);
    usb_redir_control_packet_header reply = *h;
    std::vector<std::uint8_t> answer;
    if (!l.live()) {
        reply.status = usb_redir_ioerror;
        reply.length = 0;
    } else {
        UsbSetup setup{h->requesttype, h->request, h->value, h->index, h->length};
        const std::span<const std::uint8_t> out(data, data ? static_cast<std::size_t>(len) : 0);
        UsbControlAnswer a = l.device->control(setup, out);
        reply.status = RedirStatus(a.status);
        if (h->endpoint & 0x80) {
            answer = std::move(a.data);
            reply.length = static_cast<std::uint16_t>(answer.size());
        } else if (a.status != UsbStatus::Success) {
            reply.length = 0;
        }
    }
    usbredirparser_send_control_packet(l.parser, id, &reply,
                                       answer.empty() ? nullptr : answer.data(),
                                       static_cast<int>(answer.size()));
    if (data)
        usbredirparser_free_packet_data(l.parser, data);
}

void BulkCb(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data,
            int len) {
    Link& l = Of(priv);
    const std::uint32_t length =
        static_cast<std::uint32_t>(h->length) | static_cast<std::uint32_t>(h->length_high) << 16;
    if (l.live()) {
        const std::span<const std::uint8_t> out(data, data ? static_cast<std::size_t>(len) : 0);
        l.device->transfer(id, h->endpoint, length, out);
    } else {
        usb_redir_bulk_packet_header reply = *h;
        reply.status = usb_redir_ioerror;
        reply.length = 0;
        reply.length_high = 0;
        usbredirparser_send_bulk_packet(l.parser, id, &reply, nullptr, 0);
    }
    if (data)
        usbredirparser_free_packet_data(l.parser, data);
}

// Interrupt and isochronous transfers go to endpoints the devices do not have.
void InterruptCb(void* priv, std::uint64_t id, usb_redir_interrupt_packet_header* h,
                 std::uint8_t* data, int) {
    Link& l = Of(priv);
    usb_redir_interrupt_packet_header reply = *h;
    reply.status = usb_redir_stall;
    reply.length = 0;
    usbredirparser_send_interrupt_packet(l.parser, id, &reply, nullptr, 0);
    if (data)
        usbredirparser_free_packet_data(l.parser, data);
}

void IsoCb(void* priv, std::uint64_t id, usb_redir_iso_packet_header* h, std::uint8_t* data, int) {
    Link& l = Of(priv);
    usb_redir_iso_packet_header reply = *h;
    reply.status = usb_redir_stall;
    reply.length = 0;
    usbredirparser_send_iso_packet(l.parser, id, &reply, nullptr, 0);
    if (data)
        usbredirparser_free_packet_data(l.parser, data);
}

void StreamsCb(void* priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    Link& l = Of(priv);
    usb_redir_bulk_streams_status_header st{};
    st.endpoints = h->endpoints;
    st.no_streams = h->no_streams;
    st.status = usb_redir_stall;
    usbredirparser_send_bulk_streams_status(l.parser, id, &st);
}

void FreeStreamsCb(void* priv, std::uint64_t id, usb_redir_free_bulk_streams_header* h) {
    Link& l = Of(priv);
    usb_redir_bulk_streams_status_header st{};
    st.endpoints = h->endpoints;
    st.status = usb_redir_success;
    usbredirparser_send_bulk_streams_status(l.parser, id, &st);
}

void StartInterruptCb(void* priv, std::uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
    Link& l = Of(priv);
    usb_redir_interrupt_receiving_status_header st{};
    st.endpoint = h->endpoint;
    st.status = usb_redir_stall;
    usbredirparser_send_interrupt_receiving_status(l.parser, id, &st);
}

void StopInterruptCb(void* priv, std::uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    Link& l = Of(priv);
    usb_redir_interrupt_receiving_status_header st{};
    st.endpoint = h->endpoint;
    st.status = usb_redir_success;
    usbredirparser_send_interrupt_receiving_status(l.parser, id, &st);
}

void StartIsoCb(void* priv, std::uint64_t id, usb_redir_start_iso_stream_header* h) {
    Link& l = Of(priv);
    usb_redir_iso_stream_status_header st{};
    st.endpoint = h->endpoint;
    st.status = usb_redir_stall;
    usbredirparser_send_iso_stream_status(l.parser, id, &st);
}

void StopIsoCb(void* priv, std::uint64_t id, usb_redir_stop_iso_stream_header* h) {
    Link& l = Of(priv);
    usb_redir_iso_stream_status_header st{};
    st.endpoint = h->endpoint;
    st.status = usb_redir_success;
    usbredirparser_send_iso_stream_status(l.parser, id, &st);
}

void Announce(Link& l) {
    const UsbDeviceAnnounce a = l.device->connect();
    usb_redir_ep_info_header ep{};
    for (int i = 0; i < 32; ++i)
        ep.type[i] = usb_redir_type_invalid;
    ep.type[0] = ep.type[16] = usb_redir_type_control;
    ep.max_packet_size[0] = ep.max_packet_size[16] =
        a.speed == UsbSpeed::Super ? 512 : (a.speed == UsbSpeed::Low ? 8 : 64);
    for (const UsbEndpointInfo& e : a.endpoints) {
        const int i = EndpointIndex(e.address);
        ep.type[i] = static_cast<std::uint8_t>(e.type);  // same numbering as the protocol
        ep.interface[i] = e.interfaceNumber;
        ep.max_packet_size[i] = e.maxPacketSize;
    }
    usb_redir_interface_info_header ifs{};
    ifs.interface_count = static_cast<std::uint32_t>(a.interfaces.size());
    for (std::size_t i = 0; i < a.interfaces.size() && i < 32; ++i) {
        ifs.interface[i] = a.interfaces[i].number;
        ifs.interface_class[i] = a.interfaces[i].interfaceClass;
        ifs.interface_subclass[i] = a.interfaces[i].subclass;
        ifs.interface_protocol[i] = a.interfaces[i].protocol;
    }
    usb_redir_device_connect_header dc{};
    dc.speed = RedirSpeed(a.speed);
    dc.device_class = a.deviceClass;
    dc.device_subclass = a.deviceSubclass;
    dc.device_protocol = a.deviceProtocol;
    dc.vendor_id = a.vendorId;
    dc.product_id = a.productId;
    dc.device_version_bcd = a.bcdDevice;
    usbredirparser_send_ep_info(l.parser, &ep);
    usbredirparser_send_interface_info(l.parser, &ifs);
    usbredirparser_send_device_connect(l.parser, &dc);
    l.attachment = l.device->attachment().value_or(0);
    l.state = Link::State::Connected;
    char ids[64];
    std::snprintf(ids, sizeof ids, "%04X:%04X", a.vendorId, a.productId);
    l.say(std::string("connect ") + ids + " " + SpeedName(a.speed) + " speed " + a.name);
}

}  // namespace

UsbRedirServer::UsbRedirServer(std::ostream& log, Clock& clock, bool verbose)
    : log_(log), clock_(clock), verbose_(verbose) {}

UsbRedirServer::~UsbRedirServer() {
    for (auto& l : links_) {
        close(*l);
        if (l->listenFd >= 0) {
            ::close(l->listenFd);
            ::unlink(l->path.c_str());
        }
    }
}

std::string UsbRedirServer::listen(const std::string& socketPath,
                                   std::shared_ptr<UsbDeviceSide> device) {
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path)
        return "the socket path is too long";
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    struct stat st {};
    if (::lstat(socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return "exists and is not a socket";
        ::unlink(socketPath.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::strerror(errno);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        return why;
    }
    auto l = std::make_unique<Link>();
    l->server = this;
    l->path = socketPath;
    l->device = std::move(device);
    l->listenFd = fd;
    links_.push_back(std::move(l));
    return {};
}

void UsbRedirServer::accept(Link& l) {
    const int fd = ::accept4(l.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (l.fd >= 0) {  // one machine at a time
        ::close(fd);
        return;
    }
    l.fd = fd;
    l.hello = false;
    l.broken = false;
    l.state = Link::State::Waiting;
    usbredirparser* p = usbredirparser_create();
    p->priv = &l;
    p->log_func = LogCb;
    p->read_func = ReadCb;
    p->write_func = WriteCb;
    p->hello_func = HelloCb;
    p->reset_func = ResetCb;
    p->set_configuration_func = SetConfigurationCb;
    p->get_configuration_func = GetConfigurationCb;
    p->set_alt_setting_func = SetAltSettingCb;
    p->get_alt_setting_func = GetAltSettingCb;
    p->cancel_data_packet_func = CancelCb;
    p->device_disconnect_ack_func = DisconnectAckCb;
    p->control_packet_func = ControlCb;
    p->bulk_packet_func = BulkCb;
    p->interrupt_packet_func = InterruptCb;
    p->iso_packet_func = IsoCb;
    p->alloc_bulk_streams_func = StreamsCb;
    p->free_bulk_streams_func = FreeStreamsCb;
    p->start_interrupt_receiving_func = StartInterruptCb;
    p->stop_interrupt_receiving_func = StopInterruptCb;
    p->start_iso_stream_func = StartIsoCb;
    p->stop_iso_stream_func = StopIsoCb;
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length,
                    usb_redir_cap_device_disconnect_ack})
        usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(p, "vq-usbredir", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
    l.parser = p;
    l.say("machine connected");
}

void UsbRedirServer::close(Link& l) {
    if (l.parser) {
        usbredirparser_destroy(l.parser);
        l.parser = nullptr;
    }
    if (l.fd >= 0) {
        ::close(l.fd);
        l.fd = -1;
        l.say("machine gone");
    }
    l.hello = false;
    l.state = Link::State::Waiting;
}

// Follows the device on and off the bus and sends what it completed.
void UsbRedirServer::look(Link& l) {
    if (!l.parser || !l.hello)
        return;
    if (l.state == Link::State::Connected) {
        for (UsbCompletion& c : l.device->takeCompletions()) {
            usb_redir_bulk_packet_header h{};
            h.endpoint = c.endpoint;
            h.status = RedirStatus(c.status);
            h.length = static_cast<std::uint16_t>(c.length & 0xFFFF);
            h.length_high = static_cast<std::uint16_t>(c.length >> 16);
            usbredirparser_send_bulk_packet(l.parser, c.id, &h,
                                            c.data.empty() ? nullptr : c.data.data(),
                                            static_cast<int>(c.data.size()));
        }
    }
    const std::optional<std::uint64_t> now = l.device->attachment();
    switch (l.state) {
        case Link::State::Connected: {
            if (now && *now == l.attachment)
                break;
            const std::uint64_t t = clock_.tickMs();
            if (!l.leftAt)
                l.leftAt = t;
            if (l.device->answerPending() && t - *l.leftAt < kAnswerGraceMs)
                break;
            l.leftAt.reset();
            usbredirparser_send_device_disconnect(l.parser);
            l.say("disconnect");
            l.state = usbredirparser_peer_has_cap(l.parser, usb_redir_cap_device_disconnect_ack)
                          ? Link::State::AwaitAck
                          : Link::State::Waiting;
            l.device->busReset();
            l.device->takeCompletions();  // the machine forgets the device's transfers
            break;
        }
        case Link::State::Waiting:
            if (now) {
                Announce(l);
                l.device->takeCompletions();  // of the attachment before
            }
            break;
        case Link::State::AwaitAck:
            break;
    }
}

int UsbRedirServer::run(const std::function<void()>& turn, int tickMs) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    gSignalled = false;
    while (!stop_ && !gSignalled) {
        if (!serveOnce(turn, tickMs))
            return 3;
    }
    return 0;
}

bool UsbRedirServer::serveOnce(const std::function<void()>& turn, int tickMs) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Link*, bool>> who;  // link, listening socket
    for (auto& l : links_) {
        fds.push_back({l->listenFd, POLLIN, 0});
        who.emplace_back(l.get(), true);
        if (l->fd >= 0) {
            short events = POLLIN;
            if (l->parser && usbredirparser_has_data_to_write(l->parser))
                events |= POLLOUT;
            fds.push_back({l->fd, events, 0});
            who.emplace_back(l.get(), false);
        }
    }
    const int n = ::poll(fds.data(), fds.size(), tickMs);
    if (n < 0 && errno != EINTR) {
        log_ << "vq-usbredir: poll: " << std::strerror(errno) << std::endl;
        return false;
    }
    // Connections first, so a machine that left and came back in one round is served.
    for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) {
        Link& l = *who[i].first;
        if (!fds[i].revents || who[i].second)
            continue;
        if (l.parser && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            const int r = usbredirparser_do_read(l.parser);
            if (r == usbredirparser_read_parse_error && verbose_)
                l.say("a packet could not be parsed");
            if (l.broken || r == usbredirparser_read_io_error)
                close(l);
        }
    }
    for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) {
        if (fds[i].revents && who[i].second)
            accept(*who[i].first);
    }
    turn();
    for (auto& l : links_) {
        look(*l);
        if (l->parser && usbredirparser_has_data_to_write(l->parser)) {
            if (usbredirparser_do_write(l->parser) != 0 || l->broken)
                close(*l);
        }
    }
    return true;
}

}  // namespace vq
