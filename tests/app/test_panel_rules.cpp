// The settings panel's rules: key filters, interlocks, the serial key rule, the firmware
// file, the "0" shortcut, the focus rule and the adjustments after a device scan.
#include <gtest/gtest.h>

#include "AppTestSupport.h"

namespace vq {
namespace {

using test::PanelFixture;
using test::WithTestFile;

void Type(PanelFixture& f, const char* control, std::string_view keys) {
    for (char k : keys)
        f.panel.userKey(control, k);
}

TEST(KeyFilters, HexFilterUpperCasesAndRejects) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.userEdit("VendorIDEdit", "");
    Type(f, "VendorIDEdit", "abc");
    EXPECT_EQ(f["VendorIDEdit"].text, "ABC");
    EXPECT_FALSE(f.panel.userKey("VendorIDEdit", 'g'));
    EXPECT_EQ(f["VendorIDEdit"].text, "ABC");
    EXPECT_TRUE(f.panel.userKey("VendorIDEdit", '\b'));
    EXPECT_EQ(f["VendorIDEdit"].text, "AB");

    f.s.MPSnAToZ = 1;
    EXPECT_TRUE(f.panel.userKey("VendorIDEdit", 'g'));
    EXPECT_EQ(f["VendorIDEdit"].text, "ABG");

    char k = '\r';
    EXPECT_TRUE(f.panel.HexKeyFilter(k));
    k = '\x1B';  // other control characters pass
    EXPECT_TRUE(f.panel.HexKeyFilter(k));
    k = ' ';
    EXPECT_FALSE(f.panel.HexKeyFilter(k));
    k = '\xE9';
    EXPECT_FALSE(f.panel.HexKeyFilter(k));
}

TEST(KeyFilters, MaximumLengthLimitsTyping) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.userEdit("ProductIDEdit", "");
    Type(f, "ProductIDEdit", "123456");
    EXPECT_EQ(f["ProductIDEdit"].text, "1234");
}

TEST(KeyFilters, DigitAndCapacityFilters) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f["TimerEdit"].visible = true;
    f.panel.userEdit("TimerEdit", "");
    Type(f, "TimerEdit", "1a2 ");
    EXPECT_EQ(f["TimerEdit"].text, "12");
    EXPECT_EQ(f.s.StandbyTimer, 12);
    f.panel.userEdit("TimerEdit", "");
    EXPECT_EQ(f.s.StandbyTimer, 0);

    char k = '\r';
    EXPECT_TRUE(SettingsPanel::DigitKeyFilter(k));
    EXPECT_FALSE(SettingsPanel::CapacityKeyFilter(k));
    k = '\b';
    EXPECT_TRUE(SettingsPanel::CapacityKeyFilter(k));

    f["CapacityUserDefEdit"].enabled = true;
    f.panel.userEdit("CapacityUserDefEdit", "");
    Type(f, "CapacityUserDefEdit", "48x0\r");
    EXPECT_EQ(f["CapacityUserDefEdit"].text, "480");
    EXPECT_EQ(f.s.CapacityCustomize, 480);
}

TEST(KeyFilters, HiddenOrDisabledControlsTakeNoKeys) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f["VendorIDEdit"].enabled = false;
    EXPECT_FALSE(f.panel.userKey("VendorIDEdit", '1'));
    EXPECT_EQ(f["VendorIDEdit"].text, "7E8A");
}

TEST(Interlocks, Fat32CutsTheLabelOnceAndNtfsKeepsIt) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnFormat=1\nFmtSecPerClus=4096\n"));
    f.panel.userEdit("VolumeLabeledEdit", "FIFTEEN CHARS!!");
    EXPECT_TRUE(f["FmtSecPerClusCbox"].visible);
    f.panel.userSelect("FmtTypeComboBox", 1);
    EXPECT_EQ(f["VolumeLabeledEdit"].text, "FIFTEEN CHA");
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "FAT32 only support Volume label 11 characters!");
    EXPECT_EQ(f.op.messages()[0].title, "Message");
    EXPECT_FALSE(f["FmtSecPerClusCbox"].visible);
    f.panel.userSelect("FmtTypeComboBox", 0);
    EXPECT_EQ(f["VolumeLabeledEdit"].text, "FIFTEEN CHA");
    EXPECT_TRUE(f["FmtSecPerClusCbox"].visible);  // NTFS with a cluster size given
    EXPECT_EQ(f.op.messages().size(), 1u);
    f.panel.userSelect("FmtTypeComboBox", 2);
    EXPECT_FALSE(f["FmtSecPerClusCbox"].visible);
}

TEST(Interlocks, NtfsWithoutAClusterSizeLeavesTheBoxAsItIs) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnFormat=1\n"));
    f["FmtSecPerClusCbox"].visible = true;
    f.panel.userSelect("FmtTypeComboBox", 0);
    EXPECT_TRUE(f["FmtSecPerClusCbox"].visible);
}

TEST(Interlocks, FormatEnablesLabelAndFileSystemAndFollowsWithPartition) {
    PanelFixture f;
    f.load(WithTestFile(f));
    EXPECT_FALSE(f["VolumeLabeledEdit"].enabled);
    f.panel.userClick("FormatCheckBox");
    EXPECT_TRUE(f["VolumeLabeledEdit"].enabled);
    EXPECT_TRUE(f["FmtTypeComboBox"].enabled);
    EXPECT_TRUE(f["PartitionCheckBox"].checked);
    EXPECT_TRUE(f["GPTCheckBox"].enabled);
    f.panel.userClick("FormatCheckBox");
    EXPECT_FALSE(f["PartitionCheckBox"].checked);
    EXPECT_FALSE(f["GPTCheckBox"].enabled);
}

TEST(Interlocks, EepromVerifyAndEepromUpdateExcludeEachOther) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnEEPROMUpdate=1\n"));
    EXPECT_TRUE(f["GroupBox2"].visible);
    EXPECT_TRUE(f["Panel5"].visible);
    f.panel.userClick("EEPROMVerifyBox");
    EXPECT_FALSE(f["EEPROMCheckBox"].checked);
    EXPECT_FALSE(f["GroupBox2"].visible);
    EXPECT_FALSE(f["Panel5"].visible);
    EXPECT_TRUE(f["EEVerifyGroup"].visible);
    f.panel.userClick("EEPROMCheckBox");
    EXPECT_FALSE(f["EEPROMVerifyBox"].checked);
    EXPECT_FALSE(f["EEVerifyGroup"].visible);
    EXPECT_TRUE(f["GroupBox2"].visible);
    EXPECT_FALSE(f["EnableUSBFirst"].visible);
}

TEST(Interlocks, EepromUpdateAndTheParallelFlashGroup) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.inputs().parallelFlashAttached = true;
    f.panel.userSelect("V426FlashComboBox", 2);
    EXPECT_EQ(f.s.FlashType, 2);
    f.panel.userClick("EEPROMCheckBox");
    EXPECT_TRUE(f["GroupBox4"].visible);
    EXPECT_EQ(f.s.FlashType, 2);
    f.panel.userClick("FWUpdateCheckBox");
    f.panel.userClick("EEPROMCheckBox");  // off: stays shown for the firmware update
    EXPECT_TRUE(f["GroupBox4"].visible);
    f.panel.inputs().parallelFlashAttached = false;
    f.panel.userClick("EEPROMCheckBox");
    EXPECT_FALSE(f["GroupBox4"].visible);
    EXPECT_EQ(f.s.FlashType, 255);
}

TEST(Interlocks, EepromUpdateInBarcodeModeClearsAndFocusesTheSerial) {
    PanelFixture f;
    f.load(WithTestFile(f, "EnBarcodeMode=1\n"));
    f.panel.userEdit("String3Edit", "1234");
    f.panel.userClick("EEPROMCheckBox");
    EXPECT_EQ(f["String3Edit"].text, "");
    EXPECT_EQ(f.p.focus, "String3Edit");
}

TEST(Interlocks, Usb31BoxesExcludeEachOther) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.userClick("enU3CheckBox");
    f.panel.userClick("enU31Gen2CheckBox");
    EXPECT_FALSE(f["enU3CheckBox"].checked);
    EXPECT_TRUE(f["enU31Gen2CheckBox"].checked);
    f.panel.userClick("enU3CheckBox");
    EXPECT_TRUE(f["enU3CheckBox"].checked);
    EXPECT_FALSE(f["enU31Gen2CheckBox"].checked);
}

TEST(Interlocks, FirmwareBoxesExcludeEachOtherAndDriveTheFileControls) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.userClick("FWUpdateCheckBox");
    EXPECT_TRUE(f["LoadFWButton"].enabled);
    EXPECT_TRUE(f["FwFileNameEdit"].enabled);
    f.panel.userClick("FWCheckBox");
    EXPECT_FALSE(f["FWUpdateCheckBox"].checked);
    EXPECT_TRUE(f["LoadFWButton"].enabled);
    f["ExecuteBtn"].enabled = false;
    f.panel.userClick("FWCheckBox");
    EXPECT_FALSE(f["LoadFWButton"].enabled);
    EXPECT_FALSE(f["FwFileNameEdit"].enabled);
    EXPECT_TRUE(f["ExecuteBtn"].enabled);  // MPDevCount 0

    f.s.MPAutorun = 1;
    f.panel.userClick("FWCheckBox");
    f.panel.userClick("FWCheckBox");
    EXPECT_FALSE(f["ExecuteBtn"].enabled);

    f.s.MPAutorun = 0;
    f.s.MPDevCount = 3;
    f.panel.inputs().deviceCount = 2;
    f.panel.userClick("FWCheckBox");
    f.panel.userClick("FWCheckBox");
    EXPECT_FALSE(f["ExecuteBtn"].enabled);  // 3 expected, 2 found: unchanged
}

TEST(Interlocks, FirmwareFitCheckWithDevicesAttached) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nFwFileName=fw.bin\n"));
    f.panel.inputs().deviceCount = 2;
    f.panel.inputs().firstChipIdentity = 0x1603;
    f.panel.userClick("FWUpdateCheckBox");
    ASSERT_EQ(f.fit.calls.size(), 1u);
    EXPECT_EQ(f.fit.calls[0].file, "fw.bin");
    EXPECT_EQ(f.fit.calls[0].chip, 0x1603);
    EXPECT_EQ(f.actions.rescans, 1);
    EXPECT_TRUE(f.op.messages().empty());

    f.fit.fits = false;
    f.panel.userClick("FWCheckBox");  // unchecks Firmware Update; checked once more
    EXPECT_EQ(f.fit.calls.size(), 2u);
    EXPECT_FALSE(f["ExecuteBtn"].enabled);
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "Firmware File not support all chips!");
    EXPECT_EQ(f.op.messages()[0].title, "VQ5742x Mass Production Tool");
    EXPECT_EQ(f.op.messages()[0].icon, MessageIcon::None);
    EXPECT_FALSE(f.panel.inputs().firmwareFits);
}

TEST(FirmwareFileChoice, NamesTheFileAndChecksItAgainstTheDevices) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.LoadFWButtonClick(std::nullopt);
    EXPECT_EQ(f["FwFileNameEdit"].text, "");
    f.panel.LoadFWButtonClick("/fw/VQ576.bin");
    EXPECT_EQ(f["FwFileNameEdit"].text, "/fw/VQ576.bin");
    EXPECT_EQ(f.s.FwFileName, "/fw/VQ576.bin");
    EXPECT_TRUE(f.fit.calls.empty());  // no device attached
    f.panel.inputs().deviceCount = 1;
    f.fit.fits = false;
    f.panel.LoadFWButtonClick("/fw/other.bin");
    EXPECT_EQ(f.fit.calls.size(), 1u);
    EXPECT_FALSE(f["ExecuteBtn"].enabled);
    EXPECT_EQ(f.texts(), std::vector<std::string>{"Firmware File not support all chips!"});
}

TEST(ValueHandlers, CapacityClusterSizeAndFlashType) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nFmtSecPerClus=512\n"));
    f.panel.userSelect("CapChkCmbx", 1);
    EXPECT_EQ(f.s.Capacity, 1);
    EXPECT_TRUE(f["CapacityUserDefEdit"].enabled);
    f.panel.userSelect("CapChkCmbx", 8);
    EXPECT_EQ(f.s.Capacity, 500);
    EXPECT_FALSE(f["CapacityUserDefEdit"].enabled);
    f.panel.userSelect("FmtSecPerClusCbox", 3);
    EXPECT_EQ(f.s.FmtSecPerClus, 32768);
    f["FmtTypeComboBox"].itemIndex = 1;
    f.panel.userSelect("FmtSecPerClusCbox", 2);
    EXPECT_EQ(f.s.FmtSecPerClus, 0);
    f.panel.userSelect("V426FlashComboBox", 1);
    EXPECT_EQ(f.s.FlashType, 1);
}

// A barcode station ready to run: EEPROM update on, one device, the run may start.
void BarcodeReady(PanelFixture& f, int barcodeLength = 16) {
    f.load(WithTestFile(f,
                        "EnBarcodeMode=1\n[VQEXECUTE]\nEnEEPROMUpdate=1\n[VQEEPROM]\n"
                        "BarcodeLength=" +
                            std::to_string(barcodeLength) + "\n"));
    f.op.clear();
    f.panel.inputs().deviceCount = 1;
    f.panel.inputs().runMayStart = true;
    f.panel.userEdit("String3Edit", "");
}

TEST(SerialKeyRule, EnterStartsTheRunOnlyWithTheBarcodeLength) {
    PanelFixture f;
    BarcodeReady(f);
    Type(f, "String3Edit", "0123456789ABCDE");
    EXPECT_EQ(f["String3Edit"].text, "0123456789ABCDE");
    EXPECT_FALSE(f.panel.userKey("String3Edit", '\r'));
    EXPECT_EQ(f.actions.runs, 0);
    EXPECT_EQ(f["String3Edit"].text, "");
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "BarCode Length Don't match INI setting");
    EXPECT_EQ(f.op.messages()[0].title, "Warning");
    EXPECT_EQ(f.op.messages()[0].icon, MessageIcon::Warning);

    Type(f, "String3Edit", "0123456789ABCDEF");
    EXPECT_FALSE(f.panel.userKey("String3Edit", '\r'));
    EXPECT_EQ(f.actions.runs, 1);
    EXPECT_EQ(f.op.messages().size(), 1u);
    // The edit's maximum is the barcode length.
    Type(f, "String3Edit", "0");
    EXPECT_EQ(f["String3Edit"].text, "0123456789ABCDEF");
}

TEST(SerialKeyRule, RefusesWithoutDeviceWithABadFirmwareOrDifferentChips) {
    PanelFixture f;
    BarcodeReady(f);
    f.panel.inputs().deviceCount = 0;
    EXPECT_FALSE(f.panel.userKey("String3Edit", '1'));
    EXPECT_TRUE(f.op.messages().empty());
    EXPECT_FALSE(f.panel.userKey("String3Edit", '\r'));
    EXPECT_EQ(f.texts(),
              std::vector<std::string>{"Device is not Ready ! or Device is not connected !"});

    f.op.clear();
    f.panel.inputs().deviceCount = 1;
    f.panel.inputs().firmwareFits = false;
    Type(f, "String3Edit", "12");  // the firmware boxes are off: no firmware condition
    EXPECT_EQ(f["String3Edit"].text, "12");
    f.panel.userEdit("String3Edit", "");
    f.panel.userClick("FWCheckBox");
    f.op.clear();
    Type(f, "String3Edit", "12\r");
    EXPECT_EQ(f["String3Edit"].text, "");
    EXPECT_EQ(f.texts(), std::vector<std::string>{"Firmware File not support all chips!"});
    EXPECT_EQ(f.op.messages()[0].title, "Warning");

    f.op.clear();
    f.panel.inputs().firmwareFits = true;
    f.panel.inputs().chipsDiffer = true;
    Type(f, "String3Edit", "1\r");
    EXPECT_EQ(f.texts(), std::vector<std::string>{"Chips are Different model !"});
    EXPECT_EQ(f.actions.runs, 0);
}

TEST(SerialKeyRule, DiscardsKeysDuringARunOrWithoutEepromUpdate) {
    PanelFixture f;
    BarcodeReady(f);
    f.panel.inputs().runInProgress = true;
    EXPECT_FALSE(f.panel.userKey("String3Edit", '1'));
    f.panel.inputs().runInProgress = false;
    f.s.EnEEPROMUpdate = 0;  // as last loaded or collected, not the live box
    EXPECT_FALSE(f.panel.userKey("String3Edit", '1'));
    EXPECT_TRUE(f.op.messages().empty());
}

TEST(SerialKeyRule, OutsideBarcodeModeTheHexFilterApplies) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnEEPROMUpdate=1\n"));
    f.panel.userEdit("String3Edit", "");
    Type(f, "String3Edit", "ab-1\r");
    EXPECT_EQ(f["String3Edit"].text, "AB1");
    EXPECT_EQ(f.actions.runs, 0);
}

TEST(ZeroShortcut, TriggersSafeRemoveOnlyWhenAllowed) {
    PanelFixture f;
    f.load(WithTestFile(f, "EnKey0SafeRemove=1\n"));
    f.panel.FormKeyPress('1');
    EXPECT_EQ(f.actions.removals, 0);
    f.panel.FormKeyPress('0');
    EXPECT_EQ(f.actions.removals, 1);
    f["RDCheck"].checked = true;
    f.panel.FormKeyPress('0');
    EXPECT_EQ(f.actions.removals, 1);
    f["RDCheck"].checked = false;
    f.panel.inputs().runInProgress = true;
    f.panel.FormKeyPress('0');
    EXPECT_EQ(f.actions.removals, 1);
    f.panel.inputs().runInProgress = false;
    f["SafeRmBtn"].enabled = false;
    f.panel.FormKeyPress('0');
    EXPECT_EQ(f.actions.removals, 1);
    f["SafeRmBtn"].enabled = true;
    f.s.EnLoopDebug = 1;
    f.panel.FormKeyPress('0');
    EXPECT_EQ(f.actions.removals, 1);
    f.s.EnLoopDebug = 0;
    f.panel.userKey("CapacityUserDefEdit", '0');  // the form sees keys first
    EXPECT_EQ(f.actions.removals, 2);

    PanelFixture g;
    g.load(WithTestFile(g));
    g.panel.FormKeyPress('0');
    EXPECT_EQ(g.actions.removals, 0);
}

TEST(FocusRule, StartThenRefreshThenTheBarcodeSerial) {
    PanelFixture f;
    f.load(WithTestFile(f));
    f.panel.FormPaint();
    EXPECT_EQ(f.p.focus, "ExecuteBtn");
    f["ExecuteBtn"].enabled = false;
    f.panel.FormPaint();
    EXPECT_EQ(f.p.focus, "RefreshBtn");
    f.p.focus = "";
    f.panel.inputs().resultWindowVisible = true;
    f.panel.FormPaint();
    EXPECT_EQ(f.p.focus, "");

    PanelFixture g;
    BarcodeReady(g);
    g.panel.userEdit("String3Edit", "12");
    g.panel.FormPaint();
    EXPECT_EQ(g.p.focus, "String3Edit");
    EXPECT_EQ(g["String3Edit"].text, "");
    g.panel.userEdit("String3Edit", "12");
    g.panel.inputs().runMayStart = false;
    g.panel.FormPaint();
    EXPECT_EQ(g["String3Edit"].text, "12");
}

TEST(AfterScan, DriveStringBridgesOfKind22) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nCapacity=500\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{22, 0, 4}, {22, 0, 4}}, false, true));
    EXPECT_TRUE(f["StrA2DiskStrChk"].checked);
    EXPECT_FALSE(f["StrA2DiskStrChk"].enabled);
    EXPECT_EQ(f["StrALabel"].caption, "   HDD.String");
    EXPECT_TRUE(f["StringCEdit"].visible);
    EXPECT_EQ(f["StringBEdit"].top, f["StringCEdit"].top + 24);
    EXPECT_TRUE(f["ManuProdSosctlchk"].visible);
    EXPECT_TRUE(f["InquirySosctlchk"].visible);
    EXPECT_FALSE(f["StringBEdit"].enabled);  // source control unchecked
    EXPECT_FALSE(f["VendorStrEdit"].enabled);
    EXPECT_FALSE(f["FormatCheckBox"].enabled);
    EXPECT_FALSE(f["SwImgPathEdit"].enabled);
    EXPECT_FALSE(f["CapChkCmbx"].enabled);
    EXPECT_FALSE(f["CapacityUserDefEdit"].enabled);
    EXPECT_TRUE(f["USB3Panel"].visible);
    EXPECT_EQ(f["USB3Panel"].caption, "USB 3.1 Gen 2");
    EXPECT_EQ(f["USB3Panel"].fontColor, "clBlue");
    EXPECT_TRUE(f["enU3CheckBox"].visible);
    // The older-bridges fact changed: the items are rebuilt, "Type 3" chosen and locked.
    EXPECT_EQ(f["EEPROMType"].items, (std::vector<std::string>{"Type 1", "Type 2", "Type 3"}));
    EXPECT_EQ(SelectedItem(f["EEPROMType"]), "Type 3");
    EXPECT_FALSE(f["EEPROMType"].enabled);
    EXPECT_EQ(f.panel.inputs().deviceCount, 2);
    EXPECT_TRUE(f.panel.inputs().runMayStart);

    // A later scan with older bridges gives the fields back.
    f.panel.userClick("ManuProdSosctlchk");
    EXPECT_TRUE(f["StringBEdit"].enabled);
    f.panel.AdjustAfterScan(ClassifyScan({{3, 0, 2}}, false));
    EXPECT_TRUE(f["StrA2DiskStrChk"].enabled);
    EXPECT_EQ(f["StrALabel"].caption, "Manuf.String");
    EXPECT_FALSE(f["StringCEdit"].visible);
    EXPECT_EQ(f["StringBEdit"].top, f["StringCEdit"].top + 13);
    EXPECT_FALSE(f["ManuProdSosctlchk"].visible);
    EXPECT_TRUE(f["StringBEdit"].enabled);
    EXPECT_TRUE(f["VendorStrEdit"].enabled);
    EXPECT_TRUE(f["FormatCheckBox"].enabled);
    EXPECT_FALSE(f["CapChkCmbx"].enabled);  // the capacity controls stay as they were
    EXPECT_FALSE(f["USB3Panel"].visible);
    EXPECT_TRUE(f["EEPROMType"].enabled);
}

TEST(AfterScan, Usb3SpeedTexts) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEEPROM]\nProductRevsion=0105\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{13, 0, 3}}, false));
    EXPECT_EQ(f["USB3Panel"].caption, "USB 3.1 Gen 1");
    EXPECT_EQ(f["USB3Panel"].fontColor, "clBlue");
    EXPECT_TRUE(f["RevisionEdit"].visible);
    f.panel.AdjustAfterScan(ClassifyScan({{13, 0, 2}}, false));
    EXPECT_EQ(f["USB3Panel"].caption, "USB 2.0");
    EXPECT_EQ(f["USB3Panel"].fontColor, "clRed");
}

TEST(AfterScan, ParallelFlashMixedWithOtherBridges) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnEEPROMUpdate=1\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{30, 0, 2}, {3, 0, 2}}, false));
    ASSERT_GE(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text,
              "Not Support interleave VQ426 & Non-VQ426 EEPROM Batch Operation!");
    EXPECT_EQ(f.op.messages()[0].title, "Message");
    EXPECT_FALSE(f["EEPROMCheckBox"].checked);
    EXPECT_FALSE(f["EEPROMCheckBox"].enabled);
    EXPECT_FALSE(f["GroupBox2"].visible);
    EXPECT_FALSE(f["Panel5"].visible);
}

TEST(AfterScan, ParallelFlashOnlyGivesItsFamilyAndItems) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnEEPROMUpdate=1\n[VQEEPROM]\nFlashType=1\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{30, 0, 2}}, false));
    EXPECT_EQ(f.panel.family(), EepromFamily::ParallelFlash);
    EXPECT_EQ(f["EEPROMType"].items, (std::vector<std::string>{"Normal", "Type 3"}));
    // Kind 30 allows no type choice: the combo is locked on "Type 3".
    EXPECT_FALSE(f["EEPROMType"].enabled);
    EXPECT_EQ(SelectedItem(f["EEPROMType"]), "Type 3");
    EXPECT_TRUE(f["GroupBox4"].visible);
    EXPECT_TRUE(f["TimerEdit"].visible);  // a parallel-flash bridge is attached
    EXPECT_EQ(f.s.Layout, LayoutOf(LayoutRow::ParallelType3));
    EXPECT_EQ(f.s.TableType, 2);
    f.panel.userSelect("EEPROMType", 0);  // locked: nothing happens
    EXPECT_EQ(f.s.TableType, 2);
    f["EEPROMType"].enabled = true;
    f.panel.userSelect("EEPROMType", 0);
    EXPECT_EQ(f.s.Layout, LayoutOf(LayoutRow::ParallelNormal));
    EXPECT_EQ(f.s.TableType, 1);
}

TEST(AfterScan, TwoChipModelsSwitchFirmwareUpdateOff) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnFWUpdate=1\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{3, 0, 2}, {4, 0, 2}}, false));
    EXPECT_FALSE(f["FWUpdateCheckBox"].checked);
    EXPECT_FALSE(f["ExecuteBtn"].enabled);
    EXPECT_TRUE(f.panel.inputs().chipsDiffer);
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "Multiple devices must be of the same Chip model!");
    EXPECT_EQ(f.op.messages()[0].title, "Error");
}

TEST(AfterScan, FirmwareGroupNotUsable) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnFWUpdate=1\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{8, 9, 2}}, false));
    EXPECT_FALSE(f["GroupBox3"].visible);
    EXPECT_FALSE(f["FWUpdateCheckBox"].checked);
    EXPECT_TRUE(f["TimerEdit"].visible);  // kind 8 from revision 8 on
    f.panel.AdjustAfterScan(ClassifyScan({{9, 0, 2}}, false));
    EXPECT_TRUE(f["GroupBox3"].visible);
    EXPECT_FALSE(f["TimerEdit"].visible);
}

TEST(AfterScan, FirmwareFileIsCheckedAgainstTheFirstDevice) {
    PanelFixture f;
    f.load(WithTestFile(f, "EnBarcodeMode=1\n[VQEXECUTE]\nEnFWUpdate=1\nFwFileName=fw.bin\n"));
    f.panel.userEdit("String3Edit", "99");
    f.panel.AdjustAfterScan(ClassifyScan({{16, 2, 2}}, false));
    ASSERT_EQ(f.fit.calls.size(), 1u);
    EXPECT_EQ(f.fit.calls[0].chip, 0x0210);  // kind 16 in the low byte, revision 2 above
    EXPECT_EQ(f["String3Edit"].text, "");
    EXPECT_EQ(f.p.focus, "String3Edit");
    EXPECT_EQ(f.actions.rescans, 0);
    f.fit.fits = false;
    f["ExecuteBtn"].enabled = true;
    f.panel.AdjustAfterScan(ClassifyScan({{16, 2, 2}}, false));
    EXPECT_FALSE(f["ExecuteBtn"].enabled);
    EXPECT_EQ(f.texts(), std::vector<std::string>{"Firmware File not support all chips!"});
}

TEST(AfterScan, OpticalSizeAndStandbyTimer) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEEPROM]\nODDSize=650\nStandbyTimer=15\n"));
    f.panel.AdjustAfterScan(ClassifyScan({{18, 0, 2}}, false));
    EXPECT_TRUE(f["OddSizeEdit"].visible);
    EXPECT_EQ(f["OddSizeEdit"].text, "650");
    EXPECT_TRUE(f["TimerEdit"].visible);
    EXPECT_EQ(f["TimerEdit"].text, "15");
    f.panel.AdjustAfterScan(ClassifyScan({{16, 0, 2}}, false));
    EXPECT_FALSE(f["OddSizeEdit"].visible);
}

}  // namespace
}  // namespace vq
