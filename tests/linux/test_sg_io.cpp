// What can be checked of the SG_IO pass-through without a SCSI device: opening paths that
// are missing or do not take SG_IO, the request fields it derives, the folding of the
// driver's answer, one call per request (through a stand-in for the ioctl), and the
// device-number lookup against a small sysfs tree.
#include "platform/linux/SgIoPassThrough.h"

#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

TEST(SgIoPassThrough, SenseDataTheDriverWroteIsKept) {
    const std::vector<std::uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24};
    const ScsiResult r = FoldSgIoResult(2, 0, 0x08, 0, 0, sense);
    ASSERT_EQ(r.senseLength, sense.size());
    EXPECT_TRUE(std::equal(sense.begin(), sense.end(), r.sense.begin()));
    EXPECT_EQ(FoldSgIoResult(0, 0, 0, 0, 0).senseLength, 0u);
    const std::vector<std::uint8_t> tooLong(40, 0xEE);
    EXPECT_EQ(FoldSgIoResult(2, 0, 0, 0, 0, tooLong).senseLength, 32u);
}

// A stand-in for the SG_IO ioctl: answers from a script of (return value, errno) pairs and
// counts the calls; a successful call reports CHECK CONDITION with four sense bytes.
struct ScriptedIoctl {
    static inline std::vector<std::pair<int, int>> script;
    static inline int calls = 0;
    static int call(int, void* header) {
        const auto [rc, err] = script.at(static_cast<std::size_t>(calls++));
        if (rc < 0) {
            errno = err;
            return rc;
        }
        auto* h = static_cast<sg_io_hdr_t*>(header);
        h->status = 2;
        h->resid = 0;
        static const unsigned char kSense[] = {0x70, 0, 0x06, 0};
        std::copy(std::begin(kSense), std::end(kSense), h->sbp);
        h->sb_len_wr = sizeof kSense;
        return 0;
    }
};

TEST(SgIoPassThrough, AnInterruptedRequestIsReportedAndNeverSentAgain) {
    std::array<std::uint8_t, 6> cdb{0x12, 0, 0, 0, 36, 0};
    std::vector<std::uint8_t> data(36);
    const ScsiRequest request{cdb, DataDirection::In, data, 5};

    ScriptedIoctl::script = {{-1, EINTR}, {0, 0}};
    ScriptedIoctl::calls = 0;
    ScsiResult r = ExecuteSgIo(-1, request, &ScriptedIoctl::call);
    EXPECT_EQ(ScriptedIoctl::calls, 1);
    EXPECT_FALSE(r.callSucceeded);
    EXPECT_EQ(r.lastError, static_cast<std::uint32_t>(EINTR));

    ScriptedIoctl::script = {{0, 0}};
    ScriptedIoctl::calls = 0;
    r = ExecuteSgIo(-1, request, &ScriptedIoctl::call);
    EXPECT_EQ(ScriptedIoctl::calls, 1);
    EXPECT_TRUE(r.callSucceeded);
    EXPECT_EQ(r.scsiStatus, 2);
    EXPECT_EQ(r.bytesTransferred, 36u);
    ASSERT_EQ(r.senseLength, 4u);
    EXPECT_EQ(r.sense[2], 0x06);

    ScriptedIoctl::calls = 0;
    std::array<std::uint8_t, 4> shortCdb{};
    r = ExecuteSgIo(-1, {shortCdb, DataDirection::None, {}, 5}, &ScriptedIoctl::call);
    EXPECT_EQ(ScriptedIoctl::calls, 0);
    EXPECT_EQ(r.lastError, static_cast<std::uint32_t>(EINVAL));
}

// /dev/null stands for an sg node: a sysfs tree that gives its char number an sg device
// whose SCSI device is an optical drive with block device 11:0.
TEST(SgIoPassThrough, DeviceNumberQueryNeedsNoAccessAndFollowsSysfs) {
    namespace fs = std::filesystem;
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    const std::string id =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    const fs::path root = fs::temp_directory_path() / "vq_sg_io_sysfs";
    fs::remove_all(root);
    const fs::path scsi = root / "devices/pci0000:00/host0/target0:0:0/0:0:0:0";
    fs::create_directories(scsi / "scsi_generic/sg0");
    fs::create_directories(scsi / "block/sr0");
    fs::create_directories(root / "dev/char");
    std::ofstream(scsi / "type") << "5\n";
    std::ofstream(scsi / "block/sr0/dev") << "11:0\n";
    fs::create_directory_symlink(scsi, scsi / "scsi_generic/sg0/device");
    fs::create_directory_symlink(scsi / "scsi_generic/sg0", root / "dev/char" / id);

    const auto n = QueryDeviceNumber("/dev/null", root);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->deviceType, 2u);
    EXPECT_EQ(n->deviceNumber, (11u << 20) | 0u);
    EXPECT_EQ(n->partitionNumber, 0u);

    // A folder cannot be opened for reading and writing even by root; the query opens it
    // all the same and answers that it is no device.
    EXPECT_FALSE(QueryDeviceNumber(root.string(), root).has_value());
    EXPECT_FALSE(QueryDeviceNumber("/dev/this-node-does-not-exist", root).has_value());
    fs::remove_all(root);
}

}  // namespace
}  // namespace vq
