// RunSettings: every choice of a production run, one field per settings key, plus the
// EEPROM layout table and the working ConfigImage that the settings panel edits.
//
// Integer fields are signed 32-bit unless noted; a "flag" is an int used as a boolean
// (non-zero = on), a "byte flag" an 8-bit boolean. Text fields have the capacity of the
// original character arrays (bytes, terminator included): a longer text is cut to the
// capacity less one.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/FixedText.h"
#include "bridge/ConfigImage.h"
#include "platform/VolumeService.h"

namespace vq {

struct RunSettings {
    // ---- [setting]: run options
    std::int32_t USBWritePerformance = 0;
    std::int32_t USBReadPerformance = 0;
    std::int32_t ShowRWPerf = 0;
    FixedText WriteFileName{160};  // the resolved path of the R/W test file
    FixedText ProductModel{32};
    std::int32_t WRLoop = 0;
    std::int32_t RWDataSize = 0;
    std::int32_t EEPROMOnly = 0;
    std::int32_t SupportODD = 0;
    std::int32_t CheckMaxSn = 0;
    std::int32_t MPVersion = 0;
    std::int32_t MPSafeRemove = 0;
    std::int32_t MPEEPROMToLog = 0;
    float PerfShift = 0.0f;
    std::int32_t MPPassLabel = 0;
    std::int32_t MPAutorun = 0;
    std::int32_t EnKey0SafeRemove = 0;
    std::int32_t EnBarcodeMode = 0;
    std::int32_t MPResetWait = 0;
    std::int32_t MPSnAToZ = 0;
    std::int32_t MPPortReset = 0;
    std::int32_t EnEPPTypeC = 0;
    std::int32_t EPPPowerGPIODelay = 0;
    std::int32_t EPPPowerOnDelay = 0;
    std::int32_t EPPPowerOffDelay = 0;
    std::int32_t MPDevCount = 0;
    std::int32_t WaitTime = 0;
    std::int32_t MPEEPROMAtHDD = 0;
    std::int32_t MPKestrinCustomer = 0;
    std::int32_t SCSITimeout = 0;

    // ---- [VQEXECUTE]: execution options
    std::int32_t CapacityCustomize = 0;
    std::int32_t Capacity = 0;
    std::int32_t EnFreeSpaceCheck = 0;
    std::int64_t FreeSpace = 0;       // bytes
    std::int64_t FreeSpaceRange = 0;  // bytes
    std::int32_t EnPartition = 0;
    std::uint8_t nPartitionTblFmt = 0;  // 1 = GPT, 0 = MBR
    std::int32_t EnCloneProduct = 0;
    std::int32_t EnFormat = 0;
    std::int32_t EnRWTest = 0;
    std::int32_t EnEEPROMUpdate = 0;
    std::int32_t EnFWUpdate = 0;
    std::int32_t EnSWCopy = 0;
    std::int32_t EnVenderCheck = 0;
    std::int32_t EnUSB30Check = 0;
    std::int32_t EnUSB31Gen2Check = 0;
    std::int32_t EnFWCheck = 0;
    std::int32_t EnFolderCompare = 0;
    std::int32_t bAdvenceCompare = 0;
    FixedText DiskLabel{80};
    FixedText FwFileName{256};
    std::uint8_t DiskFormat = 0;  // 0 NTFS, 1 FAT32, 2 exFAT
    std::int32_t FmtSecPerClus = 0;
    std::int32_t ClusterSizeSet = 0;  // no key: FmtSecPerClus was given (not negative)
    FixedText SwImgPath{256};
    FixedText SwDstFolder{256};

    // ---- [VQEEPROM]: EEPROM content
    FixedText VenderID{10};
    FixedText ProductID{10};
    FixedText StringA{70};
    FixedText StringB{70};
    FixedText String3{70};  // the serial number (first of the run)
    FixedText StringC{70};
    FixedText ProductRevsion{12};
    std::int32_t ODDSize = 0;
    std::uint8_t StringAInc = 0;
    std::uint8_t StringBInc = 0;
    std::uint8_t String3Inc = 0;
    std::uint8_t StrBFromHDSN = 0;
    std::uint8_t EnSNfromHDDSN = 0;
    std::uint8_t MapToHDName = 0;
    std::int32_t EnManuProdStrSourceCtl = 0;
    std::int32_t EnInquiryStrSourceCtl = 0;
    FixedText StringMaxSn{72};
    std::int32_t TableType = 0;
    std::int32_t StandbyTimer = 0;
    std::int32_t BarcodeLength = 0;
    std::int32_t EEPROMRetry = 0;
    std::uint8_t FlashType = 0;  // 255: no parallel-flash bridge involved
    std::int32_t VQB614REU = 0;
    std::int32_t VQB614WDHDD = 0;
    std::int32_t VQ646PWMode = 0;
    std::int32_t EnMultiSec = 0;
    std::int32_t EnOver2TBMulLun = 0;
    std::int32_t EnVQS671StandbyTime = 0;
    std::int32_t EnPD = 0;         // [702PDswitch]
    std::int32_t EnLoopDebug = 0;  // [LoopDebug]

    // ---- [VQEEPROMVERIFY]: expected values of the EEPROM verification
    FixedText vfVenderID{10};
    FixedText vfProductID{10};
    FixedText vfStringA{70};
    FixedText vfStringB{70};
    FixedText DiskName{70};
    FixedText VolumeLabel{70};
    FixedText HDDFwRev{20};
    std::int32_t EnCheckDiskName = 0;
    std::int32_t EnCheckVolLabel = 0;
    std::int32_t EnCheckHDDFwRev = 0;

    // ---- yield counters (the counter file, [TestRecord])
    std::int32_t TotalTestCount = 0;
    std::int32_t NumberOfPass = 0;

    // ---- working EEPROM data (not stored in the settings file)
    ConfigLayout Layout;   // the EEPROM layout table of the current EEPROM type
    ConfigImage Config{};  // the working ConfigImage
    std::uint16_t VidValue = 0;
    std::uint16_t PidValue = 0;
    // Zero-filled fixed-size copies for the EEPROM step, set by CollectPanelSettings.
    std::array<std::uint8_t, 8> VendorText{};
    std::array<std::uint8_t, 16> ProductText{};
    std::array<std::uint8_t, 32> StringCText{};
    std::array<std::uint8_t, 32> StringBText{};
    std::array<std::uint8_t, 70> SerialText{};
    std::int32_t SerialLength = 0;

    // The settings file last loaded or saved.
    std::filesystem::path CurrentSettingsPath;
    // A WriteFileName the load refused as too long for its field, as the file had it; a
    // save writes it back (WriteFileName itself stays empty) so that it is not lost.
    std::string RefusedWriteFileName;

    bool operator==(const RunSettings&) const = default;
};

// ---- choice tables of the panel's combo boxes

inline constexpr std::array<std::int32_t, 14> kCapacityChoices = {
    0, 1, 80, 120, 160, 250, 320, 400, 500, 640, 750, 1000, 1500, 2000};
inline constexpr std::array<const char*, 14> kCapacityChoiceNames = {
    "Don't Care", "User Def.", "80 GB",  "120 GB", "160 GB", "250 GB", "320 GB",
    "400 GB",     "500 GB",    "640 GB", "750 GB", "1T",     "1T 5",   "2T"};
inline constexpr std::array<std::int32_t, 4> kClusterSizeChoices = {0, 512, 4096, 32768};
inline constexpr std::array<const char*, 4> kClusterSizeChoiceNames = {"Default", "512", "4096",
                                                                       "32768"};

// First index whose entry equals `value`, or -1.
int FindChoiceIndex(std::span<const std::int32_t> table, std::int32_t value);

// The cluster size to use: 512, 4096 and 32768 stay (0 with FAT32, diskFormat 1); any
// other value gives 0.
std::int32_t SanitizeClusterSize(int diskFormat, std::int32_t value);

// Whether a drive of `measuredMiB` matches the nominal size in GB: x = MiB * 0.00105 in
// single precision, d = |x - nominal| truncated to an integer, pass when d / x < 0.1.
bool CapacityMatches(std::uint64_t measuredMiB, std::int32_t nominalGB);

// The free-space check of a device over all its drive letters: passes when the check is
// off, or when FreeSpace - FreeSpaceRange <= free <= FreeSpace + FreeSpaceRange, where free
// is the sum of the bytes available to the caller on each drive (a drive that cannot be
// asked counts 0). 64-bit arithmetic; the sums saturate instead of overflowing.
bool FreeSpaceInRange(std::int32_t enFreeSpaceCheck, std::int64_t freeSpace,
                      std::int64_t freeSpaceRange, const std::vector<char>& driveLetters,
                      VolumeService& volumes);

// ---- the keys of the settings file

struct SettingKeyValue {
    std::string section;
    std::string key;
    std::string value;  // as SaveSettings writes it
};

// Every key of the settings file and of the counter file, in the order of the key tables
// (the order LoadSettings reads them), with the value as SaveSettings would write it.
std::vector<SettingKeyValue> AllKeyValues(const RunSettings& s);
// The keys SaveSettings writes, in its order.
std::vector<SettingKeyValue> SavedKeyValues(const RunSettings& s);

}  // namespace vq
