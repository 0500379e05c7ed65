// What a board keeps across power: its storage parts, the serial its firmware stored, and
// whether it is off the bus for good.
#include "platform/sim/SimBridge.h"

namespace vq::sim {

namespace {

constexpr std::uint16_t kPowerLines = 0x7059;

}  // namespace

BridgeKept SimBridge::kept() {
    std::lock_guard lock(mutex_);
    BridgeKept k;
    k.eeprom = eeprom_.bytes();
    k.serialFlash = flash_.bytes();
    k.flashProtection = flash_.protectionBits();
    k.parallelFlash = parallel_.bytes();
    k.storedSerial = storedSerial_;
    k.gone = bus_.gone();
    k.powerLines = xdata_[kPowerLines];
    return k;
}

std::string SimBridge::restoreKept(const BridgeKept& k, bool powerLines) {
    std::lock_guard lock(mutex_);
    const auto fits = [](const char* what, std::size_t have, std::size_t kept) {
        return have == kept ? std::string()
                            : std::string(what) + " of " + std::to_string(kept) +
                                  " bytes, the board has " + std::to_string(have);
    };
    for (const auto& why :
         {fits("EEPROM", eeprom_.bytes().size(), k.eeprom.size()),
          fits("serial flash", flash_.bytes().size(), k.serialFlash.size()),
          fits("parallel flash", parallel_.bytes().size(), k.parallelFlash.size())}) {
        if (!why.empty())
            return why;
    }
    eeprom_.bytes() = k.eeprom;
    flash_.bytes() = k.serialFlash;
    flash_.setProtectionBits(k.flashProtection);
    parallel_.bytes() = k.parallelFlash;
    storedSerial_ = k.storedSerial;
    boot();
    if (powerLines)
        xdata_[kPowerLines] = k.powerLines;
    if (k.gone && !bus_.gone())
        bus_.leave();
    return {};
}

}  // namespace vq::sim
