// LoadSettings, SaveSettings, CollectPanelSettings and the exit rules.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "AppTestSupport.h"
#include "app/IniFile.h"

namespace vq {
namespace {

using test::PanelFixture;
using test::ReadFile;
using test::WithTestFile;
using test::WriteFile;
namespace fs = std::filesystem;

TEST(LoadSettings, AFileWithoutKeysGivesTheDefaultsAndFails) {
    PanelFixture f;
    EXPECT_FALSE(f.load("; nothing here\r\n"));
    EXPECT_EQ(f.panel.lastLoadOutcome(), LoadOutcome::Loaded);
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "Please set write file name in the INI file");
    EXPECT_EQ(f.op.messages()[0].title, "Error");
    EXPECT_EQ(f.op.messages()[0].icon, MessageIcon::Error);

    EXPECT_EQ(f["ExecuteBtn"].caption, "START");
    EXPECT_EQ(SelectedItem(f["CapChkCmbx"]), "Don't Care");
    EXPECT_EQ(f["FreeSpaceEdit"].text, "Don't Care");
    EXPECT_FALSE(f["FmtSecPerClusCbox"].visible);
    EXPECT_EQ(SelectedItem(f["EEPROMType"]), "Type 3");
    EXPECT_FALSE(f["EEPROMType"].enabled);
    EXPECT_EQ(f["VendorIDEdit"].text, "7E8A");
    EXPECT_EQ(f["ProductIDEdit"].text, "2429");
    EXPECT_EQ(f["StringAEdit"].text, "Velmora");
    EXPECT_EQ(f["StringBEdit"].text, "USB");
    EXPECT_EQ(f["String3Edit"].text, "012345");
    EXPECT_EQ(f.s.RWDataSize, 2);
    EXPECT_EQ(f.s.WRLoop, 7);
    EXPECT_EQ(f.s.SCSITimeout, 10);
    EXPECT_EQ(f.s.BarcodeLength, 16);
    EXPECT_EQ(f.s.EEPROMRetry, 1);
    EXPECT_FLOAT_EQ(f.s.PerfShift, 1.0f);
    EXPECT_EQ(f.s.MPResetWait, 30);
    EXPECT_EQ(f.s.WaitTime, 200);
    EXPECT_EQ(f.s.EnVQS671StandbyTime, 1);
    EXPECT_EQ(f.s.TableType, 3);
    EXPECT_EQ(f.s.DiskLabel, "USB Disk");
    EXPECT_EQ(f.s.StringMaxSn, "0");
    EXPECT_EQ(f.s.vfStringA, "Velmora");
    EXPECT_EQ(f.s.ProductRevsion, "0000");
    EXPECT_EQ(f.s.Layout, LayoutOf(LayoutRow::StandardType3));
    // The working image is the Type 3 template with the default VID/PID and strings.
    EXPECT_EQ(f.s.Config[0], 0x8A);
    EXPECT_EQ(f.s.Config[1], 0x7E);
    EXPECT_EQ(f.s.Config[12], 2 * 7 + 2);
    EXPECT_EQ(f.s.Config[14], 'V');
    EXPECT_EQ(f.s.Config[124], kUsbOptionCompact);
    EXPECT_TRUE(f.s.WriteFileName.empty());
    EXPECT_TRUE(fs::is_directory(f.home.path() / "log"));
}

TEST(LoadSettings, NormalisesOnLoad) {
    PanelFixture f;
    EXPECT_TRUE(
        f.load(WithTestFile(f, "RWDataSize=0\nMPAutorun=-5\nMPDevCount=-1\nWaitTime=50\n")));
    EXPECT_TRUE(f.op.messages().empty());
    EXPECT_EQ(f.s.RWDataSize, 2);
    EXPECT_EQ(f.s.MPAutorun, 0);
    EXPECT_EQ(f.s.MPDevCount, 0);
    EXPECT_EQ(f.s.WaitTime, 200);
    EXPECT_EQ(f["ExecuteBtn"].caption, "START");
}

TEST(LoadSettings, AutoModeAndBarcodeMode) {
    PanelFixture f;
    f.load(WithTestFile(f, "MPAutorun=1\n"));
    EXPECT_EQ(f["ExecuteBtn"].caption, "AUTO");
    EXPECT_TRUE(f["Str3AutoInc"].enabled);

    PanelFixture g;
    g.load(WithTestFile(g, "MPAutorun=1\nEnBarcodeMode=1\n[VQEEPROM]\nBarcodeLength=12\n"));
    EXPECT_EQ(g.s.MPAutorun, 0);
    EXPECT_EQ(g["ExecuteBtn"].caption, "BarCode");
    EXPECT_FALSE(g["Str3AutoInc"].enabled);
    EXPECT_EQ(g["String3Edit"].maxLength, 12);
}

TEST(LoadSettings, ClusterSizeCases) {
    {
        PanelFixture f;
        f.load(WithTestFile(f, "[VQEXECUTE]\nFmtSecPerClus=4096\nDiskFormat=1\n"));
        EXPECT_EQ(f.s.FmtSecPerClus, 0);
        EXPECT_EQ(f.s.ClusterSizeSet, 1);
        EXPECT_TRUE(f["FmtSecPerClusCbox"].visible);
        EXPECT_EQ(SelectedItem(f["FmtSecPerClusCbox"]), "Default");
        EXPECT_EQ(SelectedItem(f["FmtTypeComboBox"]), "FAT32");
    }
    {
        PanelFixture f;
        f.load(WithTestFile(f, "[VQEXECUTE]\nFmtSecPerClus=4096\n"));
        EXPECT_EQ(f.s.FmtSecPerClus, 4096);
        EXPECT_EQ(SelectedItem(f["FmtSecPerClusCbox"]), "4096");
    }
    {
        PanelFixture f;
        f.load(WithTestFile(f, "[VQEXECUTE]\nFmtSecPerClus=1000\n"));
        EXPECT_EQ(f.s.FmtSecPerClus, 0);
        EXPECT_TRUE(f["FmtSecPerClusCbox"].visible);
    }
    {
        PanelFixture f;
        f.load(WithTestFile(f, "[VQEXECUTE]\nFmtSecPerClus=-1\n"));
        EXPECT_FALSE(f["FmtSecPerClusCbox"].visible);
        EXPECT_EQ(f.s.ClusterSizeSet, 0);
        f.panel.CollectPanelSettings();
        ASSERT_TRUE(f.panel.SaveSettings(f.home.path() / "out.ini"));
        IniFile out;
        out.load(f.home.path() / "out.ini");
        EXPECT_EQ(out.get("VQEXECUTE", "FmtSecPerClus"), "-1");
    }
}

TEST(LoadSettings, CapacityOutsideTheChoicesLeavesTheBoxWithoutSelection) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nCapacity=100\n"));
    EXPECT_EQ(f["CapChkCmbx"].itemIndex, -1);
    EXPECT_FALSE(f["CapacityUserDefEdit"].enabled);
    f.panel.CollectPanelSettings();
    EXPECT_EQ(f.s.Capacity, 100);  // no selection: the loaded value stays

    PanelFixture g;
    g.load(WithTestFile(g, "[VQEXECUTE]\nCapacity=1\nCapacityCustomize=480\n"));
    EXPECT_EQ(SelectedItem(g["CapChkCmbx"]), "User Def.");
    EXPECT_TRUE(g["CapacityUserDefEdit"].enabled);
    EXPECT_EQ(g["CapacityUserDefEdit"].text, "480");
}

TEST(LoadSettings, FreeSpaceIsShownWhenTheCheckIsOn) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nEnFreeSpaceCheck=1\nFreeSpace=500107862016\n"));
    EXPECT_EQ(f["FreeSpaceEdit"].text, "500107862016");
    EXPECT_EQ(f.panel.freeSpaceCheckCopy(), 1);
    PanelFixture g;
    g.load(WithTestFile(g, "[VQEXECUTE]\nEnFreeSpaceCheck=0\nFreeSpace=500107862016\n"));
    EXPECT_EQ(g["FreeSpaceEdit"].text, "Don't Care");
}

TEST(LoadSettings, MPVersionIsKeptAcrossLoads) {
    PanelFixture f;
    f.load(WithTestFile(f, "MPVersion=1\n"), "a.ini");
    EXPECT_EQ(f.s.MPVersion, 1);
    EXPECT_TRUE(f["RDCheck"].visible);
    f.load(WithTestFile(f, "MPVersion=0\n"), "b.ini");
    EXPECT_EQ(f.s.MPVersion, 1);
    EXPECT_TRUE(f["RDCheck"].visible);
}

TEST(LoadSettings, ProductModelIsKeptAsLoadedAndOnlyAnotherThanVQIsShown) {
    PanelFixture f;
    f.load(WithTestFile(f, "ProductModel=DataDrive X1\n"), "a.ini");
    EXPECT_EQ(f.s.ProductModel, "DataDrive X1");
    EXPECT_TRUE(f["ProdModalPanel"].visible);
    EXPECT_EQ(f["ProdModalPanel"].caption, "DataDrive X1");
    f.load(WithTestFile(f, "ProductModel=VQ\n"), "b.ini");
    EXPECT_FALSE(f["ProdModalPanel"].visible);
    EXPECT_EQ(f.s.ProductModel, "VQ");
    // What was loaded is what a save writes, so the next start shows no empty panel.
    f.panel.CollectPanelSettings();
    ASSERT_TRUE(f.panel.SaveSettings(f.home.path() / "b.ini"));
    EXPECT_NE(ReadFile(f.home.path() / "b.ini").find("\r\nProductModel=VQ\r\n"), std::string::npos);
    PanelFixture g;
    g.load(WithTestFile(g, "; no ProductModel\n"));
    EXPECT_EQ(g.s.ProductModel, "VQ");
}

TEST(LoadSettings, AWriteFileNameThatDoesNotFitItsFieldIsRefusedAndKept) {
    // The field holds 159 characters of the resolved path.
    struct Row {
        const char* what;
        bool relative;
        std::size_t over;  // resolved length beyond 159
    };
    for (const Row& r : {Row{"relative, fits exactly", true, 0}, Row{"relative, too long", true, 1},
                         Row{"with a folder part, too long", false, 1}}) {
        SCOPED_TRACE(r.what);
        PanelFixture g;
        const fs::path home = g.home.path();
        const std::size_t room = 159 - (home / "x").string().size() + 1;
        const std::string part(room + r.over, 'n');
        const std::string full = (home / part).string();
        const std::string name = r.relative ? part : full;
        ASSERT_EQ(full.size(), 159 + r.over);
        test::WriteFile(home / "file.ini", "[setting]\r\nWriteFileName=" + name + "\r\n");
        const bool result = g.panel.LoadSettings(home / "file.ini");
        if (r.over == 0) {
            EXPECT_EQ(g.s.WriteFileName.str(), full);
            continue;
        }
        EXPECT_FALSE(result);
        EXPECT_EQ(g.s.WriteFileName.str(), "");
        ASSERT_EQ(g.op.messages().size(), 1u);
        EXPECT_EQ(g.op.messages()[0].text,
                  "The test file name " + full +
                      " is too long (at most 159 characters). Please set a shorter write file "
                      "name in the INI file");
        EXPECT_EQ(g.op.messages()[0].title, "Error");
        // A save gives the name back as written, and it is refused again.
        g.panel.CollectPanelSettings();
        ASSERT_TRUE(g.panel.SaveSettings(home / "file.ini"));
        EXPECT_NE(ReadFile(home / "file.ini").find("WriteFileName=" + name + "\r\n"),
                  std::string::npos);
        g.op.clear();
        EXPECT_FALSE(g.panel.LoadSettings(home / "file.ini"));
        EXPECT_EQ(g.op.messages().size(), 1u);
    }
}

TEST(LoadSettings, ByteFlagsAreOnForAnyValueOtherThanZero) {
    struct Row {
        const char* value;
        std::uint8_t flag;
    };
    for (const Row& r : {Row{"0", 0}, Row{"1", 1}, Row{"256", 1}, Row{"-1", 1}, Row{"512", 1}}) {
        SCOPED_TRACE(r.value);
        PanelFixture f;
        const std::string v = r.value;
        f.load(WithTestFile(f, "[VQEEPROM]\nMapToHDName=" + v + "\nStringAInc=" + v +
                                   "\nStringBInc=" + v + "\nString3Inc=" + v +
                                   "\nStrBFromHDSN=" + v + "\nEnSNfromHDDSN=" + v + "\n"));
        for (auto flag : {f.s.MapToHDName, f.s.StringAInc, f.s.StringBInc, f.s.String3Inc,
                          f.s.StrBFromHDSN, f.s.EnSNfromHDDSN})
            EXPECT_EQ(flag, r.flag);
        EXPECT_EQ(f["StrA2DiskStrChk"].checked, r.flag != 0);
        EXPECT_EQ(f["Str3AutoInc"].checked, r.flag != 0);
    }
}

TEST(LoadSettings, EmptyEepromValuesReachTheWorkingImage) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEEPROM]\nVenderID=\"\"\nProductID=\nStringA=\nStringB=\n"));
    const ConfigLayout& L = f.s.Layout;
    const auto at = [&](int pos) { return f.s.Config[static_cast<std::size_t>(pos)]; };
    EXPECT_EQ(f["VendorIDEdit"].text, "");
    EXPECT_EQ(at(L.vidPos), 0x00);
    EXPECT_EQ(at(L.vidPos + 1), 0x00);
    EXPECT_EQ(at(L.vidPos + 2), 0x00);
    EXPECT_EQ(at(L.vidPos + 3), 0x00);
    // An empty string is an empty string descriptor.
    EXPECT_EQ(at(L.stringA.position), 0x04);
    EXPECT_EQ(at(L.stringA.position + 1), 0x03);
    EXPECT_EQ(at(L.stringB.position), 0x04);
    EXPECT_EQ(at(L.stringB.position + 1), 0x03);
}

TEST(LoadSettings, WriteFileNameResolution) {
    PanelFixture f;
    EXPECT_TRUE(f.load(WithTestFile(f)));
    EXPECT_EQ(f.s.WriteFileName.str(), (f.home.path() / "TestFile.bin").string());
    EXPECT_TRUE(f.op.messages().empty());

    PanelFixture g;
    const fs::path elsewhere = g.home.path() / "data" / "Pattern.bin";
    fs::create_directories(elsewhere.parent_path());
    test::WriteFile(elsewhere, "x");
    EXPECT_TRUE(g.load("[setting]\nWriteFileName=" + elsewhere.string() + "\n"));
    EXPECT_EQ(g.s.WriteFileName.str(), elsewhere.string());
    EXPECT_TRUE(g.op.messages().empty());

    PanelFixture h;
    EXPECT_TRUE(h.load("[setting]\nWriteFileName=C:\\Test\\Pattern.bin\n"));
    EXPECT_EQ(h.s.WriteFileName.str(), "C:\\Test\\Pattern.bin");
    ASSERT_EQ(h.op.messages().size(), 1u);
    EXPECT_EQ(h.op.messages()[0].text, "Unable to find the test file : C:\\Test\\Pattern.bin");
    EXPECT_EQ(h.op.messages()[0].title, "Error");

    PanelFixture k;
    EXPECT_TRUE(k.load("[setting]\nWriteFileName=Missing.bin\n"));
    ASSERT_EQ(k.op.messages().size(), 1u);
    EXPECT_EQ(k.op.messages()[0].text,
              "Unable to find the test file : " + (k.home.path() / "Missing.bin").string());
}

TEST(LoadSettings, FlashTypeMinusOneRoundTrip) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEEPROM]\nFlashType=-1\n"));
    EXPECT_EQ(f.s.FlashType, 255);
    EXPECT_EQ(f["V426FlashComboBox"].itemIndex, -1);
    f.panel.CollectPanelSettings();
    ASSERT_TRUE(f.panel.SaveSettings(f.home.path() / "out.ini"));
    IniFile out;
    out.load(f.home.path() / "out.ini");
    EXPECT_EQ(out.get("VQEEPROM", "FlashType"), "-1");
    PanelFixture g;
    g.panel.LoadSettings(f.home.path() / "out.ini");
    EXPECT_EQ(g.s.FlashType, 255);
}

TEST(LoadSettings, BadValuesReadAsDefaultsAndLongTextsAreCut) {
    PanelFixture f;
    const std::string longText(300, 'x');
    f.load(WithTestFile(f,
                        "WRLoop=seven\nSCSITimeout=99999999999\nPerfShift=fast\n"
                        "ProductModel=" +
                            longText +
                            "\n"
                            "[VQEXECUTE]\nFreeSpace=1e999\nDiskLabel=" +
                            longText +
                            "\n"
                            "FwFileName=" +
                            longText +
                            "\n"
                            "[VQEEPROM]\nVenderID=" +
                            longText + "\nStringA=" + longText + "\n"));
    EXPECT_EQ(f.s.WRLoop, 7);
    EXPECT_EQ(f.s.SCSITimeout, 10);
    EXPECT_FLOAT_EQ(f.s.PerfShift, 1.0f);
    EXPECT_EQ(f.s.FreeSpace, 1);
    EXPECT_EQ(f.s.ProductModel.size(), 31u);
    EXPECT_EQ(f.s.DiskLabel.size(), 79u);
    EXPECT_EQ(f.s.FwFileName.size(), 255u);
    EXPECT_EQ(f.s.VenderID.size(), 9u);
    EXPECT_EQ(f.s.StringA.size(), 69u);
    // The panel cuts further: VID to 4 characters, StringA to the layout maximum.
    EXPECT_EQ(f["VendorIDEdit"].text, "xxxx");
    EXPECT_EQ(f["StringAEdit"].text.size(), 30u);
}

TEST(LoadSettings, MissingFileIsReportedAndChangesNothing) {
    PanelFixture f;
    f.load(WithTestFile(f, "WRLoop=3\n"));
    const RunSettings before = f.s;
    const PanelModel panelBefore = f.p;
    f.op.clear();
    const fs::path missing = f.home.path() / "nope.ini";
    EXPECT_FALSE(f.panel.LoadSettings(missing));
    EXPECT_EQ(f.panel.lastLoadOutcome(), LoadOutcome::FileMissing);
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text,
              "Please make sure the file " + missing.string() + " exist!\n");
    EXPECT_EQ(f.op.messages()[0].title, "Error");
    EXPECT_EQ(f.op.messages()[0].icon, MessageIcon::Error);
    EXPECT_EQ(f.s, before);
    EXPECT_EQ(test::PanelDifferences(f.p, panelBefore), "");
}

TEST(LoadSettings, RefusedFilesGiveAClearMessageAndLeaveRunSettingsAsTheyWere) {
    PanelFixture f;
    f.load(WithTestFile(f, "WRLoop=3\n"));
    const RunSettings before = f.s;

    const fs::path folder = f.home.path() / "folder.ini";
    fs::create_directories(folder);
    const fs::path garbage =
        f.file("garbage.ini", std::string("\x7F\x45\x4C\x46\x02\x01\x01\0", 8));
    const fs::path huge = f.file("huge.ini", "[setting]\nWRLoop=1\n");
    fs::resize_file(huge, 100u * 1024 * 1024);

    struct Case {
        fs::path path;
        std::string text;
    } cases[] = {
        {folder, "Cannot read the settings file " + folder.string() + "."},
        {garbage, "The file " + garbage.string() + " is not a settings file."},
        {huge, "The settings file " + huge.string() + " is too large to be a settings file."},
    };
    for (const auto& c : cases) {
        f.op.clear();
        EXPECT_FALSE(f.panel.LoadSettings(c.path));
        EXPECT_EQ(f.panel.lastLoadOutcome(), LoadOutcome::FileRefused);
        ASSERT_EQ(f.op.messages().size(), 1u);
        EXPECT_EQ(f.op.messages()[0].text, c.text);
        EXPECT_EQ(f.op.messages()[0].title, "Error");
        EXPECT_EQ(f.s, before);
    }
}

TEST(LoadSettings, ACounterFileThatCannotBeReadIsReportedAndNeverWrittenOver) {
    PanelFixture f;
    fs::create_directories(f.home.path() / "log");
    const fs::path counters = f.home.path() / "log" / "VQ5742x.log";
    const std::string damaged = std::string("[TestRecord]\r\nTotalTestCount=120\r\n\0\x01", 36);
    WriteFile(counters, damaged);
    f.load(WithTestFile(f));
    EXPECT_EQ(f.s.TotalTestCount, 0);
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text,
              "Cannot read the counter file " + counters.string() +
                  ". The yield counts start from zero and the file is left as it is.");
    f.op.clear();
    f.s.TotalTestCount = 5;
    EXPECT_FALSE(f.panel.WriteCounters());
    f.panel.SaveOnExit();
    EXPECT_EQ(ReadFile(counters), damaged);
    EXPECT_EQ(f.op.messages().back().text,
              "The counter file " + counters.string() +
                  " was not read, so the yield counts are not written over it.");

    // Once the file reads again, the counters are written as before.
    WriteFile(counters, "[TestRecord]\r\nTotalTestCount=7\r\nNumberOfPass=6\r\n");
    f.load(WithTestFile(f));
    f.s.TotalTestCount = 8;
    EXPECT_TRUE(f.panel.WriteCounters());
    EXPECT_NE(ReadFile(counters).find("TotalTestCount=8\r\n"), std::string::npos);
}

TEST(LoadSettings, CountersComeFromTheCounterFile) {
    PanelFixture f;
    fs::create_directories(f.home.path() / "log");
    WriteFile(f.home.path() / "log" / "VQ5742x.log",
              "[TestRecord]\r\nTotalTestCount=120\r\nNumberOfPass=118\r\n");
    f.load(WithTestFile(f));
    EXPECT_EQ(f.s.TotalTestCount, 120);
    EXPECT_EQ(f.s.NumberOfPass, 118);
    EXPECT_EQ(f.actions.yieldRedraws, 1);
}

TEST(LoadSettings, ALogFolderThatCannotBeCreatedStopsTheLoad) {
    PanelFixture f;
    WriteFile(f.home.path() / "log", "a file where the folder should be");
    EXPECT_THROW(f.load(WithTestFile(f)), LogDirectoryError);
    try {
        f.load(WithTestFile(f));
    } catch (const LogDirectoryError& e) {
        EXPECT_STREQ(e.what(), "Cannot create log directory.");
    }
}

TEST(LoadSettings, CheckBoxesRunTheirClickRules) {
    PanelFixture f;
    f.load(WithTestFile(f,
                        "[VQEXECUTE]\nEnFormat=1\nEnPartition=0\nEnEEPROMUpdate=1\n"
                        "EnVenderCheck=1\nEnFWUpdate=1\nEnFWCheck=1\nEnUSB30Check=1\n"
                        "EnUSB31Gen2Check=1\n"));
    EXPECT_TRUE(f["PartitionCheckBox"].checked);  // Format turns Partition on
    EXPECT_TRUE(f["GPTCheckBox"].enabled);
    EXPECT_TRUE(f["VolumeLabeledEdit"].enabled);
    EXPECT_FALSE(f["EEPROMCheckBox"].checked);  // EEPROM Verify unchecks EEPROM Update
    EXPECT_TRUE(f["EEPROMVerifyBox"].checked);
    EXPECT_TRUE(f["EEVerifyGroup"].visible);
    EXPECT_FALSE(f["GroupBox2"].visible);
    EXPECT_FALSE(f["FWUpdateCheckBox"].checked);  // Firmware Check unchecks Firmware Update
    EXPECT_TRUE(f["FWCheckBox"].checked);
    EXPECT_TRUE(f["LoadFWButton"].enabled);
    EXPECT_FALSE(f["enU3CheckBox"].checked);  // the box set last stays
    EXPECT_TRUE(f["enU31Gen2CheckBox"].checked);
}

TEST(LoadSettings, Fat32LabelIsCutWithItsMessage) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEXECUTE]\nDiskFormat=1\nDiskLabel=A LONG VOLUME NAME\n"));
    EXPECT_EQ(f["VolumeLabeledEdit"].text, "A LONG VOLU");
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "FAT32 only support Volume label 11 characters!");
    EXPECT_EQ(f.op.messages()[0].title, "Message");
}

TEST(LoadSettings, MapToHddStringSplitsStringAIntoItsParts) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEEPROM]\nMapToHDName=1\nStringA=ABCDEFGHIJKLMNOPQRSTUVWX\n"));
    EXPECT_TRUE(f["StrA2DiskStrChk"].checked);
    EXPECT_EQ(f["VendorStrEdit"].text, "ABCDEFGH");
    EXPECT_EQ(f["ProdStrEdit"].text, "IJKLMNOPQRSTUVWX");
    EXPECT_TRUE(f["VendorStrEdit"].visible);
    EXPECT_FALSE(f["StringAEdit"].visible);
    EXPECT_EQ(f.s.Config[6], kIndexFromDrive);
    EXPECT_EQ(f.s.Config[10], kFlagMapToDriveName | kFlagDriveInquiry);
}

TEST(SaveSettings, ANewFileHoldsTheSavedKeysInOrderAndLacksTheUnsavedOnes) {
    PanelFixture f;
    f.load(WithTestFile(f, "SCSITimeout=30\nMPKestrinCustomer=1\n"));
    f.panel.CollectPanelSettings();
    const fs::path out = f.home.path() / "new.ini";
    ASSERT_TRUE(f.panel.SaveSettings(out));
    const std::string text = ReadFile(out);
    EXPECT_EQ(text.rfind("[setting]\r\nUSBWritePerformance=0\r\nUSBReadPerformance=0\r\n"
                         "ShowRWPerf=0\r\nWriteFileName=" +
                             (f.home.path() / "TestFile.bin").string() + "\r\n",
                         0),
              0u);
    // Every section and key of the file, in order.
    const std::vector<std::pair<const char*, std::vector<const char*>>> order = {
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
    std::string expected;
    std::size_t keys = 0;
    for (const auto& [section, names] : order) {
        expected += std::string(expected.empty() ? "" : "\n") + "[" + section + "]\n";
        for (const char* key : names) {
            expected += std::string(key) + "\n";
            ++keys;
        }
    }
    EXPECT_EQ(keys, 85u);
    std::string written;  // the file's lines, each key without its value
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        written += line.substr(0, line.find('=')) + "\n";
    }
    EXPECT_EQ(written, expected);
    EXPECT_EQ(text.find("SCSITimeout"), std::string::npos);
    EXPECT_EQ(text.find("MPKestrinCustomer"), std::string::npos);
    EXPECT_EQ(text.find("EnPD"), std::string::npos);

    PanelFixture g;
    g.panel.LoadSettings(out);
    EXPECT_EQ(g.s.SCSITimeout, 10);
    EXPECT_EQ(g.s.MPKestrinCustomer, 0);
}

TEST(SaveSettings, AnExistingFileKeepsItsOtherLinesAndUnsavedKeys) {
    PanelFixture f;
    const fs::path path = f.file("mine.ini", WithTestFile(f,
                                                          "SCSITimeout=30\r\n; my note\r\n"
                                                          "[Custom]\r\nKeep=me\r\n"));
    f.panel.LoadSettings(path);
    f.panel.CollectPanelSettings();
    ASSERT_TRUE(f.panel.SaveSettings(path));
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("SCSITimeout=30\r\n"), std::string::npos);
    EXPECT_NE(text.find("; my note\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Custom]\r\nKeep=me\r\n"), std::string::npos);
    // The written keys replaced the line they had.
    EXPECT_EQ(text.rfind("[setting]\r\nWriteFileName=", 0), 0u);
}

TEST(SaveSettings, RelativeNamesGoToTheProgramFolderAndFailuresAreReported) {
    PanelFixture f;
    f.load(WithTestFile(f));
    ASSERT_TRUE(f.panel.SaveSettings("relative.ini"));
    EXPECT_TRUE(fs::exists(f.home.path() / "relative.ini"));

    const fs::path bad = f.home.path() / "no-folder" / "x.ini";
    f.op.clear();
    CapturingDiagnostics diag;
    f.panel.setDiagnostics(&diag);
    EXPECT_FALSE(f.panel.SaveSettings(bad));
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "Cannot write the settings file " + bad.string() + ".");
    EXPECT_EQ(f.op.messages()[0].icon, MessageIcon::Error);
    // The system's reason goes to the diagnostics.
    ASSERT_EQ(diag.lines().size(), 1u);
    EXPECT_EQ(diag.lines()[0].rfind(
                  "Cannot write " + bad.string() + ": cannot create " + bad.string() + ".tmp", 0),
              0u)
        << diag.lines()[0];
}

TEST(Exit, WritesTheCurrentFileTheDefaultFileAndTheCounters) {
    PanelFixture f;
    const fs::path other = f.file("Line2.ini", WithTestFile(f, "WRLoop=9\n"));
    f.s.CurrentSettingsPath = other;
    f.panel.LoadSettings(other);
    f.s.TotalTestCount = 10;
    f.s.NumberOfPass = 9;
    f.panel.userClick("RWTestCheckBox");
    f.panel.SaveOnExit();
    IniFile current, def, counters;
    ASSERT_EQ(current.load(other), IniFile::LoadStatus::Ok);
    ASSERT_EQ(def.load(f.home.path() / "VQMassProd.ini"), IniFile::LoadStatus::Ok);
    ASSERT_EQ(counters.load(f.home.path() / "log" / "VQ5742x.log"), IniFile::LoadStatus::Ok);
    EXPECT_EQ(current.get("VQEXECUTE", "EnRWTest"), "1");
    EXPECT_EQ(def.get("VQEXECUTE", "EnRWTest"), "1");
    EXPECT_EQ(def.get("setting", "WRLoop"), "9");
    EXPECT_EQ(counters.get("TestRecord", "TotalTestCount"), "10");
    EXPECT_EQ(counters.get("TestRecord", "NumberOfPass"), "9");
}

TEST(Exit, AReadOnlyOrMissingCurrentFileIsNotWrittenButTheRestIs) {
    PanelFixture f;
    const fs::path ro = f.file("ReadOnly.ini", WithTestFile(f, "WRLoop=9\n"));
    f.s.CurrentSettingsPath = ro;
    f.panel.LoadSettings(ro);
    const std::string before = ReadFile(ro);
    fs::permissions(ro, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    f.panel.SaveOnExit();
    EXPECT_EQ(ReadFile(ro), before);
    EXPECT_TRUE(fs::exists(f.home.path() / "VQMassProd.ini"));
    EXPECT_TRUE(fs::exists(f.home.path() / "log" / "VQ5742x.log"));
    EXPECT_TRUE(f.op.messages().empty());

    PanelFixture g;
    g.panel.StartUp();  // the default file is missing
    g.op.clear();
    g.panel.SaveOnExit();
    EXPECT_FALSE(fs::exists(g.home.path() / "VQMassProd.ini"));
    EXPECT_TRUE(fs::exists(g.home.path() / "log" / "VQ5742x.log"));
}

TEST(StartUp, LoadsTheDefaultFileOfTheProgramFolder) {
    PanelFixture f;
    f.file("VQMassProd.ini", WithTestFile(f, "WRLoop=4\n"));
    f.s.WRLoop = 99;
    EXPECT_TRUE(f.panel.StartUp());
    EXPECT_EQ(f.s.CurrentSettingsPath, f.home.path() / "VQMassProd.ini");
    EXPECT_EQ(f.s.WRLoop, 4);
}

TEST(IniButtons, LoadAndSaveFollowTheChosenFile) {
    PanelFixture f;
    const fs::path a = f.file("a.ini", WithTestFile(f, "WRLoop=5\nEnBarcodeMode=1\n"));
    f["Panel5"].enabled = false;
    f.panel.INILoadBtnClick(std::nullopt);
    EXPECT_EQ(f.s.WRLoop, 0);
    f.panel.INILoadBtnClick(a);
    EXPECT_EQ(f.s.CurrentSettingsPath, a);
    EXPECT_EQ(f.s.WRLoop, 5);
    EXPECT_TRUE(f["Panel5"].enabled);
    EXPECT_EQ(f.actions.rescans, 1);

    f.panel.userClick("FormatCheckBox");
    f.panel.INISaveBtnClick(std::nullopt);  // cancelled: collected, nothing written
    EXPECT_EQ(f.s.EnFormat, 1);
    EXPECT_FALSE(fs::exists(f.home.path() / "b.ini"));
    f.panel.INISaveBtnClick(f.home.path() / "b.ini");
    EXPECT_EQ(f.s.CurrentSettingsPath, f.home.path() / "b.ini");
    IniFile b;
    b.load(f.home.path() / "b.ini");
    EXPECT_EQ(b.get("VQEXECUTE", "EnFormat"), "1");
}

TEST(CollectPanelSettings, TakesThePanelWithItsConditions) {
    PanelFixture f;
    f.load(WithTestFile(f,
                        "CheckMaxSn=1\n[VQEXECUTE]\nEnEEPROMUpdate=1\nEnSWCopy=1\nEnFormat=1\n"
                        "EnFWCheck=1\nFmtSecPerClus=4096\n"));
    f["SWCopyChkBox"].enabled = false;  // as with a ChipKind 21 to 24 bridge
    f["FWCheckBox"].visible = false;
    f.panel.userEdit("maxSNEdit", "00FFFF");
    f.panel.userSelect("FmtTypeComboBox", 1);
    f.panel.userEdit("VendorIDEdit", "1d6b");
    f.panel.userEdit("StringBEdit", "Bridge");
    f.panel.userEdit("StringCEdit", "Maker");
    f.panel.userEdit("String3Edit", "ABC123");
    f.panel.CollectPanelSettings();
    EXPECT_EQ(f.s.EnSWCopy, 0);
    EXPECT_EQ(f.s.EnFWCheck, 0);
    EXPECT_EQ(f.s.FmtSecPerClus, 0);  // FAT32
    EXPECT_EQ(f.s.DiskFormat, 1);
    EXPECT_EQ(f.s.StringMaxSn, "00FFFF");
    EXPECT_EQ(f.s.VenderID, "1d6b");
    EXPECT_EQ(f.s.VidValue, 0x1D6B);
    EXPECT_EQ(f.s.Config[0], 0x6B);
    EXPECT_EQ(f.s.Config[1], 0x1D);
    EXPECT_EQ(f.s.StringB, "Bridge");
    EXPECT_EQ(f.s.StringC, "Maker");
    EXPECT_EQ(f.s.String3, "ABC123");
    EXPECT_EQ(f.s.SerialLength, 6);
    EXPECT_EQ(f.s.SerialText[5], '3');
    EXPECT_EQ(f.s.SerialText[6], 0);
    EXPECT_EQ(f.s.StringBText[0], 'B');
    EXPECT_EQ(f.s.StringCText[4], 'r');
}

TEST(CollectPanelSettings, StringAFromThePartsAndTheLayoutVariants) {
    PanelFixture f;
    f.load(WithTestFile(f,
                        "[VQEXECUTE]\nEnEEPROMUpdate=1\n[VQEEPROM]\nMapToHDName=1\n"
                        "StringA=VEL\n"));
    f.panel.userEdit("ProdStrEdit", "Drive");
    f.panel.CollectPanelSettings();
    EXPECT_EQ(f.s.StringA, "VEL     Drive");
    EXPECT_EQ(f.s.VendorText[2], 'L');
    EXPECT_EQ(f.s.VendorText[3], 0);
    EXPECT_EQ(f.s.ProductText[0], 'D');
    EXPECT_EQ(f.s.Layout, LayoutOf(LayoutRow::StandardType3));

    f["EEPROMType"].enabled = true;
    f.panel.userSelect("EEPROMType", 1);
    f.panel.CollectPanelSettings();
    auto t2 = LayoutOf(LayoutRow::StandardType2);
    t2.stringA.maxChars = 19;
    EXPECT_EQ(f.s.Layout, t2);
    f.panel.userSelect("EEPROMType", 0);
    f.panel.CollectPanelSettings();
    auto t1 = LayoutOf(LayoutRow::StandardType1);
    t1.serial = {0, 0};
    EXPECT_EQ(f.s.Layout, t1);

    f.panel.setFamily(EepromFamily::ParallelFlash);
    f.panel.CollectPanelSettings();
    EXPECT_EQ(f.s.Layout, LayoutOf(LayoutRow::ParallelNormal));
}

TEST(CollectPanelSettings, EepromFieldsStayWhenEepromUpdateIsOff) {
    PanelFixture f;
    f.load(WithTestFile(f, "[VQEEPROM]\nStringB=Kept\n"));
    f.panel.userEdit("StringBEdit", "Typed");
    f.panel.CollectPanelSettings();
    EXPECT_EQ(f.s.StringB, "Kept");
}

// Loading, collecting, saving and loading again gives the same RunSettings.
void ExpectRoundTrip(const fs::path& example) {
    SCOPED_TRACE(example.string());
    // Saved over a copy of the example, as "Save INI" over the loaded file does, so the keys
    // that are read but not saved survive.
    PanelFixture first;
    test::WriteFile(first.home.path() / "TestFile.bin", "x");
    const fs::path saved = first.home.path() / "saved.ini";
    fs::copy_file(example, saved);
    first.panel.LoadSettings(saved);
    first.panel.CollectPanelSettings();
    ASSERT_TRUE(first.panel.SaveSettings(saved));

    PanelFixture second;
    test::WriteFile(second.home.path() / "TestFile.bin", "x");
    const fs::path copy = second.home.path() / "saved.ini";
    fs::copy_file(saved, copy);
    second.panel.LoadSettings(copy);
    second.panel.CollectPanelSettings();

    RunSettings a = first.s;
    RunSettings b = second.s;
    // The test file resolves into each program folder.
    EXPECT_EQ(fs::path(a.WriteFileName.str()).filename(),
              fs::path(b.WriteFileName.str()).filename());
    a.WriteFileName = "";
    b.WriteFileName = "";
    EXPECT_EQ(a, b);
    const auto ka = AllKeyValues(a);
    const auto kb = AllKeyValues(b);
    for (std::size_t i = 0; i < ka.size(); ++i)
        EXPECT_EQ(ka[i].value, kb[i].value) << ka[i].section << "." << ka[i].key;
    EXPECT_EQ(a.Config, b.Config);
    EXPECT_EQ(test::PanelDifferences(first.p, second.p), "");
}

TEST(RoundTrip, EveryShippedExampleSettingsFile) {
    int count = 0;
    for (const auto& e : fs::directory_iterator(fs::path(VQ_SOURCE_DIR) / "examples")) {
        if (e.path().extension() != ".ini")
            continue;
        ExpectRoundTrip(e.path());
        ++count;
    }
    EXPECT_GE(count, 3);
}

TEST(RoundTrip, TheShippedExampleHasEveryKeyAndACommentPerSection) {
    const fs::path example = fs::path(VQ_SOURCE_DIR) / "examples" / "VQMassProd.ini";
    IniFile ini;
    ASSERT_EQ(ini.load(example), IniFile::LoadStatus::Ok);
    for (const auto& kv : AllKeyValues(RunSettings{})) {
        if (kv.section == "TestRecord")
            continue;
        EXPECT_TRUE(ini.get(kv.section, kv.key).has_value()) << kv.section << "." << kv.key;
    }
    const std::string text = ReadFile(example);
    std::size_t at = 0;
    int sections = 0;
    while ((at = text.find("\n[", at)) != std::string::npos) {
        const auto next = text.find('\n', at + 1);
        EXPECT_EQ(text.substr(next + 1, 1), ";") << text.substr(at, 30);
        ++sections;
        at = next;
    }
    EXPECT_EQ(sections, 6);

    PanelFixture f;
    test::WriteFile(f.home.path() / "TestFile.bin", "x");
    EXPECT_TRUE(f.panel.LoadSettings(example));
    EXPECT_TRUE(f.op.messages().empty());
}

}  // namespace
}  // namespace vq
