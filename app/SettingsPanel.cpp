// The settings panel's machinery (controls set from code, the operator's actions) and the
// rules of its event handlers: key filters, interlocks, the firmware file and the panel
// adjustments after a device scan. The settings file is in SettingsFile.cpp, the EEPROM
// field editing in EepromFields.cpp.
#include "app/SettingsPanel.h"

#include <limits>

#include "app/PanelMessages.h"
#include "base/Text.h"

namespace vq {

LogDirectoryError::LogDirectoryError() : std::runtime_error(msg::kCannotCreateLogDir) {}

SettingsPanel::SettingsPanel(RunSettings& settings, PanelModel& panel, Operator& op,
                             std::filesystem::path home, FirmwareFitCheck* fitCheck,
                             PanelActions* actions)
    : s_(settings), p_(panel), op_(op), home_(std::move(home)), fit_(fitCheck), actions_(actions) {}

// ---------------------------------------------------------------- messages

void SettingsPanel::message(std::string text, const char* title) {
    MessageIcon icon = MessageIcon::Information;
    if (std::string_view(title) == msg::kError)
        icon = MessageIcon::Error;
    else if (std::string_view(title) == msg::kWarning)
        icon = MessageIcon::Warning;
    op_.showMessage({std::move(text), title, icon, MessageButtons::Ok});
}

void SettingsPanel::plainMessage(std::string text) {
    op_.showMessage({std::move(text), msg::kPlainTitle, MessageIcon::None, MessageButtons::Ok});
}

// ---------------------------------------------------------------- controls from code

void SettingsPanel::setText(std::string_view control, std::string text) {
    Control& ctl = c(control);
    if (ctl.text == text)
        return;
    ctl.text = std::move(text);
    ctl.caret = -1;
    runChangeHandler(ctl.name);
}

void SettingsPanel::setChecked(std::string_view control, bool checked) {
    Control& ctl = c(control);
    if (ctl.checked == checked)
        return;
    ctl.checked = checked;
    runClickHandler(ctl.name);
}

void SettingsPanel::setItemIndex(std::string_view control, int index) {
    Control& ctl = c(control);
    ctl.itemIndex = (index >= 0 && static_cast<std::size_t>(index) < ctl.items.size()) ? index : -1;
}

void SettingsPanel::runChangeHandler(std::string_view n) {
    if (n == "StringAEdit" || n == "StringBEdit" || n == "String3Edit" || n == "VendorStrEdit" ||
        n == "ProdStrEdit")
        StringAEditChange(n);
    else if (n == "VendorIDEdit" || n == "ProductIDEdit")
        VenderIDEditChange(n);
    else if (n == "StringCEdit")
        StringCEditChange();
    else if (n == "TimerEdit")
        TimerEditChange();
    else if (n == "CapacityUserDefEdit")
        CapacityUserDefEditChange();
    else if (n == "VolumeLabeledEdit")
        FFsFmtChange();
}

void SettingsPanel::runClickHandler(std::string_view n) {
    if (n == "FormatCheckBox")
        Format_Checked();
    else if (n == "PartitionCheckBox" || n == "GPTCheckBox")
        PartitionCheckBoxClick();
    else if (n == "EEPROMCheckBox")
        EEPROM_Update_Checked();
    else if (n == "EEPROMVerifyBox")
        EEPROMVerifyBoxClick();
    else if (n == "enU3CheckBox" || n == "enU31Gen2CheckBox")
        enU3CheckBoxClick(n);
    else if (n == "FWUpdateCheckBox" || n == "FWCheckBox")
        FWUpdateCheckBoxClick(n);
    else if (n == "StrA2DiskStrChk")
        StrA2DiskStrChkClick();
    else if (n == "StrA2SNChk")
        StrA2SNChkClick();
    else if (n == "StrBFromDiskSNChk")
        StrBFromDiskSNChkClick();
    else if (n == "ManuProdSosctlchk")
        ManuProdSosctlchkClick();
    else if (n == "InquirySosctlchk")
        InquirySosctlchkClick();
}

void SettingsPanel::runSelectHandler(std::string_view n) {
    if (n == "EEPROMType")
        EEPROMTypeChange();
    else if (n == "CapChkCmbx")
        CapChkCmbxChange();
    else if (n == "FmtSecPerClusCbox")
        FmtSecPerClusCboxChange();
    else if (n == "FmtTypeComboBox")
        FFsFmtChange();
    else if (n == "V426FlashComboBox")
        V426FlashTypeChange();
}

// ---------------------------------------------------------------- the operator

bool SettingsPanel::userKey(std::string_view control, char key) {
    FormKeyPress(key);  // the form sees every key first (key preview)
    Control& ctl = c(control);
    if (!ctl.visible || !ctl.enabled)
        return false;
    const std::string_view n = ctl.name;
    bool pass = true;
    if (n == "VendorIDEdit" || n == "ProductIDEdit" || n == "vfVIDEdit" || n == "vfPIDEdit" ||
        n == "maxSNEdit" || (n == "StringAEdit" && ctl.hexKeyFilter))
        pass = HexKeyFilter(key);
    else if (n == "String3Edit")
        pass = String3EditKeyPress(key);
    else if (n == "TimerEdit" || n == "RevisionEdit" || n == "OddSizeEdit")
        pass = DigitKeyFilter(key);
    else if (n == "CapacityUserDefEdit")
        pass = CapacityKeyFilter(key);
    if (!pass)
        return false;
    if (ctl.readOnly || (ctl.kind != ControlKind::Edit && ctl.kind != ControlKind::LabeledEdit))
        return true;

    std::string text = ctl.text;
    std::size_t caret = ctl.caret < 0 || static_cast<std::size_t>(ctl.caret) > text.size()
                            ? text.size()
                            : static_cast<std::size_t>(ctl.caret);
    if (key == '\b') {
        if (caret == 0)
            return true;
        text.erase(caret - 1, 1);
        --caret;
    } else if (static_cast<unsigned char>(key) >= 32) {
        if (ctl.maxLength > 0 && text.size() >= static_cast<std::size_t>(ctl.maxLength))
            return true;
        text.insert(caret, 1, key);
        ++caret;
    } else {
        return true;  // Enter and other control keys change no text
    }
    ctl.text = std::move(text);
    ctl.caret = caret == ctl.text.size() ? -1 : static_cast<int>(caret);
    runChangeHandler(ctl.name);
    return true;
}

void SettingsPanel::userEdit(std::string_view control, std::string text) {
    Control& ctl = c(control);
    if (ctl.text == text)
        return;
    ctl.text = std::move(text);
    ctl.caret = -1;
    runChangeHandler(ctl.name);
}

void SettingsPanel::userClick(std::string_view control) {
    Control& ctl = c(control);
    if (!ctl.visible || !ctl.enabled)
        return;
    if (ctl.kind == ControlKind::CheckBox) {
        ctl.checked = !ctl.checked;
        runClickHandler(ctl.name);
        return;
    }
    const std::string_view n = ctl.name;
    if (n == "SafeRmBtn" && actions_)
        actions_->safeRemove();
    else if ((n == "ExecuteBtn" || n == "btnStartTest2") && actions_)
        actions_->startRun();
    else if (n == "RefreshBtn" && actions_)
        actions_->rescanDevices();
    else if (n == "LoadFWButton")
        LoadFWButtonClick(std::nullopt);  // a front end without a file dialog: cancelled
}

void SettingsPanel::userSelect(std::string_view control, int index) {
    const Control& ctl = c(control);
    if (!ctl.visible || !ctl.enabled)
        return;
    setItemIndex(control, index);
    runSelectHandler(c(control).name);
}

// ---------------------------------------------------------------- key filters

bool SettingsPanel::HexKeyFilter(char& key) const {
    if (key == '\r' || key == '\b' || (key >= '0' && key <= '9'))
        return true;
    const char last = s_.MPSnAToZ != 0 ? 'Z' : 'F';
    if (key >= 'A' && key <= last)
        return true;
    if (key >= 'a' && key <= static_cast<char>(last - 'A' + 'a')) {
        key = ToUpperAscii(key);
        return true;
    }
    return static_cast<unsigned char>(key) < 32;
}

bool SettingsPanel::DigitKeyFilter(char& key) {
    if (key == '\r' || key == '\b' || (key >= '0' && key <= '9'))
        return true;
    return static_cast<unsigned char>(key) < 32;
}

bool SettingsPanel::CapacityKeyFilter(char& key) {
    return key == '\b' || (key >= '0' && key <= '9');
}

bool SettingsPanel::String3EditKeyPress(char& key) {
    const bool enter = key == '\r';
    if (barcodeMode()) {
        if (in_.runInProgress || s_.EnEEPROMUpdate == 0)
            return false;
        auto refuse = [&](const char* text) {
            if (enter)
                message(text, msg::kWarning);
            setText("String3Edit", "");
            return false;
        };
        if (in_.deviceCount == 0)
            return refuse(msg::kDeviceNotReady);
        if ((c("FWUpdateCheckBox").checked || c("FWCheckBox").checked) && !in_.firmwareFits)
            return refuse(msg::kFirmwareNotForAllChips);
        if (in_.chipsDiffer)
            return refuse(msg::kChipsDiffer);
        if (enter && in_.runMayStart && in_.deviceCount >= 1) {
            const auto length = c("String3Edit").text.size();
            if (s_.BarcodeLength >= 0 && length == static_cast<std::size_t>(s_.BarcodeLength)) {
                if (actions_)
                    actions_->startRun();
            } else {
                message(msg::kBarcodeLength, msg::kWarning);
                setText("String3Edit", "");
            }
            return false;
        }
    }
    return HexKeyFilter(key);
}

void SettingsPanel::FormKeyPress(char key) {
    if (key != '0')
        return;
    if (s_.EnLoopDebug == 0 && !c("RDCheck").checked && !in_.runInProgress &&
        c("SafeRmBtn").enabled && s_.EnKey0SafeRemove != 0 && actions_)
        actions_->safeRemove();
}

void SettingsPanel::FormPaint() {
    if (in_.resultWindowVisible)
        return;
    const Control& start = c("ExecuteBtn");
    p_.focus = (start.visible && start.enabled) ? "ExecuteBtn" : "RefreshBtn";
    if (barcodeMode() && s_.EnEEPROMUpdate != 0 && in_.runMayStart && in_.deviceCount > 0 &&
        c("Panel5").visible && c("Panel5").enabled && c("String3Edit").visible &&
        c("String3Edit").enabled) {
        setText("String3Edit", "");
        p_.focus = "String3Edit";
    }
}

void SettingsPanel::clearForBarcode() {
    setText("String3Edit", "");
    p_.focus = "String3Edit";
}

// ---------------------------------------------------------------- value handlers

void SettingsPanel::TimerEditChange() {
    s_.StandbyTimer = ParseDecimal32(c("TimerEdit").text);
}

void SettingsPanel::CapacityUserDefEditChange() {
    s_.CapacityCustomize = ParseDecimal32(c("CapacityUserDefEdit").text);
}

void SettingsPanel::CapChkCmbxChange() {
    const int i = c("CapChkCmbx").itemIndex;
    if (i >= 0 && static_cast<std::size_t>(i) < kCapacityChoices.size())
        s_.Capacity = kCapacityChoices[static_cast<std::size_t>(i)];
    c("CapacityUserDefEdit").enabled = s_.Capacity == 1;
}

void SettingsPanel::FmtSecPerClusCboxChange() {
    const int i = c("FmtSecPerClusCbox").itemIndex;
    if (SelectedItem(c("FmtTypeComboBox")) == "FAT32")
        s_.FmtSecPerClus = 0;
    else
        s_.FmtSecPerClus = (i >= 0 && static_cast<std::size_t>(i) < kClusterSizeChoices.size())
                               ? kClusterSizeChoices[static_cast<std::size_t>(i)]
                               : 0;
}

void SettingsPanel::V426FlashTypeChange() {
    const int i = c("V426FlashComboBox").itemIndex;
    s_.FlashType = static_cast<std::uint8_t>(i < 0 ? 255 : i);
}

// ---------------------------------------------------------------- interlocks

void SettingsPanel::applyFat32LabelLimit() {
    Control& label = c("VolumeLabeledEdit");
    if (SelectedItem(c("FmtTypeComboBox")) == "FAT32" && label.text.size() > 11) {
        setText("VolumeLabeledEdit", label.text.substr(0, 11));
        message(msg::kFat32Label, msg::kMessage);
    }
}

void SettingsPanel::FFsFmtChange() {
    applyFat32LabelLimit();
    const std::string fs = SelectedItem(c("FmtTypeComboBox"));
    if (fs == "FAT32" || fs == "exFAT")
        c("FmtSecPerClusCbox").visible = false;
    else if (fs == "NTFS" && s_.ClusterSizeSet != 0)
        c("FmtSecPerClusCbox").visible = true;
}

void SettingsPanel::Format_Checked() {
    const bool on = c("FormatCheckBox").checked;
    c("VolumeLabeledEdit").enabled = on;
    c("FmtTypeComboBox").enabled = on;
    setChecked("PartitionCheckBox", on);
}

void SettingsPanel::PartitionCheckBoxClick() {
    c("GPTCheckBox").enabled = c("PartitionCheckBox").checked;
}

void SettingsPanel::parallelFlashGroupRule() {
    if (in_.parallelFlashAttached) {
        c("GroupBox4").visible = true;
        V426FlashTypeChange();
    } else {
        c("GroupBox4").visible = false;
        s_.FlashType = 255;
    }
}

void SettingsPanel::EEPROM_Update_Checked() {
    if (c("EEPROMCheckBox").checked) {
        c("GroupBox2").visible = true;
        c("Panel5").visible = true;
        if (barcodeMode())
            clearForBarcode();
        parallelFlashGroupRule();
        c("EnableUSBFirst").visible = false;
        setChecked("EEPROMVerifyBox", false);
    } else {
        c("GroupBox2").visible = false;
        c("Panel5").visible = false;
        if (in_.parallelFlashAttached && c("FWUpdateCheckBox").checked) {
            c("GroupBox4").visible = true;
        } else {
            c("GroupBox4").visible = false;
            s_.FlashType = 255;
        }
        c("EnableUSBFirst").visible = false;
    }
}

void SettingsPanel::EEPROMVerifyBoxClick() {
    if (c("EEPROMVerifyBox").checked)
        setChecked("EEPROMCheckBox", false);
    c("EEVerifyGroup").visible = c("EEPROMVerifyBox").checked;
}

void SettingsPanel::enU3CheckBoxClick(std::string_view sender) {
    const std::string other = sender == "enU3CheckBox" ? "enU31Gen2CheckBox" : "enU3CheckBox";
    if (c(sender).checked && c(other).checked)
        setChecked(other, false);
}

void SettingsPanel::firmwareFitCheckAndConsequences() {
    const bool fits =
        fit_ ? fit_->firmwareFits(c("FwFileNameEdit").text, in_.firstChipIdentity) : true;
    in_.firmwareFits = fits;
    if (fits) {
        if (actions_)
            actions_->rescanDevices();
    } else {
        c("ExecuteBtn").enabled = false;
        plainMessage(msg::kFirmwareNotForAllChips);
    }
}

void SettingsPanel::FWUpdateCheckBoxClick(std::string_view sender) {
    const bool update = c("FWUpdateCheckBox").checked;
    const bool check = c("FWCheckBox").checked;
    if (!update && !check) {
        c("LoadFWButton").enabled = false;
        c("FwFileNameEdit").enabled = false;
        if (in_.parallelFlashAttached && c("EEPROMCheckBox").checked) {
            c("GroupBox4").visible = true;
            return;
        }
        c("GroupBox4").visible = false;
        if (autoMode() || barcodeMode())
            c("ExecuteBtn").enabled = false;
        else if (s_.MPDevCount == 0 || s_.MPDevCount == in_.deviceCount)
            c("ExecuteBtn").enabled = true;
        return;
    }
    c("LoadFWButton").enabled = true;
    c("FwFileNameEdit").enabled = true;
    const std::string other = sender == "FWUpdateCheckBox" ? "FWCheckBox" : "FWUpdateCheckBox";
    if (c(sender).checked && c(other).checked) {
        // Unchecking the other box runs this rule again for it, which completes the rule.
        setChecked(other, false);
        return;
    }
    parallelFlashGroupRule();
    if (in_.deviceCount > 0 && !c("FwFileNameEdit").text.empty())
        firmwareFitCheckAndConsequences();
}

void SettingsPanel::LoadFWButtonClick(const std::optional<std::string>& chosenFile) {
    if (!chosenFile)
        return;
    c("FwFileNameEdit").text = *chosenFile;
    s_.FwFileName = *chosenFile;
    if (in_.deviceCount > 0)
        firmwareFitCheckAndConsequences();
}

// ---------------------------------------------------------------- after a device scan

void SettingsPanel::AdjustAfterScan(const ScanFacts& f) {
    in_.deviceCount = f.deviceCount;
    in_.firstChipIdentity = f.firstChipIdentity;
    in_.parallelFlashAttached = f.parallelFlashBridge;
    in_.chipKind17or18Attached = f.chipKind17or18;
    in_.chipsDiffer = f.modelCount >= 2;
    in_.runMayStart = f.runMayStart;
    const EepromFamily previousFamily = family_;

    // 1. The EEPROM panel family.
    if (f.parallelFlashBridge && !f.otherBridge) {
        family_ = EepromFamily::ParallelFlash;
        c("EnableUSBFirst").visible = false;
        c("String3Edit").enabled = true;
        c("EEPROMType").enabled = f.typeChoiceAllowed;
        if (!f.typeChoiceAllowed)
            setItemIndex("EEPROMType", 1);
    } else if (f.parallelFlashBridge) {
        message(msg::kMixedParallelFlash, msg::kMessage);
        c("GroupBox2").visible = false;
        c("Panel5").visible = false;
        setChecked("EEPROMCheckBox", false);
        c("EEPROMCheckBox").enabled = false;
    } else {
        family_ = EepromFamily::Standard;
    }

    // 2. The standby timer.
    if (f.standbyTimerSupported && s_.StandbyTimer >= 0) {
        c("TimerEdit").visible = true;
        setText("TimerEdit", std::to_string(s_.StandbyTimer));
    } else {
        c("TimerEdit").visible = false;
    }

    // 3. The EEPROM type items, then the EEPROM-type change.
    if (f.type3Offered != prevType3Offered_ || f.olderBridgesOnly != prevOlderOnly_ ||
        family_ != previousFamily) {
        Control& t = c("EEPROMType");
        const int previous = t.itemIndex;
        if (family_ == EepromFamily::ParallelFlash) {
            t.items = {"Normal", "Type 3"};
            t.itemIndex = previous == 1 ? 1 : 0;
        } else {
            t.items = {"Type 1", "Type 2"};
            if (f.type3Offered) {
                t.items.emplace_back("Type 3");
                t.itemIndex = 2;
            } else {
                t.itemIndex = previous == 2 ? 1 : (previous < 0 ? 0 : previous);
            }
        }
        t.enabled = f.typeChoiceAllowed;
        if (!f.typeChoiceAllowed) {
            for (std::size_t i = 0; i < t.items.size(); ++i) {
                if (t.items[i] == "Type 3")
                    t.itemIndex = static_cast<int>(i);
            }
        }
    }
    prevType3Offered_ = f.type3Offered;
    prevOlderOnly_ = f.olderBridgesOnly;
    EEPROMTypeChange();

    // 4. The firmware group.
    if (f.firmwareGroupUsable && f.modelCount <= 1) {
        c("GroupBox3").visible = true;
        if (c("FWUpdateCheckBox").checked || c("FWCheckBox").checked) {
            c("LoadFWButton").enabled = true;
            c("FwFileNameEdit").enabled = true;
            c("GroupBox4").visible = f.parallelFlashBridge;
            if (!c("FwFileNameEdit").text.empty() && f.deviceCount > 0) {
                const bool fits =
                    fit_ ? fit_->firmwareFits(c("FwFileNameEdit").text, f.firstChipIdentity) : true;
                in_.firmwareFits = fits;
                if (!fits) {
                    c("ExecuteBtn").enabled = false;
                    plainMessage(msg::kFirmwareNotForAllChips);
                } else if (barcodeMode()) {
                    clearForBarcode();
                }
            }
        } else {
            c("LoadFWButton").enabled = false;
            c("FwFileNameEdit").enabled = false;
            c("GroupBox4").visible = false;
        }
        if (c("EEPROMCheckBox").checked)
            c("GroupBox4").visible = f.parallelFlashBridge;
        c("TimerEdit").visible =
            (f.parallelFlashBridge || f.standbyTimerSupported) && s_.StandbyTimer >= 0;
    } else {
        if (f.modelCount >= 2) {
            setChecked("FWUpdateCheckBox", false);
            c("ExecuteBtn").enabled = false;
            message(msg::kSameChipModel, msg::kError);
        }
        if (!f.firmwareGroupUsable) {
            c("GroupBox3").visible = false;
            setChecked("FWUpdateCheckBox", false);
        }
    }

    // 5. The USB 3 panel.
    c("USB3Panel").visible = f.usb3Bridge;
    c("enU3CheckBox").visible = f.usb3Bridge;
    c("enU31Gen2CheckBox").visible = f.usb3Bridge;
    if (f.usb3Bridge) {
        if (s_.ProductRevsion.str() != "0000")
            c("RevisionEdit").visible = true;
        Control& u = c("USB3Panel");
        if (f.usb3AllGen2) {
            u.caption = "USB 3.1 Gen 2";
            u.fontColor = "clBlue";
        } else if (f.usb3AllAboveUsb2) {
            u.caption = "USB 3.1 Gen 1";
            u.fontColor = "clBlue";
        } else {
            u.caption = "USB 2.0";
            u.fontColor = "clRed";
        }
    }

    // 6. The optical-drive size.
    c("OddSizeEdit").visible = f.opticalSizeBridge && s_.ODDSize > 0;

    // 7. The drive's strings.
    if (f.driveStringBridge) {
        setChecked("StrA2DiskStrChk", true);
        c("StrA2DiskStrChk").enabled = false;
        c("StrALabel").caption = "   HDD.String";
        c("StringCEdit").visible = true;
        c("StringBEdit").top = c("StringCEdit").top + 24;
    } else {
        c("StrA2DiskStrChk").enabled = true;
        c("StrALabel").caption = "Manuf.String";
        c("StringCEdit").visible = false;
        c("StringBEdit").top = c("StringCEdit").top + 13;
    }

    // 8. The string-source controls.
    c("ManuProdSosctlchk").visible = f.stringSourceBridge;
    c("InquirySosctlchk").visible = f.stringSourceBridge;
    ManuProdSosctlchkClick();
    InquirySosctlchkClick();

    // 9. The disk steps.
    const bool disk = !f.diskStepsOff;
    for (const char* n :
         {"PartitionCheckBox", "FormatCheckBox", "FmtTypeComboBox", "FmtSecPerClusCbox",
          "VolumeLabeledEdit", "RWTestCheckBox", "vfVolumnLabelEdit", "vfVolLabelChk",
          "vfHDDFWRevEdit", "vfHDDFWRevChk", "SWCopyChkBox", "enFolderCPChk", "bAdvCompareChk",
          "SwImgPathEdit", "DstISOEdit"})
        c(n).enabled = disk;
    if (!disk) {
        c("CapacityUserDefEdit").enabled = false;
        c("CapChkCmbx").enabled = false;
    }
}

}  // namespace vq
