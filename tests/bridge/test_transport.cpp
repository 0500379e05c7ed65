#include "bridge/Transport.h"

#include <gtest/gtest.h>

#include <array>

#include "FakeScsi.h"
#include "bridge/VendorCommands.h"

namespace vq::bridge {
namespace {

using test::FakeScsi;
using test::Hex;
using test::Reply;

class TransportTest : public ::testing::Test {
  protected:
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport{scsi, clock, TransportSettings{7}};
    Target dev{transport, "\\\\.\\E:"};
};

TEST_F(TransportTest, OneByteReadMovesTwoBytesAndReturnsTheFirst) {
    scsi.on("DF 10", Reply{{0xAB, 0xCD}});
    std::array<std::uint8_t, 1> out{};
    std::uint32_t transferred = 0;
    ASSERT_TRUE(SendCommandIn(dev, Hex("DF 10 00 00 01 00 72 0F 00 00 00 FD"), out, &transferred));
    EXPECT_EQ(out[0], 0xAB);
    ASSERT_EQ(scsi.sent.size(), 1u);
    EXPECT_EQ(scsi.sent[0].length, 2u);
    EXPECT_EQ(scsi.sent[0].direction, DataDirection::In);
    EXPECT_EQ(transferred, 2u);
}

TEST_F(TransportTest, OneByteWriteSendsTheByteAndAZero) {
    scsi.on("DF 00", Reply{});
    const std::array<std::uint8_t, 1> byte{0x5A};
    ASSERT_TRUE(SendCommandOut(dev, Hex("DF 00 00 00 01 00 50 6A 00 00 00 FE"), byte));
    ASSERT_EQ(scsi.sent.size(), 1u);
    EXPECT_EQ(scsi.sent[0].data, Hex("5A 00"));
    EXPECT_EQ(scsi.sent[0].direction, DataDirection::Out);
}

TEST_F(TransportTest, LengthZeroSendsNoBufferAndSucceedsOnGoodStatus) {
    scsi.on("FF 04 13", Reply{});
    ASSERT_TRUE(SendCommandOut(dev, Hex("FF 04 13 00 00 00 00 00 00 00 00 00"), {}));
    EXPECT_EQ(scsi.sent[0].length, 0u);
    EXPECT_EQ(scsi.sent[0].address, 0u);
    scsi.on("FF 04 26", Reply{});
    ASSERT_TRUE(SendCommandIn(dev, Hex("FF 04 26 56 51 00 00 00 00 00 00 00"), {}));
    EXPECT_EQ(scsi.sent[1].length, 0u);
    EXPECT_EQ(scsi.sent[1].direction, DataDirection::In);
}

TEST_F(TransportTest, TransferBuffersAreAlignedAndZeroFilled) {
    scsi.on("12", Reply{});
    scsi.on("3B", Reply{});
    std::array<std::uint8_t, 40> out;
    out.fill(0xEE);
    std::array<std::uint8_t, 300> src;
    src.fill(0x33);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(SendCommandIn(dev, Hex("12 00 00 00 28 00 00 00 00 00 00 00"), out));
        ASSERT_TRUE(SendCommandOut(dev, Hex("3B 06 00 00 00 00 00 01 2C 00"), src));
    }
    for (const auto& s : scsi.sent) {
        EXPECT_EQ(s.address % 8192, 0u);
        const auto expected = s.direction == DataDirection::In
                                  ? std::vector<std::uint8_t>(40, 0)
                                  : std::vector<std::uint8_t>(300, 0x33);
        EXPECT_EQ(s.data, expected);
    }
    // What a device leaves unanswered comes back as the zero-filled buffer's bytes.
    EXPECT_EQ(out, (std::array<std::uint8_t, 40>{}));
}

TEST_F(TransportTest, EachPathCommandOpensAndClosesTheDevice) {
    scsi.on("FF 04 12", Reply{{0}});
    std::uint8_t status = 0;
    for (int i = 0; i < 3; ++i)
        SerialFlashStatus(dev, status);
    EXPECT_EQ(scsi.opens, 3);
    EXPECT_EQ(scsi.closes, 3);
    for (const auto& s : scsi.sent)
        EXPECT_EQ(s.path, "\\\\.\\E:");
}

struct Outcome {
    const char* name;
    Reply reply;
    bool byPath;
    bool onHandle;
};

TEST_F(TransportTest, SuccessNeedsCallLastErrorAndStatusByPathButOnlyCallAndStatusOnHandle) {
    const Outcome cases[] = {
        {"all good", Reply{{1, 2}, true, 0, 0}, true, true},
        {"check condition", Reply{{1, 2}, true, 0, 2}, false, false},
        {"busy status", Reply{{1, 2}, true, 0, 8}, false, false},
        {"call failed", Reply{{1, 2}, false, 0, 0}, false, false},
        {"last error set", Reply{{1, 2}, true, 121, 0}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scsi.on("DF", c.reply);
        std::array<std::uint8_t, 2> out{};
        EXPECT_EQ(SendCommandIn(dev, Hex("DF 10 00 00 02 00 00 00 00 00 00 FF"), out), c.byPath);
        // The answer and the transferred length are written on failure too.
        EXPECT_EQ(out, (std::array<std::uint8_t, 2>{1, 2}));
        auto handle = scsi.open(dev.path, nullptr);
        EXPECT_EQ(SendCommandInOnHandle(transport, *handle,
                                        Hex("DF 10 00 00 02 00 00 00 00 00 00 FF"), out),
                  c.onHandle);
    }
}

TEST_F(TransportTest, TransferredLengthIsWhatTheSystemReportsEvenOnFailure) {
    scsi.on("12", Reply{{0x05}, true, 0, 2, 17});
    std::array<std::uint8_t, 40> out{};
    std::uint32_t transferred = 0;
    EXPECT_FALSE(SendCommandIn(dev, Hex("12 00 00 00 28 00 00 00 00 00 00 00"), out, &transferred));
    EXPECT_EQ(transferred, 17u);
    EXPECT_EQ(out[0], 0x05);
}

TEST_F(TransportTest, AMissingPathFailsAtOnceWithoutARequest) {
    scsi.openFails = true;
    std::array<std::uint8_t, 4> out{};
    std::uint32_t transferred = 99;
    EXPECT_FALSE(SendCommandIn(dev, Hex("FF 04 23 04 00 00 00 00 00 00 00 00"), out, &transferred));
    EXPECT_FALSE(SendCommandOut(dev, Hex("FF 04 13 00 00 00 00 00 00 00 00 00"), {}));
    StorageDeviceNumber n;
    EXPECT_FALSE(QueryDeviceNumber(dev, n));
    EXPECT_TRUE(scsi.sent.empty());
    EXPECT_EQ(transferred, 99u);
}

TEST_F(TransportTest, HandleFormsUseTheCallersBufferAndTheSettingsTimeOut) {
    scsi.on("2A", Reply{});
    scsi.on("28", Reply{{9, 8, 7}});
    auto handle = scsi.open(dev.path, nullptr);
    std::array<std::uint8_t, 1024> block{};
    block[0] = 0x11;
    ASSERT_TRUE(Write10(transport, *handle, 0x01020304, 512, block));
    ASSERT_TRUE(Read10(transport, *handle, 0x01020304, 512, block));
    ASSERT_EQ(scsi.sent.size(), 2u);
    EXPECT_EQ(scsi.sent[0].cdb, Hex("2A 00 01 02 03 04 00 00 02 00"));
    EXPECT_EQ(scsi.sent[0].direction, DataDirection::Out);
    EXPECT_EQ(scsi.sent[0].data[0], 0x11);
    EXPECT_EQ(scsi.sent[1].cdb, Hex("28 00 01 02 03 04 00 00 02 00"));
    EXPECT_EQ(scsi.sent[1].direction, DataDirection::In);
    for (const auto& s : scsi.sent) {
        EXPECT_EQ(s.address, reinterpret_cast<std::uintptr_t>(block.data()));
        EXPECT_EQ(s.length, 1024u);
        EXPECT_EQ(s.timeout, 7u);
    }
    EXPECT_EQ(block[0], 9);
    // Even the chip-erase block takes the setting on a handle.
    scsi.on("FF 04 13", Reply{});
    ASSERT_TRUE(
        SendCommandOutOnHandle(transport, *handle, Hex("FF 04 13 00 00 00 00 00 00 00 00 00"), {}));
    EXPECT_EQ(scsi.sent.back().timeout, 7u);
    EXPECT_EQ(scsi.opens, 1);
}

TEST_F(TransportTest, OneByteTransfersOnAHandleGoThroughTwoBytes) {
    scsi.on("FF 04 12", Reply{{0x03, 0x44}});
    scsi.on("FF 04 22", Reply{});
    auto handle = scsi.open(dev.path, nullptr);
    std::array<std::uint8_t, 1> in{};
    ASSERT_TRUE(
        SendCommandInOnHandle(transport, *handle, Hex("FF 04 12 00 00 00 00 00 00 00 00 00"), in));
    EXPECT_EQ(in[0], 0x03);
    EXPECT_EQ(scsi.sent[0].length, 2u);
    const std::array<std::uint8_t, 1> out{0x77};
    ASSERT_TRUE(SendCommandOutOnHandle(transport, *handle,
                                       Hex("FF 04 22 00 00 00 00 00 01 00 00 00"), out));
    EXPECT_EQ(scsi.sent[1].data, Hex("77 00"));
}

TEST_F(TransportTest, SectorCountsThatDoNotFitTheBlockAreRefused) {
    auto handle = scsi.open(dev.path, nullptr);
    std::array<std::uint8_t, 512> block{};
    EXPECT_FALSE(Read10(transport, *handle, 0, 0, block));
    EXPECT_TRUE(scsi.sent.empty());
}

TEST_F(TransportTest, QueryDeviceNumberPassesTheAnswerOn) {
    StorageDeviceNumber n;
    EXPECT_FALSE(QueryDeviceNumber(dev, n));
    scsi.number = StorageDeviceNumber{7, 3, 1};
    ASSERT_TRUE(QueryDeviceNumber(dev, n));
    EXPECT_EQ(n.deviceType, 7u);
    EXPECT_EQ(n.deviceNumber, 3u);
    EXPECT_EQ(n.partitionNumber, 1u);
}

TEST(CommandTimeout, ChipEraseClassTakes100SecondsOtherWritesFiftyReadsTheSetting) {
    struct Row {
        const char* cdb;
        bool dataIn;
        std::uint32_t expected;
    } rows[] = {
        {"FF 04 13 00 00 00 00 00 00 00 00 00", false, 100},
        {"DF 03 00 00 00 00 00 00 00 00 00 FB", false, 100},
        {"DF 83 00 00 00 00 00 00 00 00 00 FB", false, 50},
        {"DF 03 00 00 00 00 00 00 00 00 00 FE", false, 50},
        {"FF 04 14 00 80 00 00 00 00 00 00 00", false, 50},
        {"FF 04 13 00 00 00 00 00 00 00 00 00", true, 30},
        {"55 01 00 00 00 00 00 00 30 00", false, 50},
        {"3B 0F 00 00 00 00 00 00 00 00", false, 50},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cdb);
        EXPECT_EQ(CommandTimeout(Hex(r.cdb), r.dataIn, 30), r.expected);
    }
}

TEST_F(TransportTest, WaitFlashReadyPollsEveryTenMillisecondsUpTo500Rereads) {
    int reads = 0;
    int busyReads = 3;
    scsi.handler = [&](const test::Sent&) -> std::optional<Reply> {
        ++reads;
        return Reply{{static_cast<std::uint8_t>(reads <= busyReads ? 0x03 : 0x02)}};
    };
    const auto t0 = clock.tickMs();
    EXPECT_TRUE(WaitFlashReady(dev));
    EXPECT_EQ(reads, 4);
    EXPECT_EQ(clock.tickMs() - t0, 30u);

    reads = 0;
    busyReads = 1'000'000;
    const auto t1 = clock.tickMs();
    EXPECT_FALSE(WaitFlashReady(dev));
    EXPECT_EQ(reads, 501);
    EXPECT_EQ(clock.tickMs() - t1, 5000u);

    reads = 0;
    busyReads = 500;  // clear on the 500th re-read: still in time
    EXPECT_TRUE(WaitFlashReady(dev));
    EXPECT_EQ(reads, 501);
}

TEST_F(TransportTest, WaitFlashReadyTakesAFailedStatusReadAsNotBusy) {
    scsi.fail("FF 04 12");
    EXPECT_TRUE(WaitFlashReady(dev));
    EXPECT_EQ(scsi.sent.size(), 1u);
}

TEST_F(TransportTest, WaitParallelFlashReadyRetriesFailuresAndBusyAnswers) {
    int tries = 0;
    scsi.handler = [&](const test::Sent&) -> std::optional<Reply> {
        ++tries;
        if (tries <= 2)
            return Reply{{0}, true, 0, 2};  // fails
        return Reply{{static_cast<std::uint8_t>(tries <= 5 ? 1 : 0)}};
    };
    const auto t0 = clock.tickMs();
    EXPECT_TRUE(WaitParallelFlashReady(dev));
    EXPECT_EQ(tries, 6);
    EXPECT_EQ(clock.tickMs() - t0, 50u);

    tries = 100;
    scsi.handler = [&](const test::Sent&) -> std::optional<Reply> {
        ++tries;
        return Reply{{1}};
    };
    tries = 0;
    EXPECT_FALSE(WaitParallelFlashReady(dev));
    EXPECT_EQ(tries, 50000);
}

}  // namespace
}  // namespace vq::bridge
