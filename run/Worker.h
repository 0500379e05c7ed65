// One port's production sequence, from the first command to the final verdict, on its own
// thread. The worker reads only its own RunSettings copy and what the run shares
// read-only, writes only its own port record, and reports every change through the
// station's "port status changed" notifier.
//
// The steps, in order (one function each below):
//   0 start, 1 loop-test erase, 2 erase flash, 3 type-C checks, 4 USB speed, 5 EEPROM
//   verify, 6 USB 3.1 check, 7 firmware check, 8 configuration image, 9 EEPROM and
//   firmware stage, 10 disk stage (relink, partition, format, R/W test, software copy,
//   folder compare), 12 type-C power switch, 13 format prompt, 14 end.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/RunSettings.h"
#include "bridge/FirmwareImage.h"
#include "bridge/Transport.h"
#include "devices/PortRecord.h"
#include "disk/FolderCompare.h"
#include "disk/TestPattern.h"

namespace vq {

class Station;

// Check boxes of the panel that gate steps (visible and enabled), read when the run starts.
struct StepGates {
    bool partition = true;
    bool format = true;
    bool rwTest = true;
    bool softwareCopy = true;
    bool folderCompare = true;
    bool volumeLabelCheck = true;
    bool hddFirmwareCheck = true;
    bool eraseFlash = false;  // cbEraseFlash checked
};

class Worker;

// The procedures of the steps that other parts of the station implement. Each one is given
// the worker (its record, settings copy, device target and drive letter) and answers what
// the step judges. A procedure that is not supplied fails its step when the step is on,
// with the debug text "%d Port : <step> is not available".
struct StepProcedures {
    // Step 7: the firmware in the bridge equals the firmware file.
    std::function<bool(Worker&)> firmwareCheck;
    // Step 8: this device's ConfigImage from the settings copy, for its ChipKind.
    std::function<bool(Worker&)> buildConfig;
    // Step 9: whether the bridge keeps its configuration in its firmware flash.
    std::function<bool(Worker&)> configInFlash;
    // Step 9, combined route: one writer takes the ConfigImage and the firmware together.
    std::function<bool(Worker&)> combinedWriter;
    // Step 9, separate route: the firmware update, and the configuration write (with its
    // retries).
    std::function<bool(Worker&)> updateFirmware;
    std::function<bool(Worker&)> writeConfiguration;
    // Step 10.
    std::function<void(Worker&)> rescanDisks;
    std::function<bool(Worker&)> partition;
    // The drive letter of the device's first volume, 0 when none.
    std::function<char(Worker&)> findDriveLetter;
    // 0 success, -7 the caller falls back to the system tool, other values failure.
    std::function<int(Worker&, char letter)> format;
    std::function<bool(Worker&, char letter, const std::string& fileSystem)> formatWithTool;
    std::function<std::int64_t(Worker&, char letter)> freeSpace;
    // One R/W test of `dataSizeMiB`; speeds in MB/s.
    std::function<bool(Worker&, char letter, std::int32_t dataSizeMiB, std::uint32_t blockLength,
                       float& readMBps, float& writeMBps)>
        rwTest;
    std::function<bool(Worker&, char letter, const std::string& source,
                       const std::string& destination)>
        copy;
    std::function<bool(Worker&, char letter, const std::string& source,
                       const std::string& destination)>
        compare;
    // The volume label of a drive (EEPROM verify).
    std::function<std::optional<std::string>(Worker&, char letter)> volumeLabel;
    // Closes the system's format prompt when one is open; true when one was closed.
    std::function<bool()> closeFormatPrompt;
};

// What one run shares with all its workers; read-only while they run, except the CC1 port
// of the type-C sequence.
struct RunShared {
    StepGates gates;
    bool typeC = false;
    int phase = 0;
    bool powerReady = false;
    std::string powerPath;  // the control board
    std::uint8_t powerByte = 0;
    std::atomic<int>* cc1Port = nullptr;
    const bridge::FirmwareImage* firmwareImage = nullptr;
    std::string copySource;  // "...\*.*"
    // The R/W test pattern (null when it could not be read) and the compare's expected
    // counts, both prepared at START.
    std::shared_ptr<const PatternBlock> pattern;
    FolderCounts compareCounts;
    int osClass = 0;
    bool windows2000 = false;
    // Program close: the worker stops at its next step boundary and fails the device.
    const std::atomic<bool>* closing = nullptr;
    StepProcedures procedures;
};

class Worker {
  public:
    static constexpr const char* kCcSame = "Error: CC1 port number is same as CC2";
    static constexpr const char* kNoMemory = "Error: Failed to allocate memory!";
    static constexpr const char* kAmbiguous =
        "%d Port : two devices answer to the same USB instance id, the port is not re-found";

    Worker(Station& station, std::size_t slot, RunSettings settings, const RunShared& shared,
           char initialDriveLetter);

    // The whole sequence; returns when the device's verdict is in its record.
    void Run();

    // What procedures read.
    std::size_t slot() const { return slot_; }
    const PortRecord& record() const;
    const RunSettings& settings() const { return s_; }
    RunSettings& settings() { return s_; }
    bridge::Target target() const;
    Station& station() { return st_; }
    const RunShared& shared() const { return sh_; }
    char driveLetter() const { return letter_; }
    // The run's firmware image: the worker's own copy on the combined route, else the
    // run's (empty when firmware update is off).
    const bridge::FirmwareImage& firmware() const;
    bool failed() const { return failed_; }
    // Why the port failed where no step text says it (ambiguous pairing); empty otherwise.
    const std::string& note() const { return note_; }

    // Reset the bridge and find it again; false when it did not come back (the failure
    // flag is then set). With `activate` the reset is WriteBuffer mode 0x0F.
    bool ResetAndRefind(bool activate);

  private:
    template <typename F>
    void update(F&& f);
    void set(RunResult PortRecord::*field, RunResult value);
    void post();
    void progress(int add);
    void debug(const std::string& text);
    void fail(RunResult PortRecord::*field);
    bool missing(const char* what, bool supplied);
    bool refindOnce();

    bool stopped();
    void Start();
    void DeviceChecks();
    bool EraseAndRefind();  // steps 1 and 2; false: straight to the end
    void TypeCChecks();
    void ReadSpeed();
    void EepromVerify();
    void Usb31Check();
    void FirmwareCheck();
    void BuildConfig();
    void EepromFirmwareStage();
    void CombinedRoute();
    void SeparateRoute();
    void DiskStage();
    void Relink();
    void Partition();
    void FormatDisk();
    void ReadWriteTest();
    void SoftwareCopy();
    void FolderCompare();
    void TypeCPowerSwitch();
    void CloseFormatPrompt();
    void End();

    Station& st_;
    std::size_t slot_;
    RunSettings s_;
    const RunShared& sh_;
    PortRecord& rec_;
    char letter_ = 0;
    bool failed_ = false;
    std::optional<bridge::FirmwareImage> firmware_;
    std::string note_;
};

}  // namespace vq
