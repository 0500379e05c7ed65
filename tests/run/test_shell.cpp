// The shell around a run: the device-change timer, auto-start, the power-control reminder,
// safe removal and the power switched off at close.
#include <gtest/gtest.h>

#include "app/shell/StationShell.h"
#include "devices/PortPower.h"
#include "devices/SafeRemoval.h"
#include "platform/sim/SimClock.h"
#include "tests/run/RunRig.h"

namespace vq {
namespace {

using Kind = DeviceEvent::Kind;
using Type = DeviceEvent::Type;

TEST(DeviceChangeTimer, ABurstBecomesOneRefreshAfterTheLastEvent) {
    DeviceChangeTimer t;
    for (std::uint64_t ms = 0; ms < 1000; ms += 100)
        EXPECT_TRUE(
            t.OnDeviceChange({Kind::Arrival, Type::DeviceInterface, ""}, ms, false, false).armed);
    EXPECT_EQ(t.dueAt(), 900u + 1500u);
    EXPECT_FALSE(t.Due(2399));
    EXPECT_TRUE(t.Due(2400));
    t.OnDeviceChange({Kind::RemoveComplete, Type::Volume, "E"}, 2000, false, false);
    EXPECT_EQ(t.dueAt(), 2200u);
    t.Kill();
    EXPECT_FALSE(t.Armed());
}

TEST(DeviceChangeTimer, ResultWindowAndRunInProgress) {
    struct Row {
        Kind kind;
        bool running;
        bool safeRemove;
        bool hide, disable, armed;
    };
    const Row rows[] = {
        {Kind::Arrival, false, true, true, true, true},
        {Kind::RemoveComplete, false, true, false, true, true},
        {Kind::RemoveComplete, false, false, true, true, true},
        {Kind::Arrival, true, false, true, false, false},
        {Kind::RemoveComplete, true, true, false, false, false},
    };
    for (const Row& r : rows) {
        DeviceChangeTimer t;
        const auto fx =
            t.OnDeviceChange({r.kind, Type::DeviceInterface, ""}, 0, r.running, r.safeRemove);
        EXPECT_EQ(fx.hideResultWindow, r.hide);
        EXPECT_EQ(fx.disableStart, r.disable);
        EXPECT_EQ(fx.armed, r.armed);
        EXPECT_EQ(t.Armed(), r.armed);
    }
}

TEST(EppReminder, EveryTenSecondsWhileTheBoardIsMissing) {
    RecordingOperator op;
    EppReminder r;
    r.Start(0);
    EXPECT_FALSE(r.Tick(9999, true, false, &op, {}));
    EXPECT_TRUE(r.Tick(10000, true, false, &op, [] { return std::uint64_t{25000}; }));
    ASSERT_EQ(op.messages().size(), 1u);
    EXPECT_EQ(op.messages()[0].text, "Please plus Control EPP Device !!");
    EXPECT_EQ(op.messages()[0].title, "Error");
    // Started again when the operator closed the box.
    EXPECT_FALSE(r.Tick(34999, true, false, &op, {}));
    EXPECT_FALSE(r.Tick(35000, false, false, &op, {}));  // type-C mode off
    EXPECT_FALSE(r.Tick(45000, true, true, &op, {}));    // board ready
    EXPECT_EQ(op.messages().size(), 1u);
}

// A removal interface that vetoes a number of times.
class VetoingRemoval final : public DeviceRemoval {
  public:
    explicit VetoingRemoval(int vetoes) : vetoes_(vetoes) {}
    RemovalResult queryAndRemoveSubtree(DevNode) override { return answer(); }
    RemovalResult requestEject(DevNode) override {
        ++ejects;
        return answer();
    }
    int ejects = 0;

  private:
    RemovalResult answer() {
        RemovalResult r;
        if (vetoes_ > 0) {
            --vetoes_;
            r.vetoType = 6;
            r.vetoName = "held";
            return r;
        }
        r.callSucceeded = true;
        return r;
    }
    int vetoes_;
};

TEST(SafeRemoval, AVetoedDeviceIsTriedFiveTimesHalfASecondApart) {
    sim::SimClock clock(0.0);
    struct Row {
        int vetoes;
        bool removed;
        int attempts;
    };
    // Each vetoed attempt also costs the eject that follows its pause.
    for (Row row : {Row{0, true, 1}, Row{2, true, 2}, Row{100, false, 5}}) {
        VetoingRemoval removal(row.vetoes);
        const std::int64_t before = clock.nowNs();
        const RemovalOutcome o = RemoveDeviceThread(removal, clock, 7);
        EXPECT_EQ(o.removed, row.removed) << row.vetoes;
        EXPECT_EQ(o.attempts, row.attempts) << row.vetoes;
        EXPECT_EQ((clock.nowNs() - before) / 1'000'000,
                  500 * (row.attempts - (row.removed ? 1 : 0)));
    }
}

TEST(PortPower, OffAtCloseOnlyInTypeCModeWithTheBoardReady) {
    test::StationRig rig;
    rig.st().addRootHub("r", 2);
    sim::BridgeConfig c = test::StationRig::Config("7E8A574290001", 6);
    c.registers.push_back({0x7059, {0x08}});
    auto fn = rig.bridge("r", 1, c);
    bridge::Transport transport(*rig.platform().scsi, *rig.platform().clock, {});
    PowerControl power;
    power.devicePath = rig.st().storagePathOf(*fn);
    power.controlByte = 0x18;
    EXPECT_FALSE(PowerOffAtClose(false, power, transport));
    EXPECT_FALSE(PowerOffAtClose(true, power, transport));  // not ready
    EXPECT_EQ(fn->bridge()->powerControlLines(), 0x08);
    power.ready = true;
    EXPECT_TRUE(PowerOffAtClose(true, power, transport));
    EXPECT_EQ(power.controlByte, 0x00);
    EXPECT_EQ(fn->bridge()->powerControlLines() & 0x18, 0x00);
}

TEST(StationShell, AutoModeRunsEachSetOfBoardsAsItIsPlugged) {
    test::RunRig r;
    auto boards = r.bridges(2);
    r.loadSettings({{"EnPartition", "0"},
                    {"EnFormat", "0"},
                    {"EnRWTest", "0"},
                    {"EnEEPROMUpdate", "0"},
                    {"EnUSB30Check", "1"},
                    {"MPAutorun", "1"},
                    {"MPSafeRemove", "1"},
                    {"MPPassLabel", "1"}});
    RunDriver& d = r.make();
    StationShell shell(*r.station, d, *r.rig.platform().clock);
    bool replugged = false;
    const int starts = shell.RunAuto(
        [&] {
            // The operator takes the tested set off and plugs the next one.
            if (shell.starts() == 1 && !replugged && r.station->runDeviceCount() == 0) {
                replugged = true;
                for (std::uint32_t port = 1; port <= 2; ++port) {
                    r.rig.st().unplug("r", port);
                    r.rig.st().plug("r", port, boards[port - 1], sim::PortSpeed::Super);
                }
            }
            return true;
        },
        2);
    EXPECT_EQ(starts, 2);
    ASSERT_EQ(d.runs().size(), 2u);
    EXPECT_TRUE(d.runs()[0].passed);
    EXPECT_TRUE(d.runs()[1].passed);
    EXPECT_EQ(r.settings.TotalTestCount, 4);
    EXPECT_TRUE(r.rig.messages().empty());
}

}  // namespace
}  // namespace vq
