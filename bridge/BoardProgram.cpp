#include "bridge/BoardProgram.h"

#include <array>

#include "bridge/VendorCommands.h"

namespace vq::bridge {

const char* RouteName(Route route) {
    switch (route) {
        case Route::None:
            return "none";
        case Route::Eeprom:
            return "EEPROM";
        case Route::DiskResident:
            return "disk-resident configuration";
        case Route::SerialFlashConfig:
            return "serial flash (configuration at 0x8000)";
        case Route::ParallelFlash:
            return "parallel flash";
        case Route::CombinedFlash:
            return "serial flash (configuration block before the firmware)";
        case Route::MemoryImage:
            return "memory image";
        case Route::MemoryImageSerial:
            return "memory image through the serial-flash commands";
        case Route::LaterFamily:
            return "manufacturing ROM download";
    }
    return "";
}

namespace {

bool Combined(const Target& t, const BoardJob& job, const FirmwareImage& firmware) {
    if (job.eepromOnly || (!job.eepromUpdate && !job.firmwareUpdate))
        return false;
    if (job.kind == 30 || job.kind == 35)
        return true;
    return ConfigInFlash(job.kind, t, firmware.length());
}

// Kinds 11 to 13 use the memory commands at speed class 3 or more, or when the second
// byte of register 0xFDB0 is 180 or more; the serial-flash commands otherwise.
bool MemoryForm(const Target& t, const BoardJob& job) {
    if (job.usbSpeed >= 3 && job.usbSpeed != 255)
        return true;
    std::array<std::uint8_t, 4> reg{};
    return ReadXdata(t, 0xFDB0, reg) && reg[1] >= 180;
}

}  // namespace

Route ChooseRoute(const Target& t, const BoardJob& job, const FirmwareImage& firmware) {
    if (!job.eepromUpdate && !job.firmwareUpdate)
        return Route::None;
    if (job.kind >= 21 && job.kind <= 29)
        return Route::LaterFamily;
    if (!Combined(t, job, firmware))
        return job.eepromUpdate || job.firmwareUpdate ? Route::Eeprom : Route::None;
    switch (job.kind) {
        case 9:
            return Route::CombinedFlash;
        case 11:
        case 12:
        case 13:
            return MemoryForm(t, job) ? Route::MemoryImage : Route::MemoryImageSerial;
        case 19:
        case 20:
            return Route::MemoryImage;
        case 30:
        case 35:
            return Route::ParallelFlash;
        default:
            return Route::SerialFlashConfig;
    }
}

bool WriteBoardConfiguration(const Target& t, const BoardJob& job, const FirmwareImage& firmware,
                             const UpdateContext& ctx, Route* route) {
    const bool tested = job.kind == 7 || (job.kind == 8 && job.chipStep > 47);
    bool onDisk = false;
    bool ok = false;
    if (tested && !TestEeprom(t) && job.eepromAtHdd) {
        onDisk = true;
        ok = WriteDiskResidentConfig(t, job.config, job.kind);
    } else {
        ok = WriteEeprom(t, job.config, job.eepromRetry);
    }
    if (ok && job.kind == 8 && job.kestrinCustomer) {
        ok = (onDisk || WriteDiskResidentConfig(t, job.config, job.kind)) &&
             WriteDiskResidentFirmware(t, job.kind, firmware, ctx);
        onDisk = true;
    }
    if (route)
        *route = onDisk ? Route::DiskResident : Route::Eeprom;
    return ok;
}

bool ProgramBoard(const Target& t, const BoardJob& job, const FirmwareImage& firmware,
                  const UpdateContext& ctx, Route* routeOut) {
    if (job.kind == 13)
        Service25(t);  // its result is not judged
    Route route = ChooseRoute(t, job, firmware);
    bool ok = false;
    switch (route) {
        case Route::None:
        case Route::LaterFamily:
            ok = false;
            break;
        case Route::CombinedFlash:
            ok = UpdateCombinedFlash(t, job.eepromUpdate, job.firmwareUpdate, job.config, firmware,
                                     ctx);
            break;
        case Route::MemoryImage:
        case Route::MemoryImageSerial: {
            const bool later = job.kind == 19 || job.kind == 20;
            const ConstBytes block = later ? ConstBytes(job.extended) : ConstBytes(job.config);
            ok = WriteMemoryImage(t, job.kind, job.eepromUpdate, job.firmwareUpdate, block,
                                  job.productRevision, firmware, route == Route::MemoryImageSerial,
                                  ctx);
            break;
        }
        case Route::ParallelFlash:
            ok = WriteParallelFlashConfig(t, job.eepromUpdate, job.firmwareUpdate, job.parallel,
                                          job.parallelFlashType, firmware);
            break;
        case Route::SerialFlashConfig:
            ok = WriteSerialFlashConfig(t, job.eepromUpdate, job.firmwareUpdate, job.config,
                                        firmware, NeedsWordProgram(t, job.flashType));
            break;
        case Route::Eeprom:
        case Route::DiskResident: {
            // The separate route: the firmware first, then the configuration.
            ok = true;
            if (job.firmwareUpdate)
                ok = UpdateFirmware(t, job.kind, job.parallelFlashType, firmware, ctx);
            if (ok && job.eepromUpdate)
                ok = WriteBoardConfiguration(t, job, firmware, ctx, &route);
            break;
        }
    }
    if (routeOut)
        *routeOut = route;
    return ok;
}

}  // namespace vq::bridge
