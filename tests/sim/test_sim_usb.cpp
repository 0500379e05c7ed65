// The USB side of an emulated bridge: the bulk-only transport against recorded packet
// sequences (wrappers, data, status, residues, halts, resets, cancels), the descriptors
// byte for byte, and the board behind it on and off the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/usb/BulkOnlyTransport.h"
#include "platform/sim/usb/MassStorageDescriptors.h"
#include "platform/sim/usb/SimUsbBridge.h"
#include "tests/sim/SimTestUtil.h"

namespace vq::sim {
namespace {

using testing_util::Hex;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x02;

Bytes Cbw(std::uint32_t tag, std::uint32_t length, bool in, const std::string& cdb) {
    const Bytes block = Hex(cdb);
    Bytes b = Hex("55 53 42 43");
    for (std::uint32_t v : {tag, length})
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    b.push_back(in ? 0x80 : 0x00);
    b.push_back(0);  // LUN
    b.push_back(static_cast<std::uint8_t>(block.size()));
    b.insert(b.end(), block.begin(), block.end());
    b.resize(31);
    return b;
}

// The device's command handler: answers `answer` (as much as fits) with `status`, and
// records what it was asked.
struct FakeBoard {
    Bytes answer;
    std::uint8_t status = 0;
    bool call = true;
    std::uint32_t error = 0;
    std::vector<Bytes> cdbs;
    std::vector<DataDirection> directions;
    Bytes received;

    ScsiResult operator()(const ScsiRequest& r) {
        cdbs.emplace_back(r.cdb.begin(), r.cdb.end());
        directions.push_back(r.direction);
        ScsiResult res;
        res.callSucceeded = call;
        res.lastError = error;
        res.scsiStatus = status;
        if (r.direction == DataDirection::In) {
            const std::size_t n = std::min(answer.size(), r.data.size());
            std::copy_n(answer.begin(), n, r.data.begin());
            res.bytesTransferred = static_cast<std::uint32_t>(n);
        } else if (r.direction == DataDirection::Out) {
            received.assign(r.data.begin(), r.data.end());
            res.bytesTransferred = static_cast<std::uint32_t>(r.data.size());
        }
        return res;
    }
};

// The transport with a fake board, and the transfers written as the host sends them.
struct Host {
    FakeBoard board;
    BulkOnlyTransport bot{[this](const ScsiRequest& r) { return board(r); }, kIn, kOut};
    std::uint64_t nextId = 1;

    std::uint64_t out(const Bytes& data) {
        bot.transfer(nextId, kOut, static_cast<std::uint32_t>(data.size()), data);
        return nextId++;
    }
    std::uint64_t in(std::uint32_t length) {
        bot.transfer(nextId, kIn, length, {});
        return nextId++;
    }
    std::vector<UsbCompletion> take() { return bot.takeCompletions(); }
    // One IN transfer that must complete at once.
    UsbCompletion read(std::uint32_t length) {
        const std::uint64_t id = in(length);
        auto c = take();
        EXPECT_EQ(c.size(), 1u);
        if (c.empty())
            return {};
        EXPECT_EQ(c[0].id, id);
        EXPECT_EQ(c[0].endpoint, kIn);
        return c[0];
    }
    // A CBW the device takes.
    void command(std::uint32_t tag, std::uint32_t length, bool in, const std::string& cdb) {
        const std::uint64_t id = out(Cbw(tag, length, in, cdb));
        auto c = take();
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].id, id);
        EXPECT_EQ(c[0].status, UsbStatus::Success);
        EXPECT_EQ(c[0].length, 31u);
    }
};

Bytes Csw(std::uint32_t tag, std::uint32_t residue, std::uint8_t status) {
    Bytes b = Hex("55 53 42 53");
    for (std::uint32_t v : {tag, residue})
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    b.push_back(status);
    return b;
}

Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return b;
}

TEST(BulkOnlyTransport, WrapperBytes) {
    // Built by hand from the layout, so a fault in the test helpers shows too.
    EXPECT_EQ(Cbw(0x11223344, 36, true, "12 00 00 00 24 00"),
              Hex("55 53 42 43 44 33 22 11 24 00 00 00 80 00 06 12 00 00 00 24 00 00 00 00 00 "
                  "00 00 00 00 00 00"));
    EXPECT_EQ(Csw(0x11223344, 0x1DC, 1), Hex("55 53 42 53 44 33 22 11 DC 01 00 00 01"));
}

// The host's length and the device's answer, and what the host sees: the data in its IN
// transfers, whether the next IN is halted, and the status wrapper.
TEST(BulkOnlyTransport, DataInPhases) {
    struct Row {
        const char* what;
        std::uint32_t hostLength;
        std::vector<std::uint32_t> transfers;  // the host's IN transfers of the data phase
        std::size_t deviceSends;
        std::uint8_t scsiStatus;
        std::vector<std::size_t> got;  // bytes each of those transfers receives
        bool halt;                     // the data phase ends with IN halted
        std::uint8_t cswStatus;
    } rows[] = {
        {"all the host asked", 36, {36}, 36, 0, {36}, false, 0},
        {"in two transfers", 1024, {512, 512}, 1024, 0, {512, 512}, false, 0},
        {"short transfer ends it", 512, {512}, 36, 0, {36}, false, 0},
        {"full transfers, more expected", 1024, {512, 512}, 512, 0, {512, 0}, true, 0},
        {"failed without data", 18, {18}, 0, 2, {0}, true, 1},
        {"failed with data", 64, {64}, 18, 2, {18}, false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Host h;
        h.board.answer = Pattern(row.deviceSends);
        h.board.status = row.scsiStatus;
        h.command(7, row.hostLength, true, "12 00 00 00 24 00");
        ASSERT_EQ(h.board.directions, std::vector<DataDirection>{DataDirection::In});
        std::size_t at = 0;
        for (std::size_t i = 0; i < row.transfers.size(); ++i) {
            const UsbCompletion c = h.read(row.transfers[i]);
            const bool stalled = row.halt && i + 1 == row.transfers.size();
            EXPECT_EQ(c.status, stalled ? UsbStatus::Stall : UsbStatus::Success);
            ASSERT_EQ(c.data.size(), row.got[i]);
            EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), h.board.answer.begin() + at));
            at += c.data.size();
        }
        if (row.halt) {
            EXPECT_TRUE(h.bot.halted(kIn));
            EXPECT_EQ(h.read(13).status, UsbStatus::Stall);  // until the host clears it
            EXPECT_TRUE(h.bot.clearHalt(kIn));
        }
        const UsbCompletion csw = h.read(13);
        EXPECT_EQ(csw.status, UsbStatus::Success);
        EXPECT_EQ(csw.data, Csw(7, row.hostLength - static_cast<std::uint32_t>(at), row.cswStatus));
    }
}

TEST(BulkOnlyTransport, DataOutAndNoData) {
    Host h;
    const Bytes data = Pattern(1024);
    h.command(0xA1, 1024, false, "2A 00 00 00 00 10 00 00 02 00");
    EXPECT_TRUE(h.board.cdbs.empty());  // the command runs once its data is in
    h.out(Bytes(data.begin(), data.begin() + 512));
    EXPECT_EQ(h.take()[0].length, 512u);
    EXPECT_TRUE(h.board.cdbs.empty());
    h.out(Bytes(data.begin() + 512, data.end()));
    h.take();
    ASSERT_EQ(h.board.cdbs.size(), 1u);
    EXPECT_EQ(h.board.cdbs[0], Hex("2A 00 00 00 00 10 00 00 02 00"));
    EXPECT_EQ(h.board.directions[0], DataDirection::Out);
    EXPECT_EQ(h.board.received, data);
    EXPECT_EQ(h.read(13).data, Csw(0xA1, 0, 0));

    h.command(0xA2, 0, false, "00 00 00 00 00 00");
    EXPECT_EQ(h.board.directions[1], DataDirection::None);
    EXPECT_EQ(h.read(13).data, Csw(0xA2, 0, 0));
}

// An IN transfer queued before the device has anything waits for it, and one the host
// takes back completes as cancelled.
TEST(BulkOnlyTransport, InWaitsAndCanBeCancelled) {
    Host h;
    h.board.answer = Pattern(36);
    const std::uint64_t early = h.in(36);
    EXPECT_TRUE(h.take().empty());
    const std::uint64_t cbw = h.out(Cbw(3, 36, true, "12 00 00 00 24 00"));
    auto c = h.take();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].id, cbw);
    EXPECT_EQ(c[1].id, early);
    EXPECT_EQ(c[1].data, h.board.answer);

    const std::uint64_t waiting = h.in(13);
    EXPECT_EQ(h.take()[0].data, Csw(3, 0, 0));  // the status went to it at once
    EXPECT_NE(waiting, 0u);
    const std::uint64_t next = h.in(13);
    EXPECT_TRUE(h.take().empty());
    h.bot.cancel(next);
    c = h.take();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].id, next);
    EXPECT_EQ(c[0].status, UsbStatus::Cancelled);
    h.bot.cancel(next);  // already gone: nothing
    EXPECT_TRUE(h.take().empty());
}

// Data on OUT while the device is to send, or more than announced, is a phase error.
TEST(BulkOnlyTransport, WrongDirectionHaltsAndReportsAPhaseError) {
    Host h;
    h.board.answer = Pattern(36);
    h.command(9, 36, true, "12 00 00 00 24 00");
    h.out(Pattern(36));
    auto c = h.take();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].status, UsbStatus::Stall);
    EXPECT_TRUE(h.bot.halted(kOut));
    EXPECT_EQ(h.read(36).status, UsbStatus::Stall);
    EXPECT_TRUE(h.bot.clearHalt(kIn));
    EXPECT_TRUE(h.bot.clearHalt(kOut));
    EXPECT_EQ(h.read(13).data, Csw(9, 36, 2));

    h.command(10, 8, false, "2A 00 00 00 00 00 00 00 01 00");
    h.out(Pattern(16));
    EXPECT_EQ(h.take()[0].status, UsbStatus::Stall);
    EXPECT_TRUE(h.bot.clearHalt(kOut));
    EXPECT_EQ(h.read(13).data, Csw(10, 8, 2));
    EXPECT_EQ(h.board.cdbs.size(), 1u);  // the write never ran

    // The next wrapper before the status was read.
    h.command(11, 0, false, "00 00 00 00 00 00");
    h.out(Cbw(12, 0, false, "00 00 00 00 00 00"));
    EXPECT_EQ(h.take()[0].status, UsbStatus::Stall);
    EXPECT_TRUE(h.bot.clearHalt(kOut));
    EXPECT_EQ(h.read(13).data, Csw(11, 0, 0));
}

TEST(BulkOnlyTransport, InvalidWrapperHaltsBothUntilReset) {
    const Bytes good = Cbw(5, 0, false, "00 00 00 00 00 00");
    auto with = [&](std::size_t at, std::uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    const struct {
        const char* what;
        Bytes cbw;
    } rows[] = {
        {"30 bytes", Bytes(good.begin(), good.end() - 1)},
        {"32 bytes",
         [&] {
             Bytes b = good;
             b.push_back(0);
             return b;
         }()},
        {"signature", with(0, 0x56)},
        {"LUN 1", with(13, 1)},
        {"block length 0", with(14, 0)},
        {"block length 17", with(14, 17)},
        {"reserved flag bits", with(12, 0x40)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Host h;
        h.out(row.cbw);
        EXPECT_EQ(h.take()[0].status, UsbStatus::Success);
        EXPECT_TRUE(h.board.cdbs.empty());
        EXPECT_EQ(h.read(13).status, UsbStatus::Stall);
        h.out(good);
        EXPECT_EQ(h.take()[0].status, UsbStatus::Stall);
        // Clearing the halts alone does not help.
        EXPECT_TRUE(h.bot.clearHalt(kIn));
        EXPECT_TRUE(h.bot.clearHalt(kOut));
        EXPECT_TRUE(h.bot.halted(kIn));
        EXPECT_TRUE(h.bot.halted(kOut));
        // Reset recovery: the class reset, then both halts cleared.
        h.bot.massStorageReset();
        EXPECT_TRUE(h.bot.halted(kIn));
        h.bot.clearHalt(kIn);
        h.bot.clearHalt(kOut);
        h.command(5, 0, false, "00 00 00 00 00 00");
        EXPECT_EQ(h.read(13).data, Csw(5, 0, 0));
    }
}

// A reset in the middle of a command forgets it; the next wrapper starts afresh.
TEST(BulkOnlyTransport, ResetInTheMiddleOfACommand) {
    {
        SCOPED_TRACE("during the OUT data");
        Host h;
        h.command(1, 1024, false, "2A 00 00 00 00 00 00 00 02 00");
        h.out(Pattern(512));
        h.take();
        h.bot.massStorageReset();
        h.command(2, 0, false, "00 00 00 00 00 00");
        EXPECT_EQ(h.read(13).data, Csw(2, 0, 0));
        ASSERT_EQ(h.board.cdbs.size(), 1u);
        EXPECT_EQ(h.board.cdbs[0][0], 0x00);  // the write never ran
    }
    {
        SCOPED_TRACE("during the IN data, with a transfer waiting");
        Host h;
        h.board.answer = Pattern(1024);
        h.command(1, 1024, true, "28 00 00 00 00 00 00 00 02 00");
        EXPECT_EQ(h.read(512).data.size(), 512u);
        h.bot.massStorageReset();
        const std::uint64_t waiting = h.in(13);
        EXPECT_TRUE(h.take().empty());
        h.out(Cbw(2, 0, false, "00 00 00 00 00 00"));
        auto c = h.take();
        ASSERT_EQ(c.size(), 2u);  // the wrapper, then the status to the waiting transfer
        EXPECT_EQ(c[1].id, waiting);
        EXPECT_EQ(c[1].data, Csw(2, 0, 0));
    }
    {
        SCOPED_TRACE("a command that never answers");
        Host h;
        h.board.call = false;
        h.board.error = 121;
        h.command(1, 36, true, "12 00 00 00 24 00");
        const std::uint64_t waiting = h.in(36);
        EXPECT_TRUE(h.take().empty());
        h.bot.massStorageReset();
        h.board.call = true;
        h.board.error = 0;
        h.out(Cbw(2, 0, false, "00 00 00 00 00 00"));
        auto c = h.take();
        ASSERT_EQ(c.size(), 2u);  // the wrapper, then the status to the waiting transfer
        EXPECT_EQ(c[1].id, waiting);
        EXPECT_EQ(c[1].data, Csw(2, 0, 0));
    }
    {
        SCOPED_TRACE("a port reset cancels what waits");
        Host h;
        const std::uint64_t waiting = h.in(13);
        h.bot.setHalt(kOut);
        h.bot.restart();
        auto c = h.take();
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].id, waiting);
        EXPECT_EQ(c[0].status, UsbStatus::Cancelled);
        EXPECT_FALSE(h.bot.halted(kOut));
    }
}

TEST(BulkOnlyTransport, DataPhaseBeyondTheLimitIsAPhaseError) {
    Host h;
    h.command(4, kMaxDataPhase + 1, true, "28 00 00 00 00 00 00 FF FF 00");
    EXPECT_EQ(h.read(512).status, UsbStatus::Stall);
    h.bot.clearHalt(kIn);
    EXPECT_EQ(h.read(13).data, Csw(4, kMaxDataPhase + 1, 2));
    EXPECT_TRUE(h.board.cdbs.empty());
}

// ---- descriptors ----

TEST(MassStorageDescriptors, HighSpeedBytes) {
    BusIdentity id;
    id.vid = 0x7E8A;
    id.pid = 0x2429;
    id.bcdDevice = 0x0100;
    id.bcdUsb = 0x0320;  // a USB 3 chip on a high-speed port shows 2.10
    id.manufacturer = "Vel";
    id.product = "Br";
    id.serial = "01";
    const MassStorageDescriptors d = BuildMassStorageDescriptors(id, UsbSpeed::High);
    EXPECT_EQ(d.device, Hex("12 01 10 02 00 00 00 40 8A 7E 29 24 00 01 01 02 03 01"));
    EXPECT_EQ(d.configuration, Hex("09 02 20 00 01 01 00 80 FA"
                                   " 09 04 00 00 02 08 06 50 00"
                                   " 07 05 81 02 00 02 00"
                                   " 07 05 02 02 00 02 00"));
    EXPECT_EQ(d.bos, Hex("05 0F 0C 00 01 07 10 02 00 00 00 00"));
    EXPECT_EQ(d.string(0), Hex("04 03 09 04"));
    EXPECT_EQ(d.string(1), Hex("08 03 56 00 65 00 6C 00"));
    EXPECT_EQ(d.string(2), Hex("06 03 42 00 72 00"));
    EXPECT_EQ(d.string(3), Hex("06 03 30 00 31 00"));
    EXPECT_FALSE(d.string(4));
}

TEST(MassStorageDescriptors, SuperSpeedBytes) {
    BusIdentity id;
    id.vid = 0x1234;
    id.pid = 0x5678;
    id.bcdDevice = 0x0203;
    id.bcdUsb = 0x0320;
    id.product = "P";  // no manufacturer, no serial: index 0
    const MassStorageDescriptors d = BuildMassStorageDescriptors(id, UsbSpeed::Super);
    EXPECT_EQ(d.device, Hex("12 01 20 03 00 00 00 09 34 12 78 56 03 02 00 01 00 01"));
    EXPECT_EQ(d.configuration, Hex("09 02 2C 00 01 01 00 80 70"
                                   " 09 04 00 00 02 08 06 50 00"
                                   " 07 05 81 02 00 04 00 06 30 0F 00 00 00"
                                   " 07 05 02 02 00 04 00 06 30 0F 00 00 00"));
    EXPECT_EQ(d.bos, Hex("05 0F 16 00 02 07 10 02 00 00 00 00 0A 10 03 00 0E 00 01 0A FF 07"));
    EXPECT_EQ(d.string(1), Hex("04 03 50 00"));
    EXPECT_FALSE(d.string(2));
}

TEST(MassStorageDescriptors, StringsAreLatin1AndBounded) {
    EXPECT_EQ(StringDescriptor("\xE9"), Hex("04 03 E9 00"));
    const Bytes longest = StringDescriptor(std::string(300, 'A'));
    EXPECT_EQ(longest.size(), 254u);
    EXPECT_EQ(longest[0], 254);
}

TEST(MassStorageDescriptors, ConnectSpeed) {
    BusIdentity usb2, usb3;
    usb2.bcdUsb = 0x0210;
    usb3.bcdUsb = 0x0320;
    EXPECT_EQ(ConnectSpeed(PortSpeed::Super, usb3), UsbSpeed::Super);
    EXPECT_EQ(ConnectSpeed(PortSpeed::SuperPlus, usb3), UsbSpeed::Super);
    EXPECT_EQ(ConnectSpeed(PortSpeed::Super, usb2), UsbSpeed::High);
    EXPECT_EQ(ConnectSpeed(PortSpeed::High, usb3), UsbSpeed::High);
    EXPECT_EQ(ConnectSpeed(PortSpeed::Full, usb3), UsbSpeed::Full);
}

// ---- the board behind it ----

struct Device {
    test::Rig rig;
    std::shared_ptr<BridgeFunction> function;
    SimUsbBridge usb;
    std::uint64_t nextId = 1;

    Device()
        : rig(test::Kind(14)),
          function(std::make_shared<BridgeFunction>(rig.bridge, false)),
          usb(rig.bridge, function, PortSpeed::High, "test") {}

    UsbControlAnswer control(const std::string& setup) {
        const Bytes s = Hex(setup);
        UsbSetup u{s[0], s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                   static_cast<std::uint16_t>(s[4] | s[5] << 8),
                   static_cast<std::uint16_t>(s[6] | s[7] << 8)};
        return usb.control(u, {});
    }
    // One command through the transport: the data and the status wrapper.
    std::pair<Bytes, Bytes> in(std::uint32_t tag, std::uint32_t length, const std::string& cdb) {
        const Bytes cbw = Cbw(tag, length, true, cdb);
        usb.transfer(nextId++, kOut, 31, cbw);
        usb.transfer(nextId++, kIn, length, {});
        usb.transfer(nextId++, kIn, 13, {});
        auto c = usb.takeCompletions();
        EXPECT_EQ(c.size(), 3u);
        if (c.size() != 3)
            return {};
        return {c[1].data, c[2].data};
    }
};

TEST(SimUsbBridge, AnnouncesAndAnswersFromTheBoard) {
    Device d;
    ASSERT_TRUE(d.usb.attachment());
    const UsbDeviceAnnounce a = d.usb.connect();
    const UsbIdentity id = d.rig.bridge->identity();
    EXPECT_EQ(a.vendorId, id.vid);
    EXPECT_EQ(a.productId, id.pid);
    EXPECT_EQ(a.speed, UsbSpeed::High);
    ASSERT_EQ(a.interfaces.size(), 1u);
    EXPECT_EQ(a.interfaces[0].interfaceClass, 0x08);
    ASSERT_EQ(a.endpoints.size(), 2u);
    EXPECT_EQ(a.endpoints[0].maxPacketSize, 512);

    // Strings from the identity the board booted with.
    const UsbControlAnswer serial = d.control("80 06 03 03 09 04 FF 00");
    EXPECT_EQ(serial.data, StringDescriptor(id.serial));
    EXPECT_EQ(d.control("80 06 00 01 00 00 08 00").data.size(), 8u);           // as long as asked
    EXPECT_EQ(d.control("80 06 00 06 00 00 0A 00").status, UsbStatus::Stall);  // no qualifier

    // Not configured: no bulk endpoints yet.
    d.usb.transfer(99, kIn, 13, {});
    EXPECT_EQ(d.usb.takeCompletions()[0].status, UsbStatus::Stall);
    ASSERT_TRUE(d.usb.setConfiguration(1));
    EXPECT_EQ(d.control("A1 FE 00 00 00 00 01 00").data, Bytes{0});            // GET_MAX_LUN
    EXPECT_EQ(d.control("A1 FE 00 00 01 00 01 00").status, UsbStatus::Stall);  // interface 1

    // INQUIRY reaches the board; what it answers comes back with the status wrapper.
    auto [data, csw] = d.in(0x10, 36, "12 00 00 00 24 00");
    test::Answer direct = d.rig.in("12 00 00 00 24 00", 36);
    EXPECT_EQ(data, direct.data);
    EXPECT_EQ(csw, Csw(0x10, 0, 0));
    // Halt state as GET_STATUS shows it, and the class reset.
    EXPECT_EQ(d.control("82 00 00 00 81 00 02 00").data, Hex("00 00"));
    EXPECT_EQ(d.control("02 03 00 00 81 00 00 00").status, UsbStatus::Success);
    EXPECT_EQ(d.control("82 00 00 00 81 00 02 00").data, Hex("01 00"));
    EXPECT_EQ(d.control("21 FF 00 00 00 00 00 00").status, UsbStatus::Success);
}

// A reset the board is told to do takes it off the bus; it comes back as a new
// attachment with the identity it booted with.
TEST(SimUsbBridge, BoardResetEndsTheAttachment) {
    Device d;
    const auto first = d.usb.attachment();
    ASSERT_TRUE(first);
    d.usb.connect();
    ASSERT_TRUE(d.usb.setConfiguration(1));
    const Bytes cbw = Cbw(1, 0, false, "FF 04 26 56 51 00 00 00 00 00 00 00");
    d.usb.transfer(1, kOut, 31, cbw);
    d.usb.transfer(2, kIn, 13, {});
    auto c = d.usb.takeCompletions();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[1].data, Csw(1, 0, 0));
    EXPECT_FALSE(d.usb.attachment());
    d.rig.sim.clock().sleepMs(2000);
    const auto second = d.usb.attachment();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    d.usb.connect();
    ASSERT_TRUE(d.usb.setConfiguration(1));
    auto [data, csw] = d.in(2, 36, "12 00 00 00 24 00");
    EXPECT_EQ(csw, Csw(2, 0, 0));

    // Its port power switched off and on: off the bus, then back as a new attachment.
    d.function->supplyChanged(false);
    d.rig.sim.clock().sleepMs(100);
    EXPECT_FALSE(d.usb.attachment());
    d.function->supplyChanged(true);
    const auto third = d.usb.attachment();
    ASSERT_TRUE(third);
    EXPECT_NE(*third, *second);
}

}  // namespace
}  // namespace vq::sim
