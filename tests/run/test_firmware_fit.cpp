// The firmware fit check the station hands the settings panel: which chip identity it is
// asked with, and the real check on the example firmware files.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "run/Station.h"
#include "tests/devices/StationRig.h"

namespace vq {
namespace {

using test::StationRig;

class Recorder final : public FirmwareFitCheck {
  public:
    bool firmwareFits(const std::string&, std::uint16_t chipIdentity) override {
        asked.push_back(chipIdentity);
        return true;
    }
    std::vector<std::uint16_t> asked;
};

struct Rig {
    StationRig rig;
    RunSettings settings;
    PanelModel panel;
    std::unique_ptr<SettingsPanel> rules;

    Rig(std::uint8_t kind, FirmwareFitCheck* fit, const std::string& file) {
        rig.st().addRootHub("r", 4);
        rig.bridge("r", 1, StationRig::Config("000000000001", kind), {{'E', 1000}},
                   sim::PortSpeed::High);
        rules = std::make_unique<SettingsPanel>(settings, panel, rig.op, rig.sim.workFolder(), fit);
        rules->setChecked("FWUpdateCheckBox", true);
        panel["FwFileNameEdit"].text = file;
    }
};

TEST(FirmwareFit, TheCheckIsAskedWithTheChipAsIdentificationNamesIt) {
    struct Row {
        std::uint8_t emulated;  // the emulated model's ChipKind
        bridge::ChipIdentity expected;
    } rows[] = {
        {1, bridge::MakeChipIdentity(1, 1)},   {3, bridge::MakeChipIdentity(1, 2)},
        {5, bridge::MakeChipIdentity(4, 1)},   {6, bridge::MakeChipIdentity(4, 4)},
        {7, bridge::MakeChipIdentity(7, 49)},  {15, bridge::MakeChipIdentity(15, 2)},
        {16, bridge::MakeChipIdentity(16, 4)}, {19, bridge::MakeChipIdentity(19, 0)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.emulated));
        Recorder fit;
        Rig x(r.emulated, &fit, "fw.bin");
        Station station(x.rig.platform(), *x.rules);
        station.DeviceRefresh();
        ASSERT_EQ(fit.asked.size(), 1u);
        EXPECT_EQ(fit.asked[0], r.expected);
    }
}

TEST(FirmwareFit, TheStationChecksTheFileItself) {
    const std::filesystem::path examples = std::filesystem::path(VQ_SOURCE_DIR) / "examples";
    struct Row {
        const char* file;
        bool ready;
        std::vector<std::string> messages;
    } rows[] = {
        {"firmware/v429C3.bin", true, {}},
        {"firmware/v429C0.bin",
         false,
         {"VQ5742x Mass Production Tool|Firmware File not support all chips!"}},
        {"firmware/missing.bin",
         false,
         {"Error|Open Firmware File Error!!",
          "VQ5742x Mass Production Tool|Firmware File not support all chips!"}},
        {"firmware",
         false,
         {"Error|Open Firmware File Error!!",
          "VQ5742x Mass Production Tool|Firmware File not support all chips!"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        Rig x(6, nullptr, (examples / r.file).string());  // a v429C3 board
        {
            Station station(x.rig.platform(), *x.rules);
            EXPECT_NE(x.rules->firmwareFitCheck(), nullptr);
            station.DeviceRefresh();
            EXPECT_EQ(station.ready(), r.ready);
            EXPECT_EQ(x.rig.messages(), r.messages);
        }
        // The station takes its check back when it goes.
        EXPECT_EQ(x.rules->firmwareFitCheck(), nullptr);
    }
}

}  // namespace
}  // namespace vq
