// The settings file: LoadSettings, SaveSettings, CollectPanelSettings and the exit rules.
#include <algorithm>
#include <limits>
#include <system_error>

#include "app/IniFile.h"
#include "app/PanelMessages.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "base/Text.h"

namespace vq {

namespace fs = std::filesystem;

namespace {

// A file name "has a folder part" when it holds a separator of either system or a drive.
bool HasFolderPart(std::string_view name) {
    return name.find_first_of("/\\:") != std::string_view::npos;
}

template <std::size_t N>
void CopyField(std::array<std::uint8_t, N>& field, std::string_view text) {
    field.fill(0);
    for (std::size_t i = 0; i < N && i < text.size(); ++i)
        field[i] = static_cast<std::uint8_t>(text[i]);
}

}  // namespace

fs::path SettingsPanel::counterFilePath() const {
    return home_ / "log" / "VQ5742x.log";
}

fs::path SettingsPanel::defaultSettingsPath() const {
    return home_ / kDefaultSettingsName;
}

bool SettingsPanel::StartUp() {
    s_ = RunSettings{};
    s_.CurrentSettingsPath = defaultSettingsPath();
    return LoadSettings(s_.CurrentSettingsPath);
}

bool SettingsPanel::LoadSettings(const fs::path& path) {
    // 1. The log folder.
    std::error_code ec;
    const fs::path logDir = home_ / "log";
    if (!fs::is_directory(logDir, ec)) {
        fs::create_directories(logDir, ec);
        if (!fs::is_directory(logDir, ec))
            throw LogDirectoryError();
    }

    // 2. The yield counters (a missing counter file reads as zeros). One that exists but
    // cannot be read also reads as zeros, is reported, and is never written over.
    {
        IniFile counters;
        const auto status = counters.load(counterFilePath());
        countersUnread_ =
            status != IniFile::LoadStatus::Ok && status != IniFile::LoadStatus::Missing;
        if (countersUnread_)
            message(Format(msg::kCounterFileUnreadable, counterFilePath().string()), msg::kError);
        s_.TotalTestCount = counters.getInt("TestRecord", "TotalTestCount", 0);
        s_.NumberOfPass = counters.getInt("TestRecord", "NumberOfPass", 0);
        if (actions_)
            actions_->yieldCountersChanged();
    }

    // 3. The settings file itself.
    IniFile ini;
    const std::string shownPath = path.string();
    switch (ini.load(path)) {
        case IniFile::LoadStatus::Ok:
            break;
        case IniFile::LoadStatus::Missing:
            message(Format(msg::kSettingsFileMissing, shownPath), msg::kError);
            lastLoad_ = LoadOutcome::FileMissing;
            return false;
        case IniFile::LoadStatus::NotAFile:
        case IniFile::LoadStatus::Unreadable:
            message(Format(msg::kSettingsFileUnreadable, shownPath), msg::kError);
            lastLoad_ = LoadOutcome::FileRefused;
            return false;
        case IniFile::LoadStatus::TooLarge:
            message(Format(msg::kSettingsFileTooLarge, shownPath), msg::kError);
            lastLoad_ = LoadOutcome::FileRefused;
            return false;
        case IniFile::LoadStatus::NotText:
            message(Format(msg::kSettingsFileNotText, shownPath), msg::kError);
            lastLoad_ = LoadOutcome::FileRefused;
            return false;
    }
    auto I = [&ini](const char* section, const char* key, std::int32_t def) {
        return ini.getInt(section, key, def);
    };
    auto B = [&ini](const char* section, const char* key, std::int32_t def) {
        return static_cast<std::uint8_t>(ini.getInt(section, key, def));
    };
    // A byte flag is on for any non-zero value.
    auto F = [&ini](const char* section, const char* key) -> std::uint8_t {
        return ini.getInt(section, key, 0) != 0 ? 1 : 0;
    };
    auto T = [&ini](const char* section, const char* key, const char* def) {
        return ini.getString(section, key, def);
    };

    // 4. [setting]
    const char* S = "setting";
    bool result = true;
    s_.USBWritePerformance = I(S, "USBWritePerformance", 0);
    s_.USBReadPerformance = I(S, "USBReadPerformance", 0);
    s_.ShowRWPerf = I(S, "ShowRWPerf", 0);
    {
        const std::string name = T(S, "WriteFileName", "");
        if (name.empty()) {
            message(msg::kSetWriteFileName, msg::kError);
            result = false;
            s_.WriteFileName = "";
            s_.RefusedWriteFileName.clear();
        } else {
            const std::string full = HasFolderPart(name) ? name : (home_ / name).string();
            if (full.size() >= s_.WriteFileName.capacity()) {
                // Cut to the field it would name another file: refuse it, and keep the
                // text as written so that a save gives it back for the operator to mend.
                message(Format(msg::kWriteFileNameTooLong, full,
                               static_cast<unsigned>(s_.WriteFileName.capacity() - 1)),
                        msg::kError);
                result = false;
                s_.WriteFileName = "";
                s_.RefusedWriteFileName = name;
            } else {
                s_.WriteFileName = full;
                s_.RefusedWriteFileName.clear();
                if (!fs::is_regular_file(fs::path(s_.WriteFileName.str()), ec))
                    message(msg::kTestFileMissing + s_.WriteFileName.str(), msg::kError);
            }
        }
    }
    {
        const std::string model = T(S, "ProductModel", "VQ");
        s_.ProductModel = model;
        if (model != "VQ") {
            c("ProdModalPanel").caption = s_.ProductModel.str();
            c("ProdModalPanel").visible = true;
        } else {
            c("ProdModalPanel").visible = false;
        }
    }
    s_.WRLoop = I(S, "WRLoop", 7);
    s_.RWDataSize = I(S, "RWDataSize", 2);
    if (s_.RWDataSize == 0)
        s_.RWDataSize = 2;
    s_.EEPROMOnly = I(S, "EEPROMOnly", 0);
    s_.SupportODD = I(S, "SupportODD", 0);
    s_.CheckMaxSn = I(S, "CheckMaxSn", 0);
    if (s_.MPVersion == 0)
        s_.MPVersion = I(S, "MPVersion", 0);
    c("RDCheck").visible = s_.MPVersion != 0;
    s_.MPSafeRemove = I(S, "MPSafeRemove", 0);
    s_.MPEEPROMToLog = I(S, "MPEEPROMToLog", 0);
    s_.PerfShift = ini.getFloat(S, "PerfShift", 1.0f);
    s_.MPPassLabel = I(S, "MPPassLabel", 0);
    s_.MPAutorun = I(S, "MPAutorun", 0);
    if (s_.MPAutorun < 0)
        s_.MPAutorun = 0;
    s_.EnKey0SafeRemove = I(S, "EnKey0SafeRemove", 0);
    s_.EnBarcodeMode = I(S, "EnBarcodeMode", 0);
    // 5. Barcode and auto mode.
    if (barcodeMode()) {
        s_.MPAutorun = 0;
        c("Str3AutoInc").enabled = false;
        c("ExecuteBtn").caption = "BarCode";
    } else {
        c("ExecuteBtn").caption = autoMode() ? "AUTO" : "START";
    }
    s_.MPResetWait = I(S, "MPResetWait", 30);
    s_.MPSnAToZ = I(S, "MPSnAToZ", 0);
    s_.MPPortReset = I(S, "MPPortReset", 0);
    s_.EnEPPTypeC = I(S, "EnEPPTypeC", 0);
    s_.EPPPowerGPIODelay = I(S, "EPPPowerGPIODelay", 0);
    s_.EPPPowerOnDelay = I(S, "EPPPowerOnDelay", 0);
    s_.EPPPowerOffDelay = I(S, "EPPPowerOffDelay", 0);
    // 6. The EPP fixture.
    if (s_.EnEPPTypeC != 0)
        eppMode_ = true;
    else
        eppTimerRunning_ = false;
    // 7. Clamps.
    s_.MPDevCount = I(S, "MPDevCount", 0);
    if (s_.MPDevCount < 0)
        s_.MPDevCount = 0;
    s_.WaitTime = I(S, "WaitTime", 200);
    if (s_.WaitTime < 200)
        s_.WaitTime = 200;
    s_.MPEEPROMAtHDD = I(S, "MPEEPROMAtHDD", 0);
    s_.MPKestrinCustomer = I(S, "MPKestrinCustomer", 0);
    s_.SCSITimeout = I(S, "SCSITimeout", 10);

    // 8. [VQEXECUTE]
    const char* X = "VQEXECUTE";
    s_.CapacityCustomize = I(X, "CapacityCustomize", 0);
    setText("CapacityUserDefEdit", std::to_string(s_.CapacityCustomize));
    s_.Capacity = I(X, "Capacity", 0);
    s_.EnFreeSpaceCheck = I(X, "EnFreeSpaceCheck", 0);
    s_.FreeSpace = ini.getInt64(X, "FreeSpace", 0);
    s_.FreeSpaceRange = ini.getInt64(X, "FreeSpaceRange", 0);
    s_.EnPartition = I(X, "EnPartition", 0);
    s_.nPartitionTblFmt = B(X, "nPartitionTblFmt", 0);
    s_.EnCloneProduct = I(X, "EnCloneProduct", 0);
    s_.EnFormat = I(X, "EnFormat", 0);
    s_.EnRWTest = I(X, "EnRWTest", 0);
    s_.EnEEPROMUpdate = I(X, "EnEEPROMUpdate", 0);
    s_.EnFWUpdate = I(X, "EnFWUpdate", 0);
    s_.EnSWCopy = I(X, "EnSWCopy", 0);
    s_.EnVenderCheck = I(X, "EnVenderCheck", 0);
    s_.EnUSB30Check = I(X, "EnUSB30Check", 0);
    s_.EnUSB31Gen2Check = I(X, "EnUSB31Gen2Check", 0);
    s_.EnFWCheck = I(X, "EnFWCheck", 0);
    s_.EnFolderCompare = I(X, "EnFolderCompare", 0);
    s_.bAdvenceCompare = I(X, "bAdvenceCompare", 0);
    s_.DiskLabel = T(X, "DiskLabel", "USB Disk");
    s_.DiskFormat = B(X, "DiskFormat", 0);
    s_.FmtSecPerClus = I(X, "FmtSecPerClus", -1);
    s_.FwFileName = T(X, "FwFileName", "");
    s_.SwImgPath = T(X, "SwImgPath", "");
    s_.SwDstFolder = T(X, "SwDstFolder", "");

    // 9. Capacity and free space.
    setItemIndex("CapChkCmbx", FindChoiceIndex(kCapacityChoices, s_.Capacity));
    c("CapacityUserDefEdit").enabled = s_.Capacity == 1;
    freeSpaceCheck_ = s_.EnFreeSpaceCheck;
    c("FreeSpaceEdit").text = (s_.EnFreeSpaceCheck != 0 && s_.FreeSpace != 0)
                                  ? std::to_string(s_.FreeSpace)
                                  : std::string("Don't Care");

    // 10.
    setChecked("PartitionCheckBox", s_.EnPartition != 0);
    setChecked("cbCloneProduct", s_.EnCloneProduct != 0);

    // 11. The cluster size.
    if (s_.FmtSecPerClus < 0) {
        s_.ClusterSizeSet = 0;
        s_.FmtSecPerClus = 0;
        c("FmtSecPerClusCbox").visible = false;
    } else {
        s_.ClusterSizeSet = 1;
        c("FmtSecPerClusCbox").visible = true;
        s_.FmtSecPerClus = SanitizeClusterSize(s_.DiskFormat, s_.FmtSecPerClus);
        setItemIndex("FmtSecPerClusCbox", FindChoiceIndex(kClusterSizeChoices, s_.FmtSecPerClus));
    }

    // 12. Format, file system, label and firmware file. The label is put in place with the
    // FAT32 limit of the file-system rule; the cluster-size box stays as step 11 left it.
    setChecked("FormatCheckBox", s_.EnFormat != 0);
    c("VolumeLabeledEdit").enabled = c("FormatCheckBox").checked;
    c("FmtTypeComboBox").enabled = c("FormatCheckBox").checked;
    setItemIndex("FmtTypeComboBox", s_.DiskFormat);
    {
        Control& label = c("VolumeLabeledEdit");
        label.text = s_.DiskLabel.str();
        label.caret = -1;
        if (SelectedItem(c("FmtTypeComboBox")) == "FAT32" && label.text.size() > 11) {
            label.text.resize(11);
            message(msg::kFat32Label, msg::kMessage);
        }
    }
    setText("FwFileNameEdit", s_.FwFileName.str());

    // 13. The steps.
    setChecked("RWTestCheckBox", s_.EnRWTest != 0);
    setChecked("EEPROMCheckBox", s_.EnEEPROMUpdate != 0);
    c("GroupBox2").visible = c("EEPROMCheckBox").checked;
    c("Panel5").visible = c("EEPROMCheckBox").checked;
    setChecked("FWUpdateCheckBox", s_.EnFWUpdate != 0);
    setChecked("SWCopyChkBox", s_.EnSWCopy != 0);
    setText("SwImgPathEdit", s_.SwImgPath.str());
    setText("DstISOEdit", s_.SwDstFolder.str());
    setChecked("FWCheckBox", s_.EnFWCheck != 0);
    setChecked("enFolderCPChk", s_.EnFolderCompare != 0);
    setChecked("bAdvCompareChk", s_.bAdvenceCompare != 0);
    setChecked("GPTCheckBox", s_.nPartitionTblFmt != 0);

    // 14. [VQEEPROM] up to EEPROMRetry; the EEPROM type; the flash type.
    const char* E = "VQEEPROM";
    s_.VenderID = T(E, "VenderID", "7E8A");
    s_.ProductID = T(E, "ProductID", "2429");
    s_.StringA = T(E, "StringA", "Velmora");
    s_.StringB = T(E, "StringB", "USB");
    s_.String3 = T(E, "String3", "012345");
    s_.StringC = T(E, "StringC", "Velmora");
    s_.StringAInc = F(E, "StringAInc");
    s_.StringBInc = F(E, "StringBInc");
    s_.String3Inc = F(E, "String3Inc");
    s_.StandbyTimer = I(E, "StandbyTimer", 0);
    s_.ProductRevsion = T(E, "ProductRevsion", "0000");
    s_.ODDSize = I(E, "ODDSize", 0);
    s_.FlashType = B(E, "FlashType", 0);
    s_.EEPROMRetry = I(E, "EEPROMRetry", 1);
    s_.TableType = 3;
    {
        Control& type = c("EEPROMType");
        for (std::size_t i = 0; i < type.items.size(); ++i) {
            if (type.items[i] == "Type 3")
                type.itemIndex = static_cast<int>(i);
        }
        type.enabled = false;
    }
    setItemIndex("V426FlashComboBox", s_.FlashType);

    // 15. String mapping, maximum serial number, chip options, string sources.
    s_.MapToHDName = F(E, "MapToHDName");
    setChecked("StrA2DiskStrChk", s_.MapToHDName != 0);
    s_.StrBFromHDSN = F(E, "StrBFromHDSN");
    c("StrBFromDiskSNChk").visible = s_.StrBFromHDSN != 0;
    setChecked("StrBFromDiskSNChk", s_.StrBFromHDSN != 0);
    s_.StringMaxSn = T(E, "StringMaxSn", "0");
    c("maxSNEdit").visible = s_.CheckMaxSn != 0;
    setText("maxSNEdit", s_.StringMaxSn.str());
    s_.VQB614REU = I(E, "VQB614REU", 0);
    s_.VQB614WDHDD = I(E, "VQB614WDHDD", 0);
    s_.EnOver2TBMulLun = I(E, "EnOver2TBMulLun", 0);
    s_.EnMultiSec = I(E, "EnMultiSec", 0);
    s_.VQ646PWMode = I(E, "VQ646PWMode", 0);
    s_.EnManuProdStrSourceCtl = I(E, "EnManuProdStrSourceCtl", 0);
    setChecked("ManuProdSosctlchk", s_.EnManuProdStrSourceCtl != 0);
    ManuProdSosctlchkClick();
    s_.EnInquiryStrSourceCtl = I(E, "EnInquiryStrSourceCtl", 0);
    setChecked("InquirySosctlchk", s_.EnInquiryStrSourceCtl != 0);
    InquirySosctlchkClick();
    s_.EnVQS671StandbyTime = I(E, "EnVQS671StandbyTime", 1);
    s_.EnSNfromHDDSN = F(E, "EnSNfromHDDSN");

    // 16. The EEPROM type rebuilds the working ConfigImage.
    EEPROMTypeChange();

    // 17.
    s_.BarcodeLength = I(E, "BarcodeLength", 16);
    if (barcodeMode())
        c("String3Edit").maxLength = s_.BarcodeLength;
    s_.EnPD = I("702PDswitch", "EnPD", 0);
    s_.EnLoopDebug = I("LoopDebug", "EnLoopDebug", 0);

    // 18. [VQEEPROMVERIFY]
    const char* V = "VQEEPROMVERIFY";
    s_.vfVenderID = T(V, "VenderID", "7E8A");
    s_.vfProductID = T(V, "ProductID", "2429");
    s_.vfStringA = T(V, "StringA", "Velmora");
    s_.vfStringB = T(V, "StringB", "USB");
    s_.DiskName = T(V, "DiskName", "");
    s_.VolumeLabel = T(V, "VolumeLabel", "");
    s_.HDDFwRev = T(V, "HDDFwRev", "");
    s_.EnCheckDiskName = I(V, "EnCheckDiskName", 0);
    s_.EnCheckVolLabel = I(V, "EnCheckVolLabel", 0);
    s_.EnCheckHDDFwRev = I(V, "EnCheckHDDFwRev", 0);

    // 19. The remaining panel fields.
    setText("VendorIDEdit", s_.VenderID.str());
    setText("ProductIDEdit", s_.ProductID.str());
    setText("TimerEdit", std::to_string(s_.StandbyTimer));
    setText("RevisionEdit", s_.ProductRevsion.str());
    setText("OddSizeEdit", std::to_string(s_.ODDSize));
    if (c("StrA2DiskStrChk").checked) {
        const std::string_view a = s_.StringA;
        setText("VendorStrEdit", std::string(a.substr(0, std::min<std::size_t>(a.size(), 8))));
        setText("ProdStrEdit", a.size() > 8 ? std::string(a.substr(8, 16)) : std::string());
    } else {
        setText("StringAEdit", s_.StringA.str());
    }
    setText("StringBEdit", s_.StringB.str());
    setText("String3Edit", s_.String3.str());
    setText("StringCEdit", s_.StringC.str());
    setChecked("Str3AutoInc", s_.String3Inc != 0);
    c("EnableUSBFirst").visible = false;
    setChecked("EEPROMVerifyBox", s_.EnVenderCheck != 0);
    c("EEVerifyGroup").visible = s_.EnVenderCheck != 0;
    setText("vfVIDEdit", s_.vfVenderID.str());
    setText("vfPIDEdit", s_.vfProductID.str());
    setText("vfStringAEdit", s_.vfStringA.str());
    setText("vfStringBEdit", s_.vfStringB.str());
    setText("vfDiskNameEdit", s_.DiskName.str());
    setText("vfVolumnLabelEdit", s_.VolumeLabel.str());
    setText("vfHDDFWRevEdit", s_.HDDFwRev.str());
    setChecked("vfDiskNameChk", s_.EnCheckDiskName != 0);
    setChecked("vfVolLabelChk", s_.EnCheckVolLabel != 0);
    setChecked("vfHDDFWRevChk", s_.EnCheckHDDFwRev != 0);
    setChecked("enU3CheckBox", s_.EnUSB30Check != 0);
    setChecked("enU31Gen2CheckBox", s_.EnUSB31Gen2Check != 0);

    lastLoad_ = LoadOutcome::Loaded;
    return result;
}

bool SettingsPanel::SaveSettings(const fs::path& path) {
    const fs::path target = (path.is_absolute() || path.string().find(":\\") != std::string::npos)
                                ? path
                                : home_ / path;
    const std::string shown = target.string();
    IniFile ini;
    const auto status = ini.load(target);
    if (status != IniFile::LoadStatus::Ok && status != IniFile::LoadStatus::Missing) {
        message(Format(msg::kSettingsFileNotWritten, shown), msg::kError);
        return false;
    }
    for (const auto& kv : SavedKeyValues(s_))
        ini.set(kv.section, kv.key, kv.value);
    std::string why;
    if (!ini.save(target, &why)) {
        debug("Cannot write " + shown + ": " + why);
        message(Format(msg::kSettingsFileNotWritten, shown), msg::kError);
        return false;
    }
    return true;
}

void SettingsPanel::debug(const std::string& text) {
    if (diag_)
        diag_->debugOutput(text);
}

bool SettingsPanel::WriteCounters() {
    const fs::path path = counterFilePath();
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    IniFile counters;
    const auto status = counters.load(path);
    if (countersUnread_ ||
        (status != IniFile::LoadStatus::Ok && status != IniFile::LoadStatus::Missing)) {
        // The counts in that file were never read: writing would lose them.
        message(Format(msg::kCounterFileNotWritten, path.string()), msg::kError);
        return false;
    }
    counters.setInt("TestRecord", "TotalTestCount", s_.TotalTestCount);
    counters.setInt("TestRecord", "NumberOfPass", s_.NumberOfPass);
    std::string why;
    if (!counters.save(path, &why)) {
        debug("Cannot write " + path.string() + ": " + why);
        message(Format(msg::kSettingsFileNotWritten, path.string()), msg::kError);
        return false;
    }
    return true;
}

void SettingsPanel::applyCollectLayout() {
    if (family_ == EepromFamily::ParallelFlash) {
        setLayout(LayoutRow::ParallelNormal);
        return;
    }
    switch (eepromTypeIndex()) {
        case 0:
            setLayout(LayoutRow::StandardType1);
            s_.Layout.serial = {0, 0};
            break;
        case 1:
            setLayout(LayoutRow::StandardType2);
            s_.Layout.stringA.maxChars = 19;
            break;
        default:
            break;  // Type 3: unchanged
    }
}

void SettingsPanel::CollectPanelSettings() {
    // 1.
    {
        const int i = c("CapChkCmbx").itemIndex;
        if (i >= 0 && static_cast<std::size_t>(i) < kCapacityChoices.size())
            s_.Capacity = kCapacityChoices[static_cast<std::size_t>(i)];
    }
    s_.EnPartition = c("PartitionCheckBox").checked;
    s_.EnCloneProduct = c("cbCloneProduct").checked;
    s_.EnFormat = c("FormatCheckBox").checked;
    s_.EnRWTest = c("RWTestCheckBox").checked;
    s_.EnEEPROMUpdate = c("EEPROMCheckBox").checked;
    s_.EnFWUpdate = c("FWUpdateCheckBox").checked;
    if (c("FmtTypeComboBox").itemIndex >= 0)
        s_.DiskFormat = static_cast<std::uint8_t>(c("FmtTypeComboBox").itemIndex);

    // 2.
    auto enabledAndChecked = [this](const char* n) { return c(n).enabled && c(n).checked; };
    auto visibleAndChecked = [this](const char* n) { return c(n).visible && c(n).checked; };
    s_.EnSWCopy = enabledAndChecked("SWCopyChkBox");
    s_.EnFolderCompare = enabledAndChecked("enFolderCPChk");
    s_.EnFWCheck = visibleAndChecked("FWCheckBox");
    s_.EnUSB30Check = visibleAndChecked("enU3CheckBox");
    s_.EnUSB31Gen2Check = visibleAndChecked("enU31Gen2CheckBox");
    s_.bAdvenceCompare = c("bAdvCompareChk").checked;
    s_.MapToHDName = c("StrA2DiskStrChk").checked;
    s_.EnManuProdStrSourceCtl = c("ManuProdSosctlchk").checked;
    s_.EnInquiryStrSourceCtl = c("InquirySosctlchk").checked;
    s_.nPartitionTblFmt = c("GPTCheckBox").checked;
    s_.EnVenderCheck = c("EEPROMVerifyBox").checked;

    // 3.
    s_.DiskLabel = c("VolumeLabeledEdit").text;
    s_.FwFileName = c("FwFileNameEdit").text;
    s_.SwImgPath = c("SwImgPathEdit").text;
    s_.SwDstFolder = c("DstISOEdit").text;

    // 4.
    if (SelectedItem(c("FmtTypeComboBox")) == "FAT32") {
        s_.FmtSecPerClus = 0;
    } else {
        const int i = c("FmtSecPerClusCbox").itemIndex;
        s_.FmtSecPerClus = (i >= 0 && static_cast<std::size_t>(i) < kClusterSizeChoices.size())
                               ? kClusterSizeChoices[static_cast<std::size_t>(i)]
                               : 0;
    }

    // 5. The EEPROM content.
    if (s_.EnEEPROMUpdate != 0) {
        const std::string& vendor = c("VendorStrEdit").text;
        const std::string& product = c("ProdStrEdit").text;
        if (c("StrA2DiskStrChk").checked) {
            std::string v = vendor.substr(0, std::min<std::size_t>(vendor.size(), 8));
            v.resize(8, ' ');
            s_.StringA = v + product.substr(0, std::min<std::size_t>(product.size(), 16));
        } else {
            s_.StringA = c("StringAEdit").text;
        }
        CopyField(s_.VendorText, vendor);
        CopyField(s_.ProductText, product);
        CopyField(s_.StringCText, c("StringCEdit").text);
        CopyField(s_.StringBText, c("StringBEdit").text);
        s_.String3 = c("String3Edit").text;
        s_.StringB = c("StringBEdit").text;
        s_.StringC = c("StringCEdit").text;
        CopyField(s_.SerialText, s_.String3.str());
        s_.SerialLength = static_cast<std::int32_t>(s_.String3.size());
        s_.StringAInc = c("StrAAutoInc").checked;
        s_.String3Inc = c("Str3AutoInc").checked;
        s_.StrBFromHDSN = c("StrBFromDiskSNChk").checked;
        applyCollectLayout();
        if (in_.parallelFlashAttached)
            V426FlashTypeChange();
        auto id = [this](const char* edit, FixedText& field, std::uint16_t& value, int pos) {
            const std::string& t = c(edit).text;
            field = t.substr(0, std::min<std::size_t>(t.size(), 4));
            value = field.empty() ? 0 : static_cast<std::uint16_t>(ParseHex(field) & 0xFFFF);
            PutConfigWord(s_.Config, pos, value);
        };
        id("VendorIDEdit", s_.VenderID, s_.VidValue, s_.Layout.vidPos);
        id("ProductIDEdit", s_.ProductID, s_.PidValue, s_.Layout.vidPos + 2);
        s_.ProductRevsion = c("RevisionEdit").text;
        const std::int64_t odd = ParseDecimal(c("OddSizeEdit").text);
        s_.ODDSize = static_cast<std::int32_t>(
            std::clamp<std::int64_t>(odd, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max()));
    }

    // 6. The verification values.
    if (s_.EnVenderCheck != 0) {
        s_.vfVenderID = c("vfVIDEdit").text;
        s_.vfProductID = c("vfPIDEdit").text;
        s_.vfStringA = c("vfStringAEdit").text;
        s_.vfStringB = c("vfStringBEdit").text;
        s_.DiskName = c("vfDiskNameEdit").text;
        s_.VolumeLabel = c("vfVolumnLabelEdit").text;
        s_.HDDFwRev = c("vfHDDFWRevEdit").text;
        s_.EnCheckDiskName = c("vfDiskNameChk").checked;
        s_.EnCheckVolLabel = c("vfVolLabelChk").checked;
        s_.EnCheckHDDFwRev = c("vfHDDFWRevChk").checked;
    }

    // 7.
    if (s_.CheckMaxSn != 0)
        s_.StringMaxSn = c("maxSNEdit").text;
}

void SettingsPanel::SaveOnExit() {
    CollectPanelSettings();
    const fs::path current = s_.CurrentSettingsPath;
    std::error_code ec;
    const auto st = fs::status(current, ec);
    const bool writable =
        !ec && fs::exists(st) && (st.permissions() & fs::perms::owner_write) != fs::perms::none;
    if (writable)
        SaveSettings(current);
    if (current.string().find(kDefaultSettingsName) == std::string::npos)
        SaveSettings(kDefaultSettingsName);
    WriteCounters();
}

void SettingsPanel::INILoadBtnClick(const std::optional<fs::path>& chosen) {
    if (!chosen)
        return;
    s_.CurrentSettingsPath = *chosen;
    LoadSettings(*chosen);
    if (barcodeMode())
        c("Panel5").enabled = true;
    if (actions_)
        actions_->rescanDevices();
}

void SettingsPanel::INISaveBtnClick(const std::optional<fs::path>& chosen) {
    CollectPanelSettings();
    if (!chosen)
        return;
    s_.CurrentSettingsPath = *chosen;
    SaveSettings(*chosen);
}

}  // namespace vq
