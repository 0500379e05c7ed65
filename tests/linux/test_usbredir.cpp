// The usbredir server against the machine's side of the protocol, spoken by the same
// library over the device's UNIX socket: the announcement, a control request, bulk
// transfers both ways, a cancel, and a device that leaves the bus and comes back as
// another one (disconnect, acknowledgement, a new connect).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/linux/usbredir/UsbRedirServer.h"

namespace vq {
namespace {

// A device whose answers the test sets.
struct FakeDevice final : UsbDeviceSide {
    std::optional<std::uint64_t> at = 1;
    std::uint16_t pid = 0x1000;
    std::vector<UsbCompletion> done;
    std::vector<std::uint64_t> held;  // IN transfers waiting
    bool pending = false;
    int connects = 0;

    std::optional<std::uint64_t> attachment() override { return at; }
    UsbDeviceAnnounce connect() override {
        ++connects;
        UsbDeviceAnnounce a;
        a.speed = UsbSpeed::Super;
        a.vendorId = 0x7E8A;
        a.productId = pid;
        a.bcdDevice = 0x0102;
        a.interfaces.push_back({0, 0x08, 0x06, 0x50});
        a.endpoints.push_back({0x81, UsbEndpointType::Bulk, 1024, 0});
        a.endpoints.push_back({0x02, UsbEndpointType::Bulk, 1024, 0});
        return a;
    }
    void busReset() override { held.clear(); }
    bool setConfiguration(std::uint8_t) override { return true; }
    std::uint8_t configuration() override { return 1; }
    bool setAltSetting(std::uint8_t, std::uint8_t) override { return true; }
    UsbControlAnswer control(const UsbSetup& s, std::span<const std::uint8_t>) override {
        if (s.request != 6)
            return {UsbStatus::Stall, {}};
        return {UsbStatus::Success, {18, 1, 0x20, 3}};
    }
    void transfer(std::uint64_t id, std::uint8_t ep, std::uint32_t length,
                  std::span<const std::uint8_t> out) override {
        if (ep & 0x80) {
            if (length == 70000) {  // a long answer (beyond 16 bits)
                done.push_back(
                    {id, ep, UsbStatus::Success, std::vector<std::uint8_t>(70000, 0x5A), 70000});
                return;
            }
            held.push_back(id);
            return;
        }
        done.push_back({id, ep, UsbStatus::Success, {}, static_cast<std::uint32_t>(out.size())});
    }
    void cancel(std::uint64_t id) override {
        std::erase(held, id);
        done.push_back({id, 0x81, UsbStatus::Cancelled, {}, 0});
    }
    std::vector<UsbCompletion> takeCompletions() override { return std::exchange(done, {}); }
    bool answerPending() override { return pending; }
};

// The machine's side: what it received.
struct Machine {
    int fd = -1;
    usbredirparser* p = nullptr;
    bool hello = false;
    std::vector<usb_redir_device_connect_header> connects;
    usb_redir_ep_info_header ep{};
    usb_redir_interface_info_header ifs{};
    int disconnects = 0;
    std::vector<std::pair<usb_redir_control_packet_header, std::vector<std::uint8_t>>> controls;
    struct Bulk {
        std::uint64_t id;
        usb_redir_bulk_packet_header h;
        std::vector<std::uint8_t> data;
    };
    std::vector<Bulk> bulks;

    static Machine& Of(void* priv) { return *static_cast<Machine*>(priv); }

    explicit Machine(const std::string& path) {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        p = usbredirparser_create();
        p->priv = this;
        p->log_func = [](void*, int, const char*) {};
        p->read_func = [](void* priv, std::uint8_t* d, int n) -> int {
            const ssize_t r = ::recv(Of(priv).fd, d, static_cast<std::size_t>(n), MSG_DONTWAIT);
            return r > 0 ? static_cast<int>(r) : (r == 0 ? -1 : 0);
        };
        p->write_func = [](void* priv, std::uint8_t* d, int n) -> int {
            return static_cast<int>(::send(Of(priv).fd, d, static_cast<std::size_t>(n), 0));
        };
        p->hello_func = [](void* priv, usb_redir_hello_header*) { Of(priv).hello = true; };
        p->device_connect_func = [](void* priv, usb_redir_device_connect_header* h) {
            Of(priv).connects.push_back(*h);
        };
        p->device_disconnect_func = [](void* priv) { ++Of(priv).disconnects; };
        p->ep_info_func = [](void* priv, usb_redir_ep_info_header* h) { Of(priv).ep = *h; };
        p->interface_info_func = [](void* priv, usb_redir_interface_info_header* h) {
            Of(priv).ifs = *h;
        };
        p->control_packet_func = [](void* priv, std::uint64_t, usb_redir_control_packet_header* h,
                                    std::uint8_t* d, int n) {
            Of(priv).controls.push_back({*h, std::vector<std::uint8_t>(d, d + n)});
            usbredirparser_free_packet_data(Of(priv).p, d);
        };
        p->bulk_packet_func = [](void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h,
                                 std::uint8_t* d, int n) {
            Of(priv).bulks.push_back({id, *h, std::vector<std::uint8_t>(d, d + n)});
            usbredirparser_free_packet_data(Of(priv).p, d);
        };
        std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                        usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length,
                        usb_redir_cap_device_disconnect_ack})
            usbredirparser_caps_set_cap(caps, cap);
        usbredirparser_init(p, "test machine", caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~Machine() {
        usbredirparser_destroy(p);
        ::close(fd);
    }
    void flush() {
        while (usbredirparser_has_data_to_write(p))
            usbredirparser_do_write(p);
    }
};

struct ManualClock final : Clock {
    std::uint64_t ms = 1000;
    std::uint64_t tickMs() override { return ms; }
    std::int64_t perfCounter() override { return static_cast<std::int64_t>(ms) * 10'000; }
    std::int64_t perfFrequency() override { return 10'000'000; }
    void sleepMs(std::uint32_t n) override { ms += n; }
};

struct Rig {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vq-usbredir-test-" + std::to_string(::getpid()));
    std::ostringstream log;
    ManualClock clock;
    UsbRedirServer server{log, clock};
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    std::string path;

    Rig() {
        std::filesystem::create_directories(dir);
        path = (dir / "d.sock").string();
        EXPECT_EQ(server.listen(path, device), "");
    }
    ~Rig() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Rounds of both sides until nothing moves.
    void exchange(Machine& m) {
        for (int i = 0; i < 6; ++i) {
            m.flush();
            server.serveOnce([] {}, 0);
            usbredirparser_do_read(m.p);
        }
    }
};

TEST(UsbRedirServer, AnnouncesAndCarriesTransfers) {
    Rig rig;
    Machine m(rig.path);
    rig.exchange(m);
    ASSERT_TRUE(m.hello);
    ASSERT_EQ(m.connects.size(), 1u);
    EXPECT_EQ(m.connects[0].speed, usb_redir_speed_super);
    EXPECT_EQ(m.connects[0].vendor_id, 0x7E8A);
    EXPECT_EQ(m.connects[0].product_id, 0x1000);
    EXPECT_EQ(m.connects[0].device_version_bcd, 0x0102);
    EXPECT_EQ(m.ifs.interface_count, 1u);
    EXPECT_EQ(m.ifs.interface_class[0], 0x08);
    EXPECT_EQ(m.ifs.interface_protocol[0], 0x50);
    EXPECT_EQ(m.ep.type[0], usb_redir_type_control);
    EXPECT_EQ(m.ep.type[17], usb_redir_type_bulk);  // 0x81
    EXPECT_EQ(m.ep.type[2], usb_redir_type_bulk);   // 0x02
    EXPECT_EQ(m.ep.type[1], usb_redir_type_invalid);
    EXPECT_EQ(m.ep.max_packet_size[17], 1024);
    EXPECT_EQ(m.ep.max_packet_size[0], 512);

    usb_redir_control_packet_header c{0x80, 6, 0x80, 0, 0x0100, 0, 18};
    usbredirparser_send_control_packet(m.p, 7, &c, nullptr, 0);
    usb_redir_control_packet_header bad{0x80, 0x42, 0x80, 0, 0, 0, 4};
    usbredirparser_send_control_packet(m.p, 8, &bad, nullptr, 0);
    rig.exchange(m);
    ASSERT_EQ(m.controls.size(), 2u);
    EXPECT_EQ(m.controls[0].first.status, usb_redir_success);
    EXPECT_EQ(m.controls[0].second, (std::vector<std::uint8_t>{18, 1, 0x20, 3}));
    EXPECT_EQ(m.controls[1].first.status, usb_redir_stall);

    std::vector<std::uint8_t> cbw(31, 0x11);
    usb_redir_bulk_packet_header out{0x02, 0, 31, 0, 0};
    usbredirparser_send_bulk_packet(m.p, 20, &out, cbw.data(), 31);
    usb_redir_bulk_packet_header in{0x81, 0, 13, 0, 0};
    usbredirparser_send_bulk_packet(m.p, 21, &in, nullptr, 0);
    usb_redir_bulk_packet_header big{0x81, 0, 70000 & 0xFFFF, 0, 70000 >> 16};
    usbredirparser_send_bulk_packet(m.p, 22, &big, nullptr, 0);
    rig.exchange(m);
    ASSERT_EQ(rig.device->held, std::vector<std::uint64_t>{21});
    usbredirparser_send_cancel_data_packet(m.p, 21);
    rig.exchange(m);
    ASSERT_EQ(m.bulks.size(), 3u);
    EXPECT_EQ(m.bulks[0].id, 20u);
    EXPECT_EQ(m.bulks[0].h.length, 31);
    EXPECT_EQ(m.bulks[1].id, 22u);
    EXPECT_EQ(m.bulks[1].data.size(), 70000u);
    EXPECT_EQ(m.bulks[1].h.length_high, 1);
    EXPECT_EQ(m.bulks[2].id, 21u);
    EXPECT_EQ(m.bulks[2].h.status, usb_redir_cancelled);
}

TEST(UsbRedirServer, DeviceLeavesAndComesBackAsAnother) {
    Rig rig;
    Machine m(rig.path);
    rig.exchange(m);
    ASSERT_EQ(m.connects.size(), 1u);

    // It left with a status still to send: the disconnect waits for it, up to the grace.
    rig.device->at.reset();
    rig.device->pending = true;
    rig.exchange(m);
    rig.clock.ms += UsbRedirServer::kAnswerGraceMs - 1;
    rig.exchange(m);
    EXPECT_EQ(m.disconnects, 0);
    rig.clock.ms += 1;
    rig.exchange(m);
    EXPECT_EQ(m.disconnects, 1);
    EXPECT_EQ(m.connects.size(), 1u);

    // Back as another device.
    rig.device->pending = false;
    rig.device->pid = 0x1001;
    rig.device->at = 2;
    rig.exchange(m);
    ASSERT_EQ(m.connects.size(), 2u);
    EXPECT_EQ(m.connects[1].product_id, 0x1001);

    // Gone and back between two looks, with nothing to send: the disconnect goes at once,
    // the new connect only after the machine acknowledged it.
    rig.device->at = 3;
    for (int i = 0; i < 3; ++i) {
        rig.server.serveOnce([] {}, 0);
        usbredirparser_do_read(m.p);
    }
    EXPECT_EQ(m.disconnects, 2);
    EXPECT_EQ(m.connects.size(), 2u);
    rig.exchange(m);  // the acknowledgement goes out
    EXPECT_EQ(m.connects.size(), 3u);
    EXPECT_EQ(rig.device->connects, 3);
    EXPECT_NE(rig.log.str().find("connect 7E8A:1001 super speed"), std::string::npos);
}

TEST(UsbRedirServer, ServesTheNextMachineAfterOneLeft) {
    Rig rig;
    {
        Machine m(rig.path);
        rig.exchange(m);
        ASSERT_EQ(m.connects.size(), 1u);
    }
    Machine again(rig.path);
    rig.exchange(again);
    EXPECT_EQ(again.connects.size(), 1u);
}

}  // namespace
}  // namespace vq
