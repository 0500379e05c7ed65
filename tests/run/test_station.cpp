// The device refresh of the station against the emulated station machine.
#include "run/Station.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <variant>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "base/Text.h"
#include "platform/sim/SimScenario.h"
#include "tests/devices/StationRig.h"

namespace vq {
namespace {

using sim::PortSpeed;
using test::StationRig;

class FitDouble final : public FirmwareFitCheck {
  public:
    bool firmwareFits(const std::string& file, std::uint16_t chipIdentity) override {
        asked.emplace_back(file, chipIdentity);
        return fits;
    }
    bool fits = true;
    std::vector<std::pair<std::string, std::uint16_t>> asked;
};

class StationTest : public ::testing::Test {
  protected:
    StationRig rig;
    RunSettings settings;
    PanelModel panel;
    FitDouble fit;
    SettingsPanel rules{settings, panel, rig.op, rig.sim.workFolder(), &fit};
    std::unique_ptr<Station> station;
    int notices = 0;

    Station& make() {
        station = std::make_unique<Station>(rig.platform(), rules);
        station->setPortStatusListener([this] { ++notices; });
        return *station;
    }
    // Bridges on one root hub, ports 1.. in order, each with one volume of `freeMiB`.
    void bridges(std::vector<std::uint8_t> kinds, PortSpeed speed = PortSpeed::Super,
                 std::uint64_t sizeMiB = 476940) {
        rig.st().addRootHub("r", 8);
        char letter = 'D';
        std::uint32_t port = 1;
        for (std::uint8_t k : kinds) {
            sim::BridgeConfig c = StationRig::Config(Format("%012u", port), k);
            c.master->sectors = sizeMiB * 2048;
            rig.bridge("r", port++, c, {{letter++, 1000}}, speed);
        }
    }
};

TEST_F(StationTest, RefreshPairsIdentifiesAndMeasuresEveryDevice) {
    rig.st().addRootHub("r", 4);
    sim::BridgeConfig c = StationRig::Config("000000000001", 19);
    c.master->sectors = 476940ull * 2048;
    c.flashType = 7;
    rig.bridge("r", 1, c, {{'E', 300}, {'F', 200}}, PortSpeed::Super);
    rig.plain("r", 2, "MOUSE1");
    rig.bridge("r", 3, StationRig::Config("000000000002", 19), {{'G', 50}}, PortSpeed::Super, true);
    Station& s = make();

    EXPECT_EQ(s.DeviceRefresh(), 2u);
    const PortRecord& a = s.ports()[0];
    EXPECT_EQ(a.usable, 1);
    EXPECT_EQ(a.chipKind, 19);
    EXPECT_EQ(a.capacityMiB, 476940);
    EXPECT_EQ(a.freeSpace, 500ll << 20);
    EXPECT_EQ(a.usbSpeed, 3);
    EXPECT_EQ(a.flashType, 7);
    EXPECT_FALSE(a.firmwareVersion.empty());
    EXPECT_EQ(a.firmwarePresent, 1);
    EXPECT_EQ(a.diskPath, s.devices()[0].interfacePath);
    EXPECT_EQ(a.usbNode, s.devices()[0].parentNode);
    EXPECT_EQ(a.diskNode, s.devices()[0].diskNode);
    EXPECT_EQ(a.scsiAttached, 0);
    EXPECT_EQ(s.firstDriveLetter(0), 'E');

    const PortRecord& mouse = s.ports()[1];
    EXPECT_EQ(mouse.present, 1);
    EXPECT_EQ(mouse.usable, 0);
    EXPECT_EQ(s.treeImage(1), 0);
    EXPECT_EQ(s.deviceEntryOf(1), -1);

    EXPECT_EQ(s.ports()[2].usable, 1);
    EXPECT_EQ(s.ports()[2].scsiAttached, 1);
    EXPECT_EQ(s.treeImage(2), 1);

    EXPECT_EQ(s.runDeviceCount(), 2);
    EXPECT_EQ(s.attachedDeviceCount(), 2);
    EXPECT_EQ(bridge::KindOf(s.firstChip()), 19);
    EXPECT_TRUE(s.ready());
    EXPECT_TRUE(s.startEnabled());
    EXPECT_FALSE(s.autoStartPermission());
    EXPECT_EQ(notices, 1);
    // The first device's free space is the reference from now on.
    EXPECT_EQ(settings.FreeSpace, 500ll << 20);
    EXPECT_EQ(panel["USB3Panel"].caption, "USB 3.1 Gen 1");
    EXPECT_TRUE(rig.op.messages().empty());
}

TEST_F(StationTest, UsbThreeSpeedFacts) {
    struct Case {
        PortSpeed speed;
        std::int32_t value;
        const char* caption;
        bool gen1, gen2;
    };
    for (const Case& c : {Case{PortSpeed::SuperPlus, 4, "USB 3.1 Gen 2", true, true},
                          Case{PortSpeed::Super, 3, "USB 3.1 Gen 1", true, false},
                          Case{PortSpeed::High, 2, "USB 2.0", false, false}}) {
        SCOPED_TRACE(c.caption);
        rig.st().clear();
        bridges({19, 19}, c.speed);
        Station& s = make();
        s.DeviceRefresh();
        EXPECT_EQ(s.ports()[1].usbSpeed, c.value);
        EXPECT_EQ(panel["USB3Panel"].caption, c.caption);
        EXPECT_EQ(s.usb31Gen1(), c.gen1);
        EXPECT_EQ(s.usb31Gen2(), c.gen2);
    }
    // One device slower than the others decides.
    rig.st().clear();
    rig.st().addRootHub("r", 2);
    rig.bridge("r", 1, "000000000001", {}, PortSpeed::SuperPlus);
    rig.bridge("r", 2, "000000000002", {}, PortSpeed::Super);
    make().DeviceRefresh();
    EXPECT_TRUE(station->usb31Gen1());
    EXPECT_FALSE(station->usb31Gen2());
    EXPECT_EQ(panel["USB3Panel"].caption, "USB 3.1 Gen 1");
    // An older kind is not asked for its speed.
    rig.st().clear();
    bridges({14}, PortSpeed::High);
    make().DeviceRefresh();
    EXPECT_EQ(station->ports()[0].usbSpeed, 0);
    EXPECT_FALSE(panel["USB3Panel"].visible);
}

TEST_F(StationTest, NothingFoundWithdrawsEverything) {
    rig.st().addRootHub("r", 2);
    rig.plain("r", 1, "MOUSE1");
    settings.MPAutorun = 1;
    Station& s = make();
    EXPECT_EQ(s.DeviceRefresh(), 0u);
    EXPECT_EQ(s.runDeviceCount(), 0);
    EXPECT_FALSE(s.autoStartPermission());
    EXPECT_FALSE(s.ready());
    EXPECT_FALSE(s.startEnabled());
    EXPECT_EQ(notices, 1);
}

TEST_F(StationTest, DeviceCountMustMatchTheSetting) {
    bridges({19, 19});
    for (auto [count, ready] : {std::pair{0, true}, {2, true}, {3, false}, {1, false}}) {
        SCOPED_TRACE(count);
        settings.MPDevCount = count;
        Station& s = make();
        s.DeviceRefresh();
        EXPECT_EQ(s.ready(), ready);
        EXPECT_EQ(s.startEnabled(), ready);
        EXPECT_TRUE(rig.op.messages().empty());
    }
}

TEST_F(StationTest, CapacityCheck) {
    bridges({19, 19}, PortSpeed::Super, 114000);  // about 120 GB drives
    struct Case {
        std::int32_t capacity;
        std::string userDefined;
        bool clone;
        bool ready;
    };
    const Case cases[] = {
        {0, "", false, true},     {120, "", false, true}, {80, "", false, false},
        {500, "", false, false},  {500, "", true, true},  {1, "115", false, true},
        {1, "300", false, false}, {1, "", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Format("%d '%s' %d", c.capacity, c.userDefined, c.clone));
        rig.op.clear();
        settings.Capacity = c.capacity;
        panel["CapacityUserDefEdit"].text = c.userDefined;
        panel["cbCloneProduct"].checked = c.clone;
        Station& s = make();
        s.DeviceRefresh();
        EXPECT_EQ(s.ready(), c.ready);
        EXPECT_EQ(rig.messages(),
                  c.ready ? std::vector<std::string>{}
                          : std::vector<std::string>{"VQ5742x Mass Production Tool|Check the "
                                                     "Capacity check setting!!"});
    }
}

TEST_F(StationTest, TwoChipModelsWithFirmwareUpdate) {
    bridges({19, 20});
    rules.setChecked("FWUpdateCheckBox", true);
    Station& s = make();
    s.DeviceRefresh();
    EXPECT_FALSE(s.ready());
    EXPECT_FALSE(s.startEnabled());
    EXPECT_FALSE(panel["FWUpdateCheckBox"].checked);
    EXPECT_EQ(rig.messages(),
              std::vector<std::string>{"Error|Multiple devices must be of the same Chip model!"});
}

TEST_F(StationTest, FirmwareFileMustFitTheFirstChip) {
    bridges({19, 19});
    rules.setChecked("FWUpdateCheckBox", true);
    panel["FwFileNameEdit"].text = "fw.bin";
    for (bool fits : {false, true}) {
        SCOPED_TRACE(fits);
        rig.op.clear();
        fit.fits = fits;
        fit.asked.clear();
        Station& s = make();
        s.DeviceRefresh();
        EXPECT_EQ(s.ready(), fits);
        EXPECT_EQ(s.startEnabled(), fits);
        ASSERT_EQ(fit.asked.size(), 1u);
        EXPECT_EQ(fit.asked[0].first, "fw.bin");
        EXPECT_EQ(fit.asked[0].second & 0xFF, 19);  // kind in the low byte
        EXPECT_EQ(rig.messages(),
                  fits ? std::vector<std::string>{}
                       : std::vector<std::string>{
                             "VQ5742x Mass Production Tool|Firmware File not support all chips!"});
    }
}

TEST_F(StationTest, ParallelFlashBesideOtherModelsSwitchesEepromUpdateOff) {
    bridges({30, 30, 19});
    rules.setChecked("EEPROMCheckBox", true);
    Station& s = make();
    s.DeviceRefresh();
    EXPECT_EQ(s.runDeviceCount(), 3);
    EXPECT_FALSE(panel["EEPROMCheckBox"].checked);
    EXPECT_FALSE(panel["EEPROMCheckBox"].enabled);
    ASSERT_FALSE(rig.messages().empty());
    EXPECT_EQ(rig.messages()[0],
              "Message|Not Support interleave VQ426 & Non-VQ426 EEPROM Batch Operation!");
}

TEST_F(StationTest, OpticalDrivesTakePartOnlyWithSupportOdd) {
    rig.st().addRootHub("r", 2);
    rig.bridge("r", 1, "000000000001");
    sim::BridgeConfig c = StationRig::Config("000000000002", 14);
    c.master->packet = true;
    rig.bridge("r", 2, c, {}, PortSpeed::High);
    for (int odd : {0, 1}) {
        SCOPED_TRACE(odd);
        settings.SupportODD = odd;
        Station& s = make();
        EXPECT_EQ(s.DeviceRefresh(), odd ? 2u : 1u);
        EXPECT_EQ(s.ports()[1].present, 1);
        EXPECT_EQ(s.ports()[1].usable, odd);
        EXPECT_EQ(s.ports()[1].chipKind, odd ? 14 : 0);
        EXPECT_EQ(s.runDeviceCount(), 1 + odd);
    }
}

TEST_F(StationTest, KindTwentyFiveNeedsItsRegisterBit) {
    rig.st().addRootHub("r", 2);
    for (std::uint32_t port : {1u, 2u}) {
        sim::BridgeConfig c = StationRig::Config(Format("25%u", port), 25);
        c.registers.push_back({0x702B, {static_cast<std::uint8_t>(port == 1 ? 0x00 : 0x04)}});
        rig.bridge("r", port, c);
    }
    Station& s = make();
    s.DeviceRefresh();
    EXPECT_EQ(s.ports()[0].chipKind, 25);
    EXPECT_EQ(s.ports()[0].usable, 0);
    EXPECT_EQ(s.ports()[1].usable, 1);
    EXPECT_EQ(s.runDeviceCount(), 1);
}

TEST_F(StationTest, AutoAndBarcodeModeGrantThePermissionInsteadOfStart) {
    bridges({19});
    struct Case {
        int autorun, barcode, devCount;
        bool permission, start;
    };
    const Case cases[] = {
        {1, 0, 0, true, false}, {0, 1, 0, true, false},  {1, 0, 2, false, false},
        {0, 0, 0, false, true}, {0, 0, 2, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Format("auto %d barcode %d count %d", c.autorun, c.barcode, c.devCount));
        settings.MPAutorun = c.autorun;
        settings.EnBarcodeMode = c.barcode;
        settings.MPDevCount = c.devCount;
        Station& s = make();
        s.DeviceRefresh();
        EXPECT_EQ(s.autoStartPermission(), c.permission);
        EXPECT_EQ(rules.inputs().runMayStart, c.permission);
        EXPECT_EQ(s.startEnabled(), c.start);
    }
}

TEST_F(StationTest, RefreshButtonLeavesTheFocus) {
    bridges({19});
    Station& s = make();
    s.RefreshBtnClick();
    EXPECT_EQ(panel.focus, "ExecuteBtn");

    settings.MPDevCount = 5;
    s.RefreshBtnClick();
    EXPECT_EQ(panel.focus, "RefreshBtn");

    // Barcode mode with EEPROM update: the serial field is cleared and takes the focus.
    settings.MPDevCount = 0;
    settings.EnBarcodeMode = 1;
    settings.EnEEPROMUpdate = 1;
    panel.focus.clear();
    panel["Panel5"].visible = true;
    panel["String3Edit"].text = "1234";
    s.RefreshBtnClick();
    EXPECT_EQ(panel["String3Edit"].text, "");
    EXPECT_EQ(panel.focus, "String3Edit");
}

// The type-C fixture: a control board (kind 6) switches the power of the hub under test.
class PowerControlTest : public StationTest {
  protected:
    std::shared_ptr<sim::BridgeFunction> board;
    void fixture(const std::string& boardSerial = "7E8A574290001",
                 std::vector<sim::FaultSpec> faults = {}) {
        rig.st().addRootHub("root", 2);
        sim::BridgeConfig c = StationRig::Config(boardSerial, 6);
        c.registers.push_back({0x7059, {0x00}});
        c.faults = std::move(faults);
        board = rig.bridge("root", 1, c, {}, PortSpeed::High);
        rig.st().addHub("root", 2, "dut", 1, PortSpeed::Super);
        rig.bridge("dut", 1, StationRig::Config("000000000601", 19), {{'E', 100}});
        auto b = board->bridge();
        rig.st().bindPowerSwitch("dut", [b] { return (b->powerControlLines() & 0x08) != 0; });
        settings.EnEPPTypeC = 1;
        settings.EPPPowerGPIODelay = 50;
        settings.EPPPowerOffDelay = 500;
    }
    std::vector<std::string> writes() {
        std::vector<std::string> out;
        for (const auto& t : board->bridge()->trace()) {
            if (t.kind == sim::CommandKind::WriteXdata)
                out.push_back(Format("%02X%02X", t.cdb[6], t.cdb[7]));
        }
        return out;
    }
};

TEST_F(PowerControlTest, BoardIsInitialisedAndSwitchesThePowerOn) {
    for (const char* serial : {"7E8A574290001", "CONTROL0001"}) {
        SCOPED_TRACE(serial);
        rig.st().clear();
        fixture(serial);
        Station& s = make();
        s.DeviceRefresh();
        EXPECT_TRUE(s.powerControl().ready);
        EXPECT_EQ(s.powerControl().devicePath, rig.st().storagePathOf(*board));
        EXPECT_EQ(s.powerControl().controlByte & 0x18, 0x08);
        EXPECT_NE(board->bridge()->powerControlLines() & 0x08, 0);
        EXPECT_EQ(s.runDeviceCount(), 0);  // the board is no device under test

        // The hub under test has power now: the next refresh finds the device.
        s.DeviceRefresh();
        EXPECT_EQ(s.runDeviceCount(), 1);
        int usable = 0;
        for (const auto& p : s.ports()) {
            usable += p.usable;
            if (p.usable) {
                EXPECT_EQ(p.serial, "000000000601");
            }
        }
        EXPECT_EQ(usable, 1);
        EXPECT_TRUE(rig.op.messages().empty());
    }
}

TEST_F(PowerControlTest, RegisterSequenceOfInitialisationAndPowerOn) {
    fixture();
    Station& s = make();
    board->bridge()->clearTrace();
    s.DeviceRefresh();
    // Initialisation: 0x7054 rewritten, then the word to 0x7058.
    EXPECT_EQ(writes(), (std::vector<std::string>{"7054", "7058"}));

    // Ready, and the power bit cleared: the refresh switches off, then on.
    s.powerControl().controlByte = 0x10;
    board->bridge()->clearTrace();
    s.DeviceRefresh();
    EXPECT_EQ(writes(), (std::vector<std::string>{"7059", "7059"}));
    EXPECT_EQ(s.powerControl().controlByte, 0x08);

    // Ready with the power on: nothing is written.
    board->bridge()->clearTrace();
    s.DeviceRefresh();
    EXPECT_TRUE(writes().empty());

    // The board gone: power control is not ready any more.
    rig.st().unplug("root", 1);
    s.DeviceRefresh();
    EXPECT_FALSE(s.powerControl().ready);
}

TEST_F(PowerControlTest, FailedInitialisationIsReportedAndRetried) {
    sim::FaultSpec f;
    f.type = sim::FaultSpec::Type::FailCommand;
    f.command = "ReadChipWord";
    f.n = 1;
    fixture("7E8A574290001", {f});
    Station& s = make();
    s.DeviceRefresh();
    EXPECT_FALSE(s.powerControl().ready);
    EXPECT_EQ(rig.messages(),
              std::vector<std::string>{"VQ5742x Mass Production Tool|EEP : Control power Fail !!"});
    s.DeviceRefresh();
    EXPECT_TRUE(s.powerControl().ready);
}

TEST_F(PowerControlTest, WithoutTypeCModeTheBoardIsAnOrdinaryDevice) {
    fixture();
    settings.EnEPPTypeC = 0;
    board->bridge()->clearTrace();
    Station& s = make();
    s.DeviceRefresh();
    EXPECT_FALSE(s.powerControl().ready);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(s.ports()[0].serial, "7E8A574290001");
    EXPECT_EQ(s.ports()[0].chipKind, 6);
    EXPECT_EQ(s.ports()[0].usable, 1);
    EXPECT_EQ(s.runDeviceCount(), 1);
}

TEST_F(StationTest, TwoBoardsWithOneSerialNumberAreTwoDevicesWithTheirOwnDisks) {
    rig.st().addRootHub("r", 4);
    rig.bridge("r", 1, "000000000007", {{'E', 100}});
    rig.bridge("r", 2, "000000000007", {{'F', 100}});
    Station& s = make();
    EXPECT_EQ(s.DeviceRefresh(), 2u);
    const PortRecord& a = s.ports()[0];
    const PortRecord& b = s.ports()[1];
    EXPECT_EQ(a.usable, 1);
    EXPECT_EQ(b.usable, 1);
    EXPECT_NE(a.diskPath, b.diskPath);
    EXPECT_NE(s.deviceEntryOf(0), s.deviceEntryOf(1));
    EXPECT_EQ(s.firstDriveLetter(0), 'E');
    EXPECT_EQ(s.firstDriveLetter(1), 'F');
    // The second one is named by its place, as the system names a device whose serial
    // number is already present.
    EXPECT_NE(ToLower(a.usbInstanceId).find("000000000007"), std::string::npos);
    EXPECT_EQ(ToLower(b.usbInstanceId).find("000000000007"), std::string::npos);
}

// A storage list in which a second disk claims the USB device of the first one, as two
// logical units of one bridge do.
class SecondUnit final : public StorageEnumerator {
  public:
    explicit SecondUnit(StorageEnumerator& real) : real_(real) {}
    std::optional<std::vector<StorageInterface>> diskInterfaces() override {
        auto list = real_.diskInterfaces();
        if (list && !list->empty()) {
            StorageInterface twin = list->front();
            twin.interfacePath.replace(twin.interfacePath.rfind("&0#"), 3, "&1#");
            list->push_back(twin);
        }
        return list;
    }
    std::optional<std::vector<StorageInterface>> opticalInterfaces() override {
        return real_.opticalInterfaces();
    }

  private:
    StorageEnumerator& real_;
};

TEST_F(StationTest, AUsbDeviceThatTwoDisksClaimIsNotUsed) {
    rig.st().addRootHub("r", 4);
    rig.bridge("r", 1, "000000000001", {{'E', 100}});
    rig.bridge("r", 2, "000000000002", {{'F', 100}});
    SecondUnit storage(rig.st());
    rig.platform().storage = &storage;
    Station& s = make();
    s.DeviceRefresh();
    EXPECT_EQ(s.ports()[0].usable, 0);
    EXPECT_EQ(s.deviceEntryOf(0), -1);
    EXPECT_EQ(s.ports()[1].usable, 1);
    EXPECT_EQ(s.runDeviceCount(), 1);
    ASSERT_EQ(rig.op.messages().size(), 1u);
    EXPECT_EQ(rig.op.messages()[0].text,
              "Port 1: more than one storage device belongs to the USB device " +
                  s.ports()[0].usbInstanceId + ". The port is not used.");
}

TEST_F(StationTest, SerialNumbersOfAnyLengthUsbAllowsPair) {
    rig.st().addRootHub("r", 8);
    const std::size_t lengths[] = {12, 57, 58, 100, 126};
    std::uint32_t port = 1;
    for (std::size_t n : lengths) {
        std::string serial(n, 'A');
        serial.back() = static_cast<char>('0' + port);
        rig.bridge("r", port++, serial);
    }
    Station& s = make();
    s.DeviceRefresh();
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        EXPECT_EQ(s.ports()[i].usable, 1) << lengths[i];
        EXPECT_EQ(s.ports()[i].serial.size(), std::min<std::size_t>(lengths[i], 79)) << lengths[i];
    }
}

TEST(DeviceTable, AnEntryIsFoundByTheWholeIdOfItsDeviceAndOnlyWhenItIsTheOnlyOne) {
    auto table = std::make_unique<DeviceTable>();
    const std::string longId = "usb\\vid_7e8a&pid_2429\\" + std::string(100, 'a');
    (*table)[0].parentDeviceId = longId + "1";
    (*table)[1].parentDeviceId = longId + "2";
    (*table)[2].parentDeviceId = "usb\\vid_7e8a&pid_2429\\twin";
    (*table)[3].parentDeviceId = "usb\\vid_7e8a&pid_2429\\twin";
    struct Row {
        std::string id;
        std::uint32_t entries;
        int found;
    };
    const Row rows[] = {
        {longId + "2", 4, 1},
        {ToUpper(longId + "1"), 4, 0},  // without regard to case
        {longId, 4, kNoEntry},          // a prefix is another device
        {longId + "2", 1, kNoEntry},    // only the entries of this scan
        {"usb\\vid_7e8a&pid_2429\\twin", 4, kAmbiguousEntry},
        {"usb\\vid_7e8a&pid_2429\\twin", 3, 2},
        {"", 4, kNoEntry},
    };
    for (const Row& r : rows)
        EXPECT_EQ(FindEntryOfDevice(*table, r.entries, r.id), r.found) << r.id << " " << r.entries;
}

TEST(Station16, AllSixteenBridgesInTheirSlots) {
    auto loaded =
        sim::LoadScenarioFile(std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "station16.json");
    ASSERT_TRUE(std::holds_alternative<sim::Scenario>(loaded));
    sim::SimPlatform sim;
    sim::BuildStation(sim, std::get<sim::Scenario>(loaded));
    RecordingOperator op;
    sim.platform().op = &op;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, op, sim.workFolder());
    Station s(sim.platform(), rules);
    EXPECT_EQ(s.DeviceRefresh(), 16u);
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const PortRecord& p = s.ports()[i];
        EXPECT_EQ(p.usable, 1) << i;
        EXPECT_EQ(p.serial, Format("%012u", static_cast<unsigned>(i + 1)));
        EXPECT_EQ(p.capacityMiB, 476940);
        EXPECT_EQ(s.firstDriveLetter(i), static_cast<char>('D' + i));
    }
    EXPECT_TRUE(s.ready());
    // The dongle without serial number on the root hub's first port gives its slot back
    // before the bridges come, so the walk never meets the slot limit.
    EXPECT_TRUE(op.messages().empty());
}

}  // namespace
}  // namespace vq
