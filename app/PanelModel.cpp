#include "app/PanelModel.h"

#include <stdexcept>

#include "app/RunSettings.h"

namespace vq {

namespace {

Control Make(std::string name, ControlKind kind, std::string caption) {
    Control c;
    c.name = std::move(name);
    c.kind = kind;
    c.caption = std::move(caption);
    return c;
}

Control Edit(std::string name, std::string label, int maxLength = 0, int tag = 0) {
    Control c = Make(std::move(name), ControlKind::LabeledEdit, std::move(label));
    c.maxLength = maxLength;
    c.tag = tag;
    return c;
}

Control Check(std::string name, std::string caption, int tag = 0) {
    Control c = Make(std::move(name), ControlKind::CheckBox, std::move(caption));
    c.tag = tag;
    return c;
}

Control Combo(std::string name, std::vector<std::string> items, int index) {
    Control c = Make(std::move(name), ControlKind::ComboBox, "");
    c.items = std::move(items);
    c.itemIndex = index;
    return c;
}

Control Hidden(Control c) {
    c.visible = false;
    return c;
}

Control Disabled(Control c) {
    c.enabled = false;
    return c;
}

Control At(Control c, int left, int top) {
    c.left = left;
    c.top = top;
    return c;
}

}  // namespace

PanelModel::PanelModel(bool offerExFat) {
    using K = ControlKind;
    // Window-level controls and groups.
    add(Make("ExecuteBtn", K::Button, "START"));
    add(Make("RefreshBtn", K::Button, "Refresh"));
    add(Make("SafeRmBtn", K::Button, "Safe Remove"));
    add(Make("INILoadBtn", K::Button, "Load INI"));
    add(Make("INISaveBtn", K::Button, "Save INI"));
    add(Hidden(Check("RDCheck", "RD Version")));
    add(Hidden(Make("ProdModalPanel", K::Panel, "")));
    add(Make("GroupBox1", K::GroupBox, "Execution Setting"));
    add(Make("GroupBox2", K::GroupBox, "EEPROM Setting"));
    add(Make("GroupBox3", K::GroupBox, "F/W Update"));
    add(Hidden(Make("GroupBox4", K::GroupBox, "VQ57426 Flash Type")));
    add(Make("GroupBox5", K::GroupBox, "SW Copy"));
    add(Make("EEVerifyGroup", K::GroupBox, "EEPROM Verify Setting"));
    add(Make("Panel4", K::Panel, ""));
    add(Make("Panel5", K::Panel, ""));
    add(Make("USB3Panel", K::Panel, ""));
    // The debug loop panel and "Erase Flash" (shown with EnLoopDebug).
    add(Hidden(Make("DebugPanel", K::Panel, "")));
    add(Make("BtnStopTest", K::Button, "Stop Test"));
    {
        Control c = Edit("lbTestLoopCnt", "Loop Count");
        c.text = "1";
        add(c);
    }
    add(Make("btnStartTest2", K::Button, "Start Test"));
    {
        Control c = Check("cbStopOnFailure", "StopOnFail");
        c.checked = true;
        add(c);
    }
    add(Check("cbFWUpdateNoReset", "FW no reset"));
    add(Hidden(Check("cbEraseFlash", "Erase Flash")));

    // "EEPROM Setting".
    add(Combo("EEPROMType", {"Type 1", "Type 2", "Type 3"}, 1));
    add(Edit("VendorIDEdit", "VID", 4, 0));
    add(Edit("ProductIDEdit", "PID", 4, 1));
    add(At(Edit("StringAEdit", "Manuf. String ", 0, 0), 8, 56));
    add(At(Edit("StringBEdit", "USB Prod.String ", 0, 1), 8, 120));
    add(At(Hidden(Edit("VendorStrEdit", "", 8, 3)), 8, 56));
    add(At(Hidden(Edit("ProdStrEdit", "", 16, 4)), 80, 56));
    add(At(Hidden(Make("StrALabel", K::Label, "Manuf. String ")), 8, 40));
    add(Check("StrAAutoInc", "S/N Auto Increase"));
    add(At(Hidden(Check("StrA2SNChk", "Map to S/N")), 200, 96));
    add(At(Check("StrA2DiskStrChk", "Map to HDD String"), 200, 40));
    add(Check("Str3AutoInc", "Auto Increase"));
    add(Hidden(Check("EnableUSBFirst", "Enable USB before Detect Device ")));
    add(Hidden(Edit("maxSNEdit", "MAX S/N", 31, 2)));
    add(Hidden(Edit("TimerEdit", "Standby Timer(Min.)", 8)));
    add(Check("StrBFromDiskSNChk", "From HDD SN"));
    {
        Control c = Hidden(Edit("RevisionEdit", "Product Revision", 4));
        c.text = "0000";
        add(c);
    }
    add(Hidden(Edit("OddSizeEdit", "ODD Size(MB)", 4)));
    add(At(Edit("StringCEdit", "Manuf.String ", 0, 5), 8, 96));
    // Shown only with a bridge that has string-source controls (after a device scan).
    add(Hidden(Check("ManuProdSosctlchk", "Manu_Prod String Source Ctrl")));
    add(Hidden(Check("InquirySosctlchk", "Inquiry String Source Ctrl")));
    add(Edit("String3Edit", "S/N String ", 0, 2));

    // "Execution Setting".
    add(Check("PartitionCheckBox", "Partition"));
    add(Disabled(Check("GPTCheckBox", "Partition to GPT")));
    add(Check("FormatCheckBox", "Format"));
    add(Check("RWTestCheckBox", "R/WTest"));
    add(Check("EEPROMCheckBox", "EEPROM Update"));
    add(Check("EEPROMVerifyBox", "EEPROM Verify"));
    add(Check("enU3CheckBox", "USB 3.1 Gen1 Check", 0));
    add(Check("enU31Gen2CheckBox", "USB 3.1 Gen2 Check", 1));
    add(Edit("VolumeLabeledEdit", "Volume Label "));
    {
        std::vector<std::string> fs = {"NTFS", "FAT32"};
        if (offerExFat)
            fs.emplace_back("exFAT");
        add(Combo("FmtTypeComboBox", fs, 0));
    }
    add(Hidden(Combo("FmtSecPerClusCbox",
                     {std::begin(kClusterSizeChoiceNames), std::end(kClusterSizeChoiceNames)}, 0)));
    add(Combo("CapChkCmbx", {std::begin(kCapacityChoiceNames), std::end(kCapacityChoiceNames)}, 0));
    {
        Control c = Edit("CapacityUserDefEdit", "User Def. (GB)", 6);
        c.kind = K::Edit;
        add(c);
    }
    {
        Control c = Edit("FreeSpaceEdit", "FreeSpaceCheck");
        c.kind = K::Edit;
        c.readOnly = true;
        add(c);
    }

    // "F/W Update" and the parallel-flash type.
    add(Check("FWUpdateCheckBox", "Firmware Update", 0));
    add(Check("FWCheckBox", "Firmware Check", 1));
    add(Disabled(Make("LoadFWButton", K::Button, "Load F/W File")));
    {
        Control c = Disabled(Edit("FwFileNameEdit", ""));
        c.kind = K::Edit;
        add(c);
    }
    add(Check("cbCloneProduct", "For Clone Firmware Update"));
    add(Combo("V426FlashComboBox", {"ATMELAT 49BV512", "PMC OM39LV512", "SST SST39LF512 "}, 0));

    // Software copy.
    add(Edit("SwImgPathEdit", "Src. Dir."));
    add(Edit("DstISOEdit", "Dest. Dir. "));
    add(Check("SWCopyChkBox", "SW Copy"));
    add(Check("enFolderCPChk", "Folder Compare"));
    add(Check("bAdvCompareChk", "Advance Compare"));

    // "EEPROM Verify Setting".
    add(Edit("vfVIDEdit", "VID", 4));
    add(Edit("vfPIDEdit", "PID", 4));
    add(Edit("vfStringAEdit", "Manuf. String ", 31));
    add(Edit("vfStringBEdit", "USB Prod.String ", 31));
    add(Edit("vfDiskNameEdit", "Disk Name", 31));
    add(Edit("vfVolumnLabelEdit", "Volume Label", 31));
    add(Edit("vfHDDFWRevEdit", "HDD FW Revision", 8));
    add(Check("vfDiskNameChk", "Disk Name Check"));
    add(Check("vfVolLabelChk", "Vol. Label Check"));
    add(Check("vfHDDFWRevChk", "HDD FWRev Chk"));
}

void PanelModel::add(Control c) {
    index_.emplace(c.name, controls_.size());
    controls_.push_back(std::move(c));
}

bool PanelModel::has(std::string_view name) const {
    return index_.find(name) != index_.end();
}

Control& PanelModel::operator[](std::string_view name) {
    const auto it = index_.find(name);
    if (it == index_.end())
        throw std::out_of_range("no control " + std::string(name));
    return controls_[it->second];
}

const Control& PanelModel::operator[](std::string_view name) const {
    const auto it = index_.find(name);
    if (it == index_.end())
        throw std::out_of_range("no control " + std::string(name));
    return controls_[it->second];
}

std::string SelectedItem(const Control& c) {
    if (c.itemIndex < 0 || static_cast<std::size_t>(c.itemIndex) >= c.items.size())
        return "";
    return c.items[static_cast<std::size_t>(c.itemIndex)];
}

}  // namespace vq
