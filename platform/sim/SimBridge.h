// One emulated USB-to-ATA bridge board: the chip (identification, register space,
// configuration storage, firmware state), the parts fitted on the board (EEPROM, serial
// flash, parallel flash), the drives behind it, and its presence on the bus. It answers
// command blocks as the device would; SimScsi routes the pass-through requests to it.
//
// How the emulated device works inside, where the command contract leaves it open:
// - Every command costs its bus time (BridgeTiming) on the calling thread's clock; a
//   command whose cost exceeds the request's time-out fails with error 121 after the
//   time-out, while the device finishes what it started. A time-out of 0 means none.
// - Unknown blocks, wrong directions, host buffers shorter than the block's length and
//   out-of-range addresses answer CHECK CONDITION with sense data (REQUEST SENSE).
// - Serial flash: block erase (32 KiB) and page writes return at once and leave the
//   busy bit set for the part's time; chip erase and the memory writes (which erase and
//   program) hold the command until done. Before any flash operation the bridge waits
//   for a busy part, up to flashReadyLimitMs; a part that stays busy fails the command.
//   Any protection bit (2-4) protects the whole part: erases and programs are ignored.
//   Programming only clears bits. Word-program parts write one byte per page-program.
// - Firmware is found at every boot: present when the first 16 bytes of the firmware
//   area are neither all 0x00 nor all 0xFF (ROM kinds always run firmware). Flag bits
//   0x703A (0x15) and 0x70F3 (0x01) and the signature at 0xC000 show it.
// - Later families: the mask ROM takes only a manufacturing image of its exact size
//   (mode 6); the manufacturing program writes the flash by programming (erase it first
//   with WriteMemory mode 3); running firmware overwrites. Buffer 0 is the flash, buffer
//   1 the image booted from. The chip stores its own data at 512-1023 of each bank.
// - A reset or an activation takes the device off the bus at once; it boots from its
//   storage and returns after resetDelayMs, with a new bus generation: handles opened
//   before fail with error 1167. The identity is decoded as described at decodeIdentity.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ScsiPassThrough.h"
#include "platform/sim/BridgeProfile.h"
#include "platform/sim/SimBridgeConfig.h"
#include "platform/sim/SimBusPresence.h"
#include "platform/sim/SimClock.h"
#include "platform/sim/SimDrive.h"
#include "platform/sim/SimEeprom.h"
#include "platform/sim/SimImageRules.h"
#include "platform/sim/SimParallelFlash.h"
#include "platform/sim/SimSerialFlash.h"

namespace vq::sim {

// What the device makes of a command block; names are used by fault plans and traces.
enum class CommandKind : std::uint8_t {
    Unknown,
    TestUnitReady,
    RequestSense,
    Inquiry,
    InquiryVpd,
    ReadCapacity10,
    ReadCapacity16,
    Read10,
    Write10,
    ModeSense10,
    ModeSelect10,
    ReadBuffer,
    WriteBuffer,
    VendorBlockC3,
    AtaReadDmaExt,
    AtaWriteDmaExt,
    AtaPassThrough16,
    AtaFlushCache,
    AtaIdentifyPassThrough,
    AtaPassThrough12,
    IdentifyBridge,
    ReadChipWord,
    ReadXdata,
    WriteXdata,
    ReadMemory,
    WriteMemory,
    AtaIdentify,
    AtaSmartStatus,
    AtaCommand,
    ReadFlashBusy,
    ParallelFlashErase,
    ParallelFlashProgram,
    ParallelFlashRead,
    ParallelFlashSetup,
    ParallelFlashEnter,
    Service0F,
    SerialFlashRead,
    SerialFlashWrite,
    SerialFlashStatus,
    SerialFlashChipErase,
    SerialFlashEraseBlock,
    SerialFlashReadId,
    SpiCommand,
    SpiRead,
    SpiWrite,
    Service23Read,
    ReadConfigWord,
    ReadConfigWordAt,
    Service25,
    ResetBridge,
    ReadSubRevision,
    ReadChipInfo,
    SetStandbyTimer,
    ModeControl,
    Service56,
    Count
};

CommandKind ClassifyCommand(std::span<const std::uint8_t> cdb);
std::string_view CommandKindName(CommandKind kind);
std::optional<CommandKind> CommandKindFromName(std::string_view name);
// The fault types by their scenario names (failCommand, timeout, corruptProgram, ...).
std::optional<FaultSpec::Type> FaultTypeFromName(std::string_view name);

// One command block as the device received it and answered it.
struct TraceRecord {
    std::int64_t timeNs = 0;  // emulated time the command arrived
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    std::uint32_t length = 0;  // the host's transfer length
    CommandKind kind = CommandKind::Unknown;
    ScsiResult result;
};

// Formats a trace record as one line: time, command name, block bytes, result.
std::string FormatTraceRecord(const TraceRecord& record);

// The state of the buffers of the later families.
enum class BufferState : std::uint8_t { MaskRom, Program, Firmware };

// What a board keeps with its power off, and whether it is on the bus, for a machine that
// outlives the program (SimMachineState.h).
struct BridgeKept {
    std::vector<std::uint8_t> eeprom;
    std::vector<std::uint8_t> serialFlash;
    std::uint8_t flashProtection = 0;  // the status register's non-volatile bits (2-4, 7)
    std::vector<std::uint8_t> parallelFlash;
    std::string storedSerial;     // kinds 21 to 24: the serial stored at activation
    bool gone = false;            // off the bus until plugged in again or power-cycled
    std::uint8_t powerLines = 0;  // register 0x7059 (the port-power control board's lines)

    bool operator==(const BridgeKept&) const = default;
};

class SimBridge {
  public:
    SimBridge(BridgeConfig config, SimClock& clock, std::filesystem::path workFolder,
              std::uint32_t deviceNumber);
    SimBridge(const SimBridge&) = delete;
    SimBridge& operator=(const SimBridge&) = delete;

    // The pass-through seam. A handle carries the bus generation it was opened in; after
    // the device left the bus its old handles fail.
    ScsiResult execute(const ScsiRequest& request, std::uint64_t generation);
    // The current generation when the device is on the bus, nothing otherwise.
    std::optional<std::uint64_t> attach();
    std::optional<StorageDeviceNumber> deviceNumber(std::uint64_t generation);

    // Bus presence as the host sees it now.
    bool present();
    std::uint64_t generation();
    void unplug();     // the board is pulled off the bus (or ejected): gone at once
    void powerLost();  // its port power goes off: gone after timing.powerOffMs
    void plugIn();     // put back or powered again (a full boot; none when the supply
                       // came back before the board went dark)
    bool onCharge();   // running on after its power went off
    // Called, outside the device's lock, after the host wrote its registers (the
    // port-power control board's lines).
    void setRegisterListener(std::function<void()> listener);
    // Called, outside the device's lock, whenever the device leaves the bus by itself
    // (a reset, an activation, a vanish fault).
    void setBusListener(std::function<void()> listener);
    // Plans one more fault from now on (counted from the commands already seen).
    void addFault(const FaultSpec& fault);
    // The identity decoded from the configuration held at the last boot.
    UsbIdentity identity();

    const BridgeConfig& config() const { return config_; }
    const BridgeProfile& profile() const { return profile_; }
    std::uint32_t storageNumber() const { return deviceNumber_; }

    // Inspection, for tests and scenario tools.
    std::vector<TraceRecord> trace();
    void clearTrace();
    void setTraceSink(std::function<void(const TraceRecord&)> sink);
    std::vector<std::uint8_t> eeprom();
    std::vector<std::uint8_t> serialFlash();
    std::vector<std::uint8_t> parallelFlash();
    std::vector<std::uint8_t> registers(std::uint16_t address, std::size_t length);
    std::uint8_t flashStatus();  // the serial flash status register now
    bool firmwareRunning();
    BufferState bufferState();
    std::uint32_t standbyTimer();      // last standby time set, in 100 ms units
    std::uint8_t powerControlLines();  // register 0x7059: bit 3 port power, bit 4 line 2
    std::uint32_t resets();            // boots after a reset or activation
    SimDrive* drive(int position);     // 0 master, 1 slave; null when none

    // What the board keeps (SimBridgeKept.cpp).
    BridgeKept kept();
    // Puts kept contents back and boots from them, as at power-on; the port-power lines are
    // taken too when `powerLines`. Empty, else why the contents do not fit this board.
    std::string restoreKept(const BridgeKept& kept, bool powerLines);

  private:
    struct Exchange;

    // Bus and boot.
    void leaveBus(std::int64_t at, bool comeBack);
    void installFactoryImage();
    void planFault(const FaultSpec& fault);
    bool acceptsManufacturingImage(std::span<const std::uint8_t> image) const;
    void boot();
    StorageView storage() const;
    std::span<const std::uint8_t> heldConfigBlock() const { return HeldConfigBlock(storage()); }

    // Command families.
    void dispatch(Exchange& ex);
    void vendorDF(Exchange& ex);
    void service(Exchange& ex);
    void ataCommand(Exchange& ex, int position, std::uint8_t command, std::uint8_t features,
                    std::uint64_t lba, std::uint32_t count, bool viaVendor);
    void inquiry(Exchange& ex);
    void readCapacity(Exchange& ex, bool sixteen);
    void readWrite10(Exchange& ex, bool write);
    void modeSense(Exchange& ex);
    void modeSelect(Exchange& ex);
    void readBuffer(Exchange& ex);
    void writeBuffer(Exchange& ex);
    void identifyBridge(Exchange& ex);
    void readChipInfo(Exchange& ex);
    void readMemory(Exchange& ex);
    void writeMemory(Exchange& ex);
    void spiCommand(Exchange& ex);
    void spiRead(Exchange& ex);
    void spiWrite(Exchange& ex);
    void readFlashId(Exchange& ex);
    void parallel(Exchange& ex, std::uint8_t code);

    // Data phases and answers.
    void checkCondition(Exchange& ex, std::uint8_t key, std::uint8_t asc);
    bool sendIn(Exchange& ex, std::span<const std::uint8_t> answer);
    std::optional<std::span<const std::uint8_t>> takeOut(Exchange& ex, std::size_t length);
    void busTime(Exchange& ex, std::size_t bytes);

    // Storage.
    bool waitFlashReady(Exchange& ex);
    void flashProgram(std::uint32_t address, std::span<const std::uint8_t> bytes);
    void corrupt(std::vector<std::uint8_t>& store, std::uint32_t address, std::size_t length);
    bool corruptsSectors(std::uint64_t lba, std::uint64_t count) const;
    void corruptSectors(std::vector<std::uint8_t>& bytes, std::uint64_t lba,
                        std::uint32_t sectorSize) const;
    void writeFlashStatus(std::uint8_t value, Exchange& ex);
    void aaiProgram(std::uint8_t d0, std::uint8_t d1);
    std::uint32_t bufferCapacity() const;
    std::uint8_t presenceRegister() const;
    void readRegisters(std::uint32_t address, std::span<std::uint8_t> out) const;
    void readDiskArea();
    bool keepsDiskArea() const { return config_.kind == 7 || config_.kind == 8; }
    int lunDrive() const;
    std::int64_t now(const Exchange& ex) const;

    BridgeConfig config_;
    const BridgeProfile& profile_;
    SimClock& clock_;
    std::uint32_t deviceNumber_;
    std::mutex mutex_;

    // Bus.
    BusPresence bus_;
    bool noReturn_ = false;  // the next reset leaves it gone
    // The identity the board returns with from the next reset on (a fault), and the one
    // it shows now.
    std::optional<FaultSpec> otherIdentityArmed_, otherIdentity_;
    UsbIdentity identity_;

    // Chip state.
    std::vector<std::uint8_t> xdata_;
    // Parts on the board.
    EepromPart eeprom_;
    SerialFlashPart flash_;
    ParallelFlashPart parallel_;
    std::uint8_t spiOpcode_ = 0;  // the transaction a SpiRead or SpiWrite continues
    std::vector<std::uint8_t> spiAddress_;
    bool firmware_ = false;
    BufferState buffers_ = BufferState::MaskRom;
    std::vector<std::uint8_t> runningImage_;  // buffer id 1: the image booted from
    int bootBank_ = -1;                       // kinds 21 to 24: the bank booted from
    // What the running image reports (kinds 21 to 24 carry them in the image).
    std::array<std::uint8_t, 6> runningVersion_{};
    std::string runningVendor_, runningProduct_;
    // Kinds 21 to 24: the serial text of the identity record, stored at activation.
    std::string storedSerial_;
    std::vector<std::uint8_t> diskConfig_;       // kinds 7 and 8 without EEPROM: from the disk
    std::optional<std::uint64_t> diskFirmware_;  // kinds 7 and 8: R of the area booted from
    std::array<std::uint8_t, 6> diskVersion_{};  // kind 7: the version of that firmware
    std::uint32_t standby_ = 0;
    std::uint8_t modeByte_ = 0;
    std::int64_t modeSwitchDoneAt_ = -1;
    std::array<std::uint8_t, 4> configWordParams_{};
    std::array<std::uint8_t, 72> blockC3_{};
    std::array<std::uint8_t, 18> sense_{};

    std::array<std::unique_ptr<SimDrive>, 2> drives_;

    // Faults and trace.
    std::array<std::uint32_t, static_cast<std::size_t>(CommandKind::Count)> counts_{};
    std::uint32_t countAll_ = 0;
    std::deque<TraceRecord> trace_;
    std::vector<std::optional<CommandKind>> faultKinds_;  // per fault; nullopt: any kind
    std::function<void(const TraceRecord&)> traceSink_;
    std::function<void()> busListener_;
    std::function<void()> registerListener_;
};

}  // namespace vq::sim
