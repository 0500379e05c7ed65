// The texts the settings file and the settings panel show to the operator, exactly as the
// station shows them.
#pragma once

namespace vq::msg {

// Message-box titles. A "plain" message box (the framework's ShowMessage) carries the
// application title and no icon.
inline constexpr const char* kError = "Error";
inline constexpr const char* kWarning = "Warning";
inline constexpr const char* kMessage = "Message";
inline constexpr const char* kPlainTitle = "VQ5742x Mass Production Tool";

// Settings file.
inline constexpr const char* kCannotCreateLogDir = "Cannot create log directory.";
inline constexpr const char* kSettingsFileMissing = "Please make sure the file %s exist!\n";
inline constexpr const char* kSetWriteFileName = "Please set write file name in the INI file";
inline constexpr const char* kTestFileMissing = "Unable to find the test file : ";
// Settings files the station refuses to read or cannot write.
inline constexpr const char* kSettingsFileUnreadable = "Cannot read the settings file %s.";
inline constexpr const char* kSettingsFileTooLarge =
    "The settings file %s is too large to be a settings file.";
inline constexpr const char* kSettingsFileNotText = "The file %s is not a settings file.";
inline constexpr const char* kSettingsFileNotWritten = "Cannot write the settings file %s.";
inline constexpr const char* kWriteFileNameTooLong =
    "The test file name %s is too long (at most %u characters). Please set a shorter write "
    "file name in the INI file";
// The yield counter file.
inline constexpr const char* kCounterFileUnreadable =
    "Cannot read the counter file %s. The yield counts start from zero and the file is left "
    "as it is.";
inline constexpr const char* kCounterFileNotWritten =
    "The counter file %s was not read, so the yield counts are not written over it.";

// Settings panel.
inline constexpr const char* kSerialContent = "Error Serial Number content (0-9 a-f A-F)!";
inline constexpr const char* kFat32Label = "FAT32 only support Volume label 11 characters!";
inline constexpr const char* kFirmwareNotForAllChips = "Firmware File not support all chips!";
inline constexpr const char* kDeviceNotReady = "Device is not Ready ! or Device is not connected !";
inline constexpr const char* kChipsDiffer = "Chips are Different model !";
inline constexpr const char* kBarcodeLength = "BarCode Length Don't match INI setting";
inline constexpr const char* kMixedParallelFlash =
    "Not Support interleave VQ426 & Non-VQ426 EEPROM Batch Operation!";
inline constexpr const char* kSameChipModel = "Multiple devices must be of the same Chip model!";

// The text that marks an absent USB string.
inline constexpr const char* kNullMarker = "<<<< NULL >>>>";

}  // namespace vq::msg
