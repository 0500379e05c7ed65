#include "app/RunSettings.h"

#include <cmath>
#include <limits>

#include "app/IniFile.h"

namespace vq {

int FindChoiceIndex(std::span<const std::int32_t> table, std::int32_t value) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i] == value)
            return static_cast<int>(i);
    }
    return -1;
}

std::int32_t SanitizeClusterSize(int diskFormat, std::int32_t value) {
    if (value <= 0 || (value & (value - 1)) != 0)
        return 0;
    if (value == 512 || value == 4096 || value == 32768)
        return diskFormat == 1 ? 0 : value;
    return 0;
}

bool CapacityMatches(std::uint64_t measuredMiB, std::int32_t nominalGB) {
    const float x = static_cast<float>(measuredMiB) * 0.00105f;
    const float d = std::trunc(std::fabs(x - static_cast<float>(nominalGB)));
    return static_cast<double>(d / x) < 0.1;
}

namespace {
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b)
        return std::numeric_limits<std::int64_t>::max();
    if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b)
        return std::numeric_limits<std::int64_t>::min();
    return a + b;
}
std::int64_t SaturatingSub(std::int64_t a, std::int64_t b) {
    if (b == std::numeric_limits<std::int64_t>::min())
        return a >= 0 ? std::numeric_limits<std::int64_t>::max() : a - b;
    return SaturatingAdd(a, -b);
}
}  // namespace

bool FreeSpaceInRange(std::int32_t enFreeSpaceCheck, std::int64_t freeSpace,
                      std::int64_t freeSpaceRange, const std::vector<char>& driveLetters,
                      VolumeService& volumes) {
    if (enFreeSpaceCheck == 0)
        return true;
    std::int64_t total = 0;
    for (char letter : driveLetters) {
        const auto bytes = volumes.freeBytes(letter);
        if (!bytes)
            continue;
        const auto b = *bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                           ? std::numeric_limits<std::int64_t>::max()
                           : static_cast<std::int64_t>(*bytes);
        total = SaturatingAdd(total, b);
    }
    return SaturatingSub(freeSpace, freeSpaceRange) <= total &&
           total <= SaturatingAdd(freeSpace, freeSpaceRange);
}

namespace {

std::string Int(std::int64_t v) {
    return std::to_string(v);
}
std::string Bool(std::int64_t v) {
    return v != 0 ? "1" : "0";
}

}  // namespace

std::vector<SettingKeyValue> AllKeyValues(const RunSettings& s) {
    std::vector<SettingKeyValue> r;
    auto add = [&r](const char* section, const char* key, std::string value) {
        r.push_back({section, key, std::move(value)});
    };
    const char* S = "setting";
    add(S, "USBWritePerformance", Int(s.USBWritePerformance));
    add(S, "USBReadPerformance", Int(s.USBReadPerformance));
    add(S, "ShowRWPerf", Int(s.ShowRWPerf));
    add(S, "WriteFileName", s.WriteFileName.str());
    add(S, "ProductModel", s.ProductModel.str());
    add(S, "WRLoop", Int(s.WRLoop));
    add(S, "RWDataSize", Int(s.RWDataSize));
    add(S, "EEPROMOnly", Int(s.EEPROMOnly));
    add(S, "SupportODD", Int(s.SupportODD));
    add(S, "CheckMaxSn", Int(s.CheckMaxSn));
    add(S, "MPVersion", Int(s.MPVersion));
    add(S, "MPSafeRemove", Int(s.MPSafeRemove));
    add(S, "MPEEPROMToLog", Int(s.MPEEPROMToLog));
    add(S, "PerfShift", FormatFloat(s.PerfShift));
    add(S, "MPPassLabel", Int(s.MPPassLabel));
    add(S, "MPAutorun", Int(s.MPAutorun));
    add(S, "EnKey0SafeRemove", Int(s.EnKey0SafeRemove));
    add(S, "EnBarcodeMode", Int(s.EnBarcodeMode));
    add(S, "MPResetWait", Int(s.MPResetWait));
    add(S, "MPSnAToZ", Int(s.MPSnAToZ));
    add(S, "MPPortReset", Int(s.MPPortReset));
    add(S, "EnEPPTypeC", Int(s.EnEPPTypeC));
    add(S, "EPPPowerGPIODelay", Int(s.EPPPowerGPIODelay));
    add(S, "EPPPowerOnDelay", Int(s.EPPPowerOnDelay));
    add(S, "EPPPowerOffDelay", Int(s.EPPPowerOffDelay));
    add(S, "MPDevCount", Int(s.MPDevCount));
    add(S, "WaitTime", Int(s.WaitTime));
    add(S, "MPEEPROMAtHDD", Int(s.MPEEPROMAtHDD));
    add(S, "MPKestrinCustomer", Int(s.MPKestrinCustomer));
    add(S, "SCSITimeout", Int(s.SCSITimeout));

    const char* X = "VQEXECUTE";
    add(X, "CapacityCustomize", Int(s.CapacityCustomize));
    add(X, "Capacity", Int(s.Capacity));
    add(X, "EnFreeSpaceCheck", Bool(s.EnFreeSpaceCheck));
    add(X, "FreeSpace", Int(s.FreeSpace));
    add(X, "FreeSpaceRange", Int(s.FreeSpaceRange));
    add(X, "EnPartition", Bool(s.EnPartition));
    add(X, "nPartitionTblFmt", Bool(s.nPartitionTblFmt));
    add(X, "EnCloneProduct", Bool(s.EnCloneProduct));
    add(X, "EnFormat", Bool(s.EnFormat));
    add(X, "EnRWTest", Bool(s.EnRWTest));
    add(X, "EnEEPROMUpdate", Bool(s.EnEEPROMUpdate));
    add(X, "EnFWUpdate", Bool(s.EnFWUpdate));
    add(X, "EnSWCopy", Bool(s.EnSWCopy));
    add(X, "EnVenderCheck", Bool(s.EnVenderCheck));
    add(X, "EnUSB30Check", Bool(s.EnUSB30Check));
    add(X, "EnUSB31Gen2Check", Bool(s.EnUSB31Gen2Check));
    add(X, "EnFWCheck", Bool(s.EnFWCheck));
    add(X, "EnFolderCompare", Bool(s.EnFolderCompare));
    add(X, "bAdvenceCompare", Bool(s.bAdvenceCompare));
    add(X, "DiskLabel", s.DiskLabel.str());
    add(X, "DiskFormat", Int(s.DiskFormat));
    add(X, "FmtSecPerClus", Int(s.ClusterSizeSet != 0 ? s.FmtSecPerClus : -1));
    add(X, "FwFileName", s.FwFileName.str());
    add(X, "SwImgPath", s.SwImgPath.str());
    add(X, "SwDstFolder", s.SwDstFolder.str());

    const char* E = "VQEEPROM";
    add(E, "VenderID", s.VenderID.str());
    add(E, "ProductID", s.ProductID.str());
    add(E, "StringA", s.StringA.str());
    add(E, "StringB", s.StringB.str());
    add(E, "String3", s.String3.str());
    add(E, "StringC", s.StringC.str());
    add(E, "StringAInc", Bool(s.StringAInc));
    add(E, "StringBInc", Bool(s.StringBInc));
    add(E, "String3Inc", Bool(s.String3Inc));
    add(E, "StandbyTimer", Int(s.StandbyTimer));
    add(E, "ProductRevsion", s.ProductRevsion.str());
    add(E, "ODDSize", Int(s.ODDSize));
    add(E, "FlashType", Int(static_cast<std::int8_t>(s.FlashType)));
    add(E, "EEPROMRetry", Int(s.EEPROMRetry));
    add(E, "TableType", Int(s.TableType));
    add(E, "MapToHDName", Bool(s.MapToHDName));
    add(E, "StrBFromHDSN", Int(s.StrBFromHDSN));
    add(E, "StringMaxSn", s.StringMaxSn.str());
    add(E, "VQB614REU", Int(s.VQB614REU));
    add(E, "VQB614WDHDD", Int(s.VQB614WDHDD));
    add(E, "EnOver2TBMulLun", Int(s.EnOver2TBMulLun));
    add(E, "EnMultiSec", Int(s.EnMultiSec));
    add(E, "VQ646PWMode", Int(s.VQ646PWMode));
    add(E, "EnManuProdStrSourceCtl", Int(s.EnManuProdStrSourceCtl));
    add(E, "EnInquiryStrSourceCtl", Int(s.EnInquiryStrSourceCtl));
    add(E, "EnVQS671StandbyTime", Int(s.EnVQS671StandbyTime));
    add(E, "EnSNfromHDDSN", Int(s.EnSNfromHDDSN));
    add(E, "BarcodeLength", Int(s.BarcodeLength));

    add("702PDswitch", "EnPD", Int(s.EnPD));
    add("LoopDebug", "EnLoopDebug", Int(s.EnLoopDebug));

    const char* V = "VQEEPROMVERIFY";
    add(V, "VenderID", s.vfVenderID.str());
    add(V, "ProductID", s.vfProductID.str());
    add(V, "StringA", s.vfStringA.str());
    add(V, "StringB", s.vfStringB.str());
    add(V, "DiskName", s.DiskName.str());
    add(V, "VolumeLabel", s.VolumeLabel.str());
    add(V, "HDDFwRev", s.HDDFwRev.str());
    add(V, "EnCheckDiskName", Int(s.EnCheckDiskName));
    add(V, "EnCheckVolLabel", Int(s.EnCheckVolLabel));
    add(V, "EnCheckHDDFwRev", Int(s.EnCheckHDDFwRev));

    add("TestRecord", "TotalTestCount", Int(s.TotalTestCount));
    add("TestRecord", "NumberOfPass", Int(s.NumberOfPass));
    return r;
}

std::vector<SettingKeyValue> SavedKeyValues(const RunSettings& s) {
    static const std::vector<std::pair<const char*, std::vector<const char*>>> kOrder = {
        {"setting", {"USBWritePerformance", "USBReadPerformance", "ShowRWPerf",
                     "WriteFileName",       "ProductModel",       "WRLoop",
                     "RWDataSize",          "EEPROMOnly",         "SupportODD",
                     "CheckMaxSn",          "MPVersion",          "MPSafeRemove",
                     "MPEEPROMToLog",       "PerfShift",          "MPPassLabel",
                     "MPAutorun",           "MPResetWait",        "MPSnAToZ",
                     "MPPortReset",         "EnBarcodeMode",      "EnKey0SafeRemove",
                     "EnEPPTypeC"}},
        {"VQEXECUTE",
         {"CapacityCustomize", "Capacity",         "FreeSpace",        "FreeSpaceRange",
          "EnFreeSpaceCheck",  "EnPartition",      "nPartitionTblFmt", "EnFormat",
          "EnRWTest",          "EnEEPROMUpdate",   "EnFWUpdate",       "DiskFormat",
          "DiskLabel",         "FwFileName",       "FmtSecPerClus",    "EnVenderCheck",
          "EnUSB30Check",      "EnUSB31Gen2Check", "EnSWCopy",         "SwImgPath",
          "SwDstFolder",       "EnFWCheck",        "EnFolderCompare",  "bAdvenceCompare",
          "EnCloneProduct"}},
        {"VQEEPROM",
         {"TableType",
          "MapToHDName",
          "EnSNfromHDDSN",
          "StrBFromHDSN",
          "VenderID",
          "ProductID",
          "StringA",
          "StringB",
          "StringC",
          "String3",
          "StringAInc",
          "StringBInc",
          "String3Inc",
          "FlashType",
          "StringMaxSn",
          "EEPROMRetry",
          "VQB614REU",
          "VQB614WDHDD",
          "StandbyTimer",
          "VQ646PWMode",
          "ProductRevsion",
          "ODDSize",
          "EnMultiSec",
          "EnOver2TBMulLun",
          "EnManuProdStrSourceCtl",
          "EnInquiryStrSourceCtl",
          "EnVQS671StandbyTime",
          "BarcodeLength"}},
        {"VQEEPROMVERIFY",
         {"VenderID", "ProductID", "StringA", "StringB", "DiskName", "EnCheckDiskName",
          "VolumeLabel", "EnCheckVolLabel", "HDDFwRev", "EnCheckHDDFwRev"}},
    };
    auto all = AllKeyValues(s);
    if (s.WriteFileName.empty() && !s.RefusedWriteFileName.empty()) {
        for (auto& kv : all) {
            if (kv.key == "WriteFileName")
                kv.value = s.RefusedWriteFileName;
        }
    }
    std::vector<SettingKeyValue> r;
    for (const auto& [section, keys] : kOrder) {
        for (const char* key : keys) {
            for (const auto& kv : all) {
                if (kv.section == section && kv.key == key) {
                    r.push_back(kv);
                    break;
                }
            }
        }
    }
    return r;
}

}  // namespace vq
