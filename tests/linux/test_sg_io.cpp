// What can be checked of the SG_IO pass-through without a SCSI device: opening paths that
// are missing or do not take SG_IO, the request fields it derives, and the folding of the
// driver's answer. Command execution itself needs hardware.
#include "platform/linux/SgIoPassThrough.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

namespace vq {
namespace {

constexpr int kNone = -1, kToDevice = -2, kFromDevice = -3;  // SG_DXFER_*

TEST(SgIoPassThrough, AMissingPathFailsAtOnceWithItsError) {
    SgIoPassThrough sg;
    std::uint32_t error = 0;
    EXPECT_EQ(sg.open("/dev/this-node-does-not-exist", &error), nullptr);
    EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(sg.open("/dev/this-node-does-not-exist"), nullptr);
}

TEST(SgIoPassThrough, NodesThatDoNotTakeScsiRequestsAreRefused) {
    const auto file = std::filesystem::temp_directory_path() / "vq_sg_io_plain_file";
    std::ofstream(file) << "not a device";
    SgIoPassThrough sg;
    std::uint32_t error = 0;
    EXPECT_EQ(sg.open(file.string(), &error), nullptr);
    EXPECT_EQ(error, static_cast<std::uint32_t>(ENOTTY));
    std::filesystem::remove(file);
    error = 0;
    EXPECT_EQ(sg.open("/dev/null", &error), nullptr);
    EXPECT_NE(error, 0u);
}

TEST(SgIoPassThrough, RequestsMapToDirectionAndMilliseconds) {
    std::array<std::uint8_t, 12> cdb12{};
    std::array<std::uint8_t, 16> cdb16{};
    std::array<std::uint8_t, 6> cdb6{};
    std::array<std::uint8_t, 5> cdb5{};
    std::array<std::uint8_t, 17> cdb17{};
    std::vector<std::uint8_t> data(512);
    struct Row {
        const char* name;
        ScsiRequest request;
        int direction;
        std::uint32_t timeoutMs;
        std::uint32_t error;
    } rows[] = {
        {"in", {cdb12, DataDirection::In, data, 10}, kFromDevice, 10'000, 0},
        {"out", {cdb12, DataDirection::Out, data, 50}, kToDevice, 50'000, 0},
        {"in without data", {cdb12, DataDirection::In, {}, 10}, kNone, 10'000, 0},
        {"out without data", {cdb12, DataDirection::Out, {}, 100}, kNone, 100'000, 0},
        {"none", {cdb16, DataDirection::None, {}, 1}, kNone, 1'000, 0},
        {"six-byte block", {cdb6, DataDirection::In, data, 1}, kFromDevice, 1'000, 0},
        {"huge time-out saturates",
         {cdb12, DataDirection::In, data, 0xFFFFFFFF},
         kFromDevice,
         0xFFFFFFFF,
         0},
        {"block too short", {cdb5, DataDirection::In, data, 1}, 0, 0, EINVAL},
        {"block too long", {cdb17, DataDirection::In, data, 1}, 0, 0, EINVAL},
        {"data without direction", {cdb12, DataDirection::None, data, 1}, 0, 0, EINVAL},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const SgIoPlan plan = PlanSgIo(r.request);
        EXPECT_EQ(plan.error, r.error);
        if (r.error == 0) {
            EXPECT_EQ(plan.dxferDirection, r.direction);
            EXPECT_EQ(plan.timeoutMs, r.timeoutMs);
        }
    }
}

TEST(SgIoPassThrough, DriverAnswersFoldIntoStatusLastErrorAndBytesMoved) {
    struct Row {
        const char* name;
        std::uint8_t status;
        std::uint16_t host, driver;
        std::int32_t resid;
        std::uint32_t length;
        std::uint32_t lastError, moved;
    } rows[] = {
        {"good", 0, 0, 0, 0, 512, 0, 512},
        {"short read", 0, 0, 0, 112, 512, 0, 400},
        {"check condition", 2, 0, 0x08, 512, 512, 0x08, 0},
        {"host timed out", 0, 0x03, 0, 0, 512, 0x30000, 512},
        {"host and driver", 0, 0x07, 0x06, 0, 0, 0x70006, 0},
        {"negative residual", 0, 0, 0, -4, 8, 0, 8},
        {"residual beyond length", 0, 0, 0, 100, 8, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const ScsiResult res = FoldSgIoResult(r.status, r.host, r.driver, r.resid, r.length);
        EXPECT_TRUE(res.callSucceeded);
        EXPECT_EQ(res.scsiStatus, r.status);
        EXPECT_EQ(res.lastError, r.lastError);
        EXPECT_EQ(res.bytesTransferred, r.moved);
    }
}

}  // namespace
}  // namespace vq
