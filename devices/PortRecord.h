// The state of one USB port position of the station: which device hangs there, what it
// is, and how far each step of the current run got. The station keeps one table of 16.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/StorageEnumerator.h"

namespace vq {

// A step's state: -1 Fail, 0 empty (not configured or not started), 1 Pass, 2 Running,
// 3 N/A (skipped after an earlier failure), 4 Unmatched.
using RunResult = std::int32_t;
namespace run_result {
constexpr RunResult kFail = -1;
constexpr RunResult kEmpty = 0;
constexpr RunResult kPass = 1;
constexpr RunResult kRunning = 2;
constexpr RunResult kSkipped = 3;
constexpr RunResult kUnmatched = 4;
}  // namespace run_result

// Display text of a result: "Fail", "", "Pass", "Running", "N/A", "Unmatched"; values
// outside the table give "".
std::string_view RunResultText(RunResult r);

// Verify mismatch bits.
namespace verify_bits {
constexpr std::uint32_t kVidPid = 0x01;
constexpr std::uint32_t kManufacturer = 0x02;
constexpr std::uint32_t kProduct = 0x04;
constexpr std::uint32_t kDiskName = 0x08;
constexpr std::uint32_t kVolumeLabel = 0x10;
constexpr std::uint32_t kNoDriveLetter = 0x20;
constexpr std::uint32_t kHddFirmware = 0x80;
}  // namespace verify_bits

// Texts keep at most capacity - 1 characters of the original fixed fields.
struct PortRecord {
    static constexpr std::size_t kStringMax = 79;  // manufacturer, serial, product
    static constexpr std::size_t kWrittenSerialMax = 47;
    static constexpr std::size_t kFirmwareMax = 17;
    static constexpr std::size_t kKeyMax = 79;    // driver key
    static constexpr std::size_t kPathMax = 255;  // disk path, hub path

    std::int32_t present = 0;
    std::int32_t usable = 0;
    std::int32_t sequenceNumber = 0;
    std::int32_t hubPortNumber = 0;
    std::int32_t usbSpeed = 0;  // 0 low, 1 full, 2 high, 3 Gen 1, 4 Gen 2, 255 unknown
    std::uint8_t chipKind = 0;
    std::uint8_t flashType = 0;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string manufacturer;
    std::string serial;
    std::string product;
    std::string writtenSerial;
    std::string firmwareVersion;
    std::int32_t firmwarePresent = 0;
    std::string driverKey;
    std::string usbInstanceId;  // whole, never cut
    std::string diskPath;
    std::string hubPath;
    char driveLetter = 0;
    std::int32_t capacityMiB = 0;
    std::int64_t freeSpace = 0;
    std::int32_t driveLetterFound = 0;
    RunResult partition = 0;
    RunResult format = 0;
    RunResult readWrite = 0;
    RunResult eeprom = 0;
    RunResult firmware = 0;
    RunResult relink = 0;
    RunResult softwareCopy = 0;
    RunResult firmwareCheck = 0;
    RunResult folderCompare = 0;
    RunResult verify = 0;
    std::uint32_t verifyMismatch = 0;
    RunResult usb31Check = 0;
    float readSpeed = 0;
    float writeSpeed = 0;
    RunResult finalResult = 0;
    RunResult finishNotice = 0;
    std::int32_t progress = 0;
    std::int32_t refound = 0;
    DevNode diskNode = 0;
    DevNode usbNode = 0;
    std::int32_t scsiAttached = 0;
};

inline constexpr std::size_t kPortSlots = 16;
using PortTable = std::array<PortRecord, kPortSlots>;

// Cuts a text to a field's capacity.
inline std::string CutText(std::string_view s, std::size_t max) {
    return std::string(s.substr(0, max));
}

}  // namespace vq
