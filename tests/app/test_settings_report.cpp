#include "app/SettingsReport.h"

#include <gtest/gtest.h>

#include <sstream>

#include "AppTestSupport.h"

namespace vq {
namespace {

using test::PanelFixture;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> r;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        r.push_back(line);
    return r;
}

TEST(SettingsReport, AFileWithoutKeys) {
    PanelFixture f;
    const bool result = f.load("");
    const PanelModel fresh;
    const auto lines = Lines(SettingsReport(f.s, f.p, fresh, f.op.messages(), result));
    ASSERT_GT(lines.size(), 97u + 9u + 3u);
    EXPECT_EQ(lines[0], "setting.USBWritePerformance=0");
    EXPECT_EQ(lines[3], "setting.WriteFileName=");
    EXPECT_EQ(lines[5], "setting.WRLoop=7");
    EXPECT_EQ(lines[13], "setting.PerfShift=1");
    EXPECT_EQ(lines[51], "VQEXECUTE.FmtSecPerClus=-1");
    EXPECT_EQ(lines[55], "VQEEPROM.VenderID=7E8A");
    EXPECT_EQ(lines[67], "VQEEPROM.FlashType=0");
    EXPECT_EQ(lines[95], "TestRecord.TotalTestCount=0");
    EXPECT_EQ(lines[97], "panel.ExecuteBtn.caption=START");
    EXPECT_EQ(lines[98], "panel.CapChkCmbx.itemIndex=0");
    EXPECT_EQ(lines[99], "panel.FmtSecPerClusCbox.visible=false");
    EXPECT_EQ(lines[100], "panel.FmtSecPerClusCbox.itemIndex=0");
    EXPECT_EQ(lines[101], "panel.EEPROMType.items=Type 1|Type 2|Type 3");
    EXPECT_EQ(lines[102], "panel.EEPROMType.itemIndex=2");
    EXPECT_EQ(lines[103], "panel.EEPROMType.enabled=false");
    EXPECT_EQ(lines[104], "panel.FreeSpaceEdit.text=Don't Care");
    EXPECT_EQ(lines[105], "panel.String3Edit.maxLength=0");
    const auto has = [&](const std::string& l) {
        return std::find(lines.begin(), lines.end(), l) != lines.end();
    };
    EXPECT_TRUE(has("panel.VendorIDEdit.text=7E8A"));
    EXPECT_TRUE(has("panel.GroupBox2.visible=false"));
    EXPECT_FALSE(has("panel.RefreshBtn.caption=Refresh"));  // unchanged by the load
    const std::size_t n = lines.size();
    EXPECT_EQ(lines[n - 3].substr(0, 7), "config=");
    EXPECT_EQ(lines[n - 3].size(), 7u + 256u);
    EXPECT_EQ(lines[n - 3].substr(7, 8), "8A7E2924");
    EXPECT_EQ(lines[n - 2], "message=Error|Please set write file name in the INI file");
    EXPECT_EQ(lines[n - 1], "result=false");
}

TEST(SettingsReport, MessagesStayOnOneLine) {
    PanelFixture f;
    const std::filesystem::path missing = f.home.path() / "missing.ini";
    const bool result = f.panel.LoadSettings(missing);
    const auto lines = Lines(SettingsReport(f.s, f.p, PanelModel(), f.op.messages(), result));
    const std::size_t n = lines.size();
    EXPECT_EQ(lines[n - 2],
              "message=Error|Please make sure the file " + missing.string() + " exist!\\n");
    EXPECT_EQ(lines[n - 1], "result=false");
}

TEST(SettingsReport, BarcodeExample) {
    PanelFixture f;
    test::WriteFile(f.home.path() / "TestFile.bin", "x");
    const bool result = f.panel.LoadSettings(std::filesystem::path(VQ_SOURCE_DIR) / "examples" /
                                             "VQMassProd-Barcode.ini");
    EXPECT_TRUE(result);
    const auto text = SettingsReport(f.s, f.p, PanelModel(), f.op.messages(), result);
    EXPECT_NE(text.find("\npanel.ExecuteBtn.caption=BarCode\n"), std::string::npos);
    EXPECT_NE(text.find("\npanel.String3Edit.maxLength=12\n"), std::string::npos);
    EXPECT_NE(text.find("\nsetting.MPAutorun=0\n"), std::string::npos);
    EXPECT_NE(text.find("\nsetting.PerfShift=0.85\n"), std::string::npos);
    EXPECT_NE(text.find("\npanel.VendorStrEdit.text=VELMORA \n"), std::string::npos);
    EXPECT_NE(text.find("\npanel.ProdStrEdit.text=DataDrive Pro\n"), std::string::npos);
    EXPECT_NE(text.find("\nresult=true\n"), std::string::npos);
}

}  // namespace
}  // namespace vq
