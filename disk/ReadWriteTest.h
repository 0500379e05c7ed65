// The read/write performance test: a test file of known content written to a volume and
// read back without the system's cache, in 32 MiB requests, with both transfer rates
// measured on the Clock's performance counter; and the worker's read/write step around it
// (warm-up, the SuperSpeed size, the R/W test lock, PerfShift, the flush, the minimum
// rates).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

#include "disk/TestPattern.h"

namespace vq {

struct Platform;

namespace rwtest {
constexpr std::string_view kTestFileName = "targetTestFile.mas";  // in the volume's root
constexpr std::uint64_t kRequestBytes = std::uint64_t{1} << 25;   // 32 MiB
constexpr std::int32_t kSizeStepMiB = 32;                         // sizes round up to this
constexpr std::int32_t kWarmUpSizeMiB = 2;
constexpr std::int32_t kSuperSpeedMinSizeMiB = 256;
constexpr int kDeleteAttempts = 102;
constexpr std::uint32_t kDeleteRetryMs = 200;
constexpr int kFlushesAfterTest = 10;

// Messages to the operator (boxes with the system's default caption).
constexpr const char* kAllocWriteFail = "Failed to allocate memory for data write!";
constexpr const char* kAllocReadFail = "Failed to allocate memory for data read!";
constexpr const char* kCreateWriteFail = " Create write target file fail";
constexpr const char* kCreateReadFail = " Create read target file fail";
constexpr const char* kFileDisappeared = "R/W test file disappear\n";
constexpr const char* kDeleteFail = "Delete the RW temp file fail";
constexpr const char* kWriteFail = " Write target file fail";
constexpr const char* kReadFail = " Read target file fail";
constexpr const char* kNoData = " R/W test data size is 0";
constexpr const char* kDefaultCaption = "Error";
}  // namespace rwtest

// Rates in MB/s (MiB per second), 0 for a half that did not complete.
struct ReadWriteRates {
    float read = 0;
    float write = 0;
};

// Data size of a test: `sizeMiB` rounded up to a multiple of 32 MiB, in bytes (0 for a
// size of 0 or less).
std::uint64_t ReadWriteTestBytes(std::int32_t sizeMiB);

// Writes the test file "targetTestFile.mas" into `volumeRoot` (a leftover one is deleted
// first), reads it back, compares the first 64 KiB of the last request with the pattern
// and deletes the file. True when every request moved all its bytes, the data matched and
// the file was removed. `rates` is set only when the test ran to its end (else 0). A size
// of 0 or less writes nothing and fails.
bool RunReadWriteTest(Platform& platform, const std::filesystem::path& volumeRoot,
                      std::int32_t sizeMiB, const PatternBlock& pattern, ReadWriteRates& rates);

// What the worker's read/write step is given from the port's record and settings.
struct ReadWriteStepInput {
    bool earlierFailure = false;
    // Root folder of the port's volume; nullopt when the port has no drive letter.
    std::optional<std::filesystem::path> volumeRoot;
    std::int32_t rwDataSize = 0;  // RWDataSize, MiB
    std::int32_t usbSpeed = 0;    // the port's speed class; above 2 is SuperSpeed or faster
    float perfShift = 1.0f;
    std::int32_t minReadRate = 0;   // USBReadPerformance
    std::int32_t minWriteRate = 0;  // USBWritePerformance
};

// What the step needs from above the disk layer.
struct ReadWriteStepHooks {
    // The station's R/W test lock: one port measured at a time.
    std::mutex& rwTestLock;
    // One ATA FLUSH CACHE EXT to the port's drive (its result does not matter).
    std::function<void()> flushCache;
    // The free-space check of the port's volume: true inside the window.
    std::function<bool()> freeSpaceInWindow;
};

// The step's outcome: the step result (-1 fail, 1 pass, 3 skipped, 4 free space out of
// the window) and the rates stored in the port's record (measured × PerfShift).
struct ReadWriteStepResult {
    std::int32_t result = 0;
    ReadWriteRates stored;
    bool testPassed = false;
    bool belowMinimum = false;
};

// The size of the measured run: RWDataSize, at least 256 MiB at SuperSpeed or faster.
std::int32_t MeasuredSizeMiB(std::int32_t rwDataSize, std::int32_t usbSpeed);

// Whether the stored rates fail the minimums (never when either minimum is below 1).
bool BelowMinimumRates(const ReadWriteRates& stored, std::int32_t minReadRate,
                       std::int32_t minWriteRate);

ReadWriteStepResult RunReadWriteStep(Platform& platform, const PatternBlock& pattern,
                                     const ReadWriteStepInput& in, const ReadWriteStepHooks& hooks);

}  // namespace vq
