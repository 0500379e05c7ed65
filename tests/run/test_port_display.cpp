// The port status display: row texts and colours, progress, and the yield counting of
// finish notices exactly once.
#include "run/PortDisplay.h"

#include <gtest/gtest.h>

namespace vq {
namespace {

PortRecord Usable(int hubPort, std::uint8_t kind = 19) {
    PortRecord r;
    r.present = 1;
    r.usable = 1;
    r.hubPortNumber = hubPort;
    r.chipKind = kind;
    r.vid = 0x7E8A;
    r.pid = 0x2429;
    r.serial = "abc001";
    r.capacityMiB = 476940;
    r.firmwareVersion = "2.10.3";
    r.firmwarePresent = 1;
    r.usbSpeed = 3;
    return r;
}

TEST(PortDisplay, RowTextsAndColours) {
    PortRecord r = Usable(5);
    r.readWrite = 1;
    r.readSpeed = 35.2f;
    r.writeSpeed = 31.5f;
    r.format = 4;
    r.eeprom = -1;
    r.firmware = 2;
    DisplayInputs in;
    in.showRwPerf = true;
    DisplayRow row = MakeRow(r, in);
    EXPECT_EQ(row.treeText, "Port  5");
    EXPECT_EQ(row.cells[0].text, "5");
    EXPECT_EQ(row.cells[1].text, "3.0");
    EXPECT_EQ(row.cells[2].text, "7E8A / 2429 / ABC001");
    EXPECT_EQ(row.cells[3].text, "476940 MB");
    EXPECT_EQ(row.cells[4].text, "2.10.3");
    EXPECT_EQ(row.cells[7].text, "Running");
    EXPECT_EQ(row.cells[7].colour, CellColour::Black);
    EXPECT_EQ(row.cells[8].text, "Fail");
    EXPECT_EQ(row.cells[8].colour, CellColour::Red);
    EXPECT_TRUE(row.cells[8].bold);
    EXPECT_EQ(row.cells[10].text, "Unmatched");
    EXPECT_EQ(row.cells[10].colour, CellColour::Red);
    EXPECT_EQ(row.cells[11].text, "Pass (35.2 31.5)");
    EXPECT_EQ(row.cells[11].colour, CellColour::Blue);
    EXPECT_TRUE(row.cells[11].bold);
    EXPECT_EQ(row.cells[12].text, "");

    // The other choices of the columns.
    r.usbSpeed = 2;
    r.firmwarePresent = 0;
    r.freeSpace = 1234;
    r.firmwareCheck = 1;
    r.readWrite = 0;
    in.freeSpaceCheck = true;
    in.firmwareCheckEnabled = true;
    row = MakeRow(r, in);
    EXPECT_EQ(row.cells[1].text, "2.0");
    EXPECT_EQ(row.cells[3].text, "1234 Bytes");
    EXPECT_EQ(row.cells[4].text, "InCode");
    EXPECT_EQ(row.cells[7].text, "Pass");
    EXPECT_EQ(row.cells[11].text, "");
    EXPECT_EQ(MakeRow(Usable(1, 14), in).cells[1].text, "YES");
    EXPECT_EQ(MakeRow(Usable(1, 25), in).cells[1].text, "YES");
}

TEST(PortDisplay, FinishNoticeIsCountedOnceAndRowsStayInSlotOrder) {
    PortTable ports{};
    ports[0] = Usable(1);
    ports[2] = Usable(3);
    ports[0].progress = 100;
    ports[0].finishNotice = 1;
    ports[2].progress = 50;
    std::mutex m;
    RunSettings counters;
    counters.TotalTestCount = 10;
    counters.NumberOfPass = 9;
    PortDisplay d;
    DisplayInputs in;
    in.deviceCount = 2;
    d.Redraw(ports, m, counters, in);
    d.Redraw(ports, m, counters, in);
    EXPECT_EQ(counters.TotalTestCount, 11);
    EXPECT_EQ(counters.NumberOfPass, 10);
    EXPECT_EQ(ports[0].finishNotice, 0);
    EXPECT_EQ(d.yieldText(), "10 / 11");
    EXPECT_EQ(d.progress(), 75);
    EXPECT_EQ(d.progressText(), "75%");
    EXPECT_TRUE(d.rows()[0].usable);
    EXPECT_FALSE(d.rows()[1].usable);
    EXPECT_EQ(d.rows()[1].treeText, "Port");
    EXPECT_TRUE(d.rows()[2].usable);

    ports[2].finishNotice = -1;
    d.Redraw(ports, m, counters, in);
    EXPECT_EQ(counters.TotalTestCount, 12);
    EXPECT_EQ(counters.NumberOfPass, 10);
    d.ResetYield(counters);
    EXPECT_EQ(d.yieldText(), "0 / 0");
    EXPECT_EQ(counters.TotalTestCount, 0);
}

TEST(PortDisplay, TypeCCountsByPhaseAndAdvancesPerNotification) {
    PortTable ports{};
    ports[0] = Usable(1);
    ports[0].progress = 60;  // sum / 6 = 10 per notification
    std::mutex m;
    RunSettings counters;
    PortDisplay d;
    DisplayInputs in;
    in.deviceCount = 1;
    in.typeC = true;
    struct Row {
        int phase;
        RunResult notice;
        int total;
        int pass;
    };
    for (Row r : {Row{0, 1, 1, 0}, Row{1, 1, 1, 0}, Row{2, -1, 1, 0}, Row{2, 1, 1, 1}}) {
        ports[0].finishNotice = r.notice;
        in.phase = r.phase;
        d.Redraw(ports, m, counters, in);
        EXPECT_EQ(counters.TotalTestCount, r.total) << r.phase;
        EXPECT_EQ(counters.NumberOfPass, r.pass) << r.phase;
    }
    EXPECT_EQ(d.progress(), 40);
    // Three coalesced notifications advance as three redraws would.
    d.Redraw(ports, m, counters, in, 3);
    EXPECT_EQ(d.progress(), 70);
    d.Redraw(ports, m, counters, in, 3);
    EXPECT_EQ(d.progress(), 100);
    d.ResetPhaseProgress();
    d.Redraw(ports, m, counters, in);
    EXPECT_EQ(d.progress(), 10);
}

}  // namespace
}  // namespace vq
