// The read/write test and the worker's read/write step, on an in-memory volume whose
// transfers cost time at known rates.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "disk/ReadWriteTest.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "platform/Platform.h"
#include "tests/disk/FakeFiles.h"

namespace vq {
namespace {

using test::FakeClock;
using test::FakeFiles;

constexpr std::uint64_t kMiB = 1u << 20;
const std::filesystem::path kRoot = "/vol";
const std::filesystem::path kTestFile = "/vol/targetTestFile.mas";

struct Rig {
    FakeClock clock;
    FakeFiles files{&clock};
    RecordingOperator op;
    CapturingDiagnostics diag;
    Platform platform;
    PatternBlock pattern{};

    Rig() {
        platform.clock = &clock;
        platform.files = &files;
        platform.op = &op;
        platform.diagnostics = &diag;
        files.addFolder(kRoot);
        for (std::size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& m : op.messages()) {
            EXPECT_EQ(m.title, "Error");
            out.push_back(m.text);
        }
        return out;
    }
    bool run(std::int32_t sizeMiB, ReadWriteRates& rates) {
        return RunReadWriteTest(platform, kRoot, sizeMiB, pattern, rates);
    }
};

TEST(ReadWriteTest, WholeRequestsOfThePatternAtTheDrivesRates) {
    // Sizes round up to whole 32 MiB requests; the rates are MiB per second of the drive.
    struct Row {
        std::int32_t size;
        std::uint64_t requests;
        double writeMiBs, readMiBs;
    } rows[] = {{2, 1, 18.5, 31.0}, {33, 2, 95.0, 140.0}, {100, 4, 310.0, 420.0}};
    for (const auto& r : rows) {
        Rig rig;
        rig.files.writeRate = r.writeMiBs * kMiB;
        rig.files.readRate = r.readMiBs * kMiB;
        std::vector<std::size_t> writes;
        std::vector<std::uint8_t> firstRequest;
        rig.files.onTransfer = [&](bool write, std::size_t n) {
            if (!write)
                return;
            writes.push_back(n);
            if (firstRequest.empty())
                firstRequest = rig.files.content(kTestFile);
        };
        ReadWriteRates rates;
        EXPECT_TRUE(rig.run(r.size, rates)) << r.size;
        EXPECT_EQ(writes, std::vector<std::size_t>(r.requests, 32 * kMiB)) << r.size;
        EXPECT_EQ(rig.files.bytesRead(), r.requests * 32 * kMiB) << r.size;
        EXPECT_EQ(ReadWriteTestBytes(r.size), r.requests * 32 * kMiB);
        EXPECT_EQ(rig.files.unbufferedOpens(), 2);
        EXPECT_FALSE(rig.files.exists(kTestFile)) << "the test file is removed";
        EXPECT_TRUE(rig.texts().empty());
        EXPECT_NEAR(rates.write, r.writeMiBs, r.writeMiBs * 0.001);
        EXPECT_NEAR(rates.read, r.readMiBs, r.readMiBs * 0.001);
        // 512 copies of the pattern block.
        ASSERT_EQ(firstRequest.size(), 32 * kMiB);
        for (std::size_t at : {std::size_t{0}, 65536 * std::size_t{511}}) {
            EXPECT_TRUE(std::equal(rig.pattern.begin(), rig.pattern.end(),
                                   firstRequest.begin() + static_cast<std::ptrdiff_t>(at)))
                << at;
        }
    }
    EXPECT_EQ(ReadWriteTestBytes(0), 0u);
    EXPECT_EQ(ReadWriteTestBytes(-5), 0u);
}

TEST(ReadWriteTest, LeftoverTestFileIsDeletedFirst) {
    Rig rig;
    rig.files.addFile(kTestFile, "left from yesterday");
    ReadWriteRates rates;
    EXPECT_TRUE(rig.run(32, rates));
    EXPECT_FALSE(rig.files.exists(kTestFile));
}

TEST(ReadWriteTest, FailuresAreReportedAndNeverPass) {
    struct Row {
        const char* name;
        std::function<void(Rig&)> arrange;
        std::vector<std::string> messages;
        bool wrote;        // whether the write half completed (its rate kept)
        bool fileRemains;  // the test file is left behind
    } rows[] = {
        {"leftover that cannot be deleted",
         [](Rig& r) {
             r.files.addFile(kTestFile, "x");
             r.files.stuck[kTestFile.generic_string()] = 1000;
         },
         {"Delete the RW temp file fail"},
         false,
         true},
        {"no room for the file",
         [](Rig& r) { r.files.capacity = 40 * kMiB; },
         {" Write target file fail: disk full"},
         false,
         false},
        {"volume gone while reading",
         [](Rig& r) { r.files.vanishAfterTransfers = 3; },
         {" Read target file fail: device removed", "R/W test file disappear\n"},
         true,
         true},
        {"a byte changed on the way back",
         [](Rig& r) {
             r.files.onTransfer = [&r](bool write, std::size_t) {
                 if (!write)
                     r.files.changeByte(kTestFile, 32 * kMiB + 100);
             };
         },
         {},
         true,
         false},
        {"file that will not go away after the test",
         [](Rig& r) { r.files.stuck[kTestFile.generic_string()] = 102; },
         {"Delete the RW temp file fail"},
         false,
         true},
        {"nothing to test", [](Rig&) {}, {" R/W test data size is 0"}, false, false},
    };
    for (const auto& row : rows) {
        Rig rig;
        row.arrange(rig);
        ReadWriteRates rates{5, 5};
        const std::int32_t size = std::string(row.name) == "nothing to test" ? 0 : 64;
        EXPECT_FALSE(rig.run(size, rates)) << row.name;
        EXPECT_EQ(rig.texts(), row.messages) << row.name;
        EXPECT_EQ(rates.write > 0, row.wrote) << row.name;
        EXPECT_EQ(rig.files.exists(kTestFile), row.fileRemains) << row.name;
    }
}

TEST(ReadWriteTest, DeleteIsRetriedEvery200MsUntilTheFileIsGone) {
    Rig rig;
    rig.files.stuck[kTestFile.generic_string()] = 5;
    ReadWriteRates rates;
    EXPECT_TRUE(rig.run(32, rates));
    // Five refusals, the delete, and the check that finds it gone.
    EXPECT_EQ(rig.clock.sleptMs(), 6u * 200u);
}

struct StepRig : Rig {
    std::mutex lock;
    int flushes = 0;
    bool freeOk = true;
    ReadWriteStepHooks hooks{lock, [this] { ++flushes; }, [this] { return freeOk; }};
    ReadWriteStepInput in;
    StepRig() {
        in.volumeRoot = kRoot;
        in.rwDataSize = 32;
        in.usbSpeed = 2;
        files.writeRate = 40.0 * kMiB;
        files.readRate = 80.0 * kMiB;
    }
    ReadWriteStepResult step() { return RunReadWriteStep(platform, pattern, in, hooks); }
};

TEST(ReadWriteStep, MeasuredSizeIsRaisedAtSuperSpeed) {
    struct Row {
        std::int32_t size, speed, measured;
    } rows[] = {{64, 2, 64},   {64, 3, 256},  {64, 4, 256},
                {300, 3, 300}, {100, 1, 100}, {64, 255, 256}};
    for (const auto& r : rows)
        EXPECT_EQ(MeasuredSizeMiB(r.size, r.speed), r.measured) << r.size << " " << r.speed;
}

TEST(ReadWriteStep, WarmUpOf32MiBThenTheMeasuredRunThenTenFlushes) {
    StepRig rig;
    rig.in.rwDataSize = 64;
    rig.in.usbSpeed = 3;
    std::vector<std::size_t> writes;
    rig.files.onTransfer = [&](bool write, std::size_t n) {
        if (write)
            writes.push_back(n / kMiB);
        else if (writes.size() == 1)
            writes.push_back(0);  // the warm-up's read-back
    };
    int flushesDuringTest = -1;
    rig.hooks.flushCache = [&] {
        if (flushesDuringTest < 0)
            flushesDuringTest = static_cast<int>(writes.size());
        ++rig.flushes;
    };
    EXPECT_EQ(rig.step().result, 1);
    EXPECT_EQ(writes, (std::vector<std::size_t>{32, 0, 32, 32, 32, 32, 32, 32, 32, 32}));
    EXPECT_EQ(rig.flushes, 10);
    EXPECT_EQ(flushesDuringTest, 10) << "the flushes follow the measured run";
}

TEST(ReadWriteStep, MeasuredRunHoldsTheLockAndTheWarmUpDoesNot) {
    StepRig rig;
    std::vector<bool> heldPerWrite;
    rig.files.onTransfer = [&](bool write, std::size_t) {
        if (!write)
            return;
        const bool free = rig.lock.try_lock();
        if (free)
            rig.lock.unlock();
        heldPerWrite.push_back(!free);
    };
    rig.step();
    EXPECT_EQ(heldPerWrite, (std::vector<bool>{false, true}));
}

TEST(ReadWriteStep, MinimumsAreComparedOnlyWhenBothAreAtLeastOne) {
    struct Row {
        float read, write;
        std::int32_t minRead, minWrite;
        bool below;
    } rows[] = {
        {80, 40, 0, 0, false},    {80, 40, 70, 30, false}, {80, 40, 90, 30, true},
        {80, 40, 70, 50, true},   {80, 40, 0, 500, false}, {80, 40, 500, 0, false},
        {80, 40, -3, 500, false}, {80, 40, 80, 40, false}, {0, 0, 1, 1, true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(BelowMinimumRates({r.read, r.write}, r.minRead, r.minWrite), r.below)
            << r.read << " " << r.write << " " << r.minRead << " " << r.minWrite;
}

TEST(ReadWriteStep, StoresRatesScaledByPerfShiftAndJudgesThem) {
    // The drive writes 40 MiB/s and reads 80 MiB/s.
    struct Row {
        float perfShift;
        std::int32_t minRead, minWrite;
        bool freeOk;
        std::int32_t result;
    } rows[] = {
        {2.0f, 150, 70, true, 1},   // passes only with the factor applied
        {1.0f, 70, 30, false, 4},   // free space outside the window
        {0.5f, 70, 30, false, -1},  // and below the minimum as well
    };
    for (const auto& r : rows) {
        StepRig rig;
        rig.in.perfShift = r.perfShift;
        rig.in.minReadRate = r.minRead;
        rig.in.minWriteRate = r.minWrite;
        rig.freeOk = r.freeOk;
        const auto out = rig.step();
        EXPECT_EQ(out.result, r.result) << r.perfShift << " " << r.minRead << " " << r.minWrite;
        EXPECT_NEAR(out.stored.write, 40.0f * r.perfShift, 0.05f);
        EXPECT_NEAR(out.stored.read, 80.0f * r.perfShift, 0.1f);
    }
}

TEST(ReadWriteStep, SkippedAfterAFailureAndFailedWithoutADriveLetter) {
    StepRig skipped;
    skipped.in.earlierFailure = true;
    EXPECT_EQ(skipped.step().result, 3);
    EXPECT_EQ(skipped.files.opens(), 0);
    EXPECT_EQ(skipped.flushes, 0);

    StepRig noLetter;
    noLetter.in.volumeRoot.reset();
    EXPECT_EQ(noLetter.step().result, -1);
    EXPECT_EQ(noLetter.files.opens(), 0);

    StepRig full;
    full.files.capacity = 48 * kMiB;  // the warm-up fits, the measured run does not
    full.in.rwDataSize = 64;
    const auto out = full.step();
    EXPECT_EQ(out.result, -1);
    EXPECT_FALSE(out.testPassed);
    EXPECT_EQ(out.stored.write, 0.0f);
    EXPECT_EQ(full.flushes, 10);
}

}  // namespace
}  // namespace vq
