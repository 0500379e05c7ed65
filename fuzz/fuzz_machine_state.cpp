// The emulated station's state file on arbitrary bytes: it is refused with a reason or
// read, and what is read is written back to bytes that read the same. The input is tried
// as it is and again with the magic, the length and the checksum made right, so the body
// is reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "platform/sim/SimMachineState.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

void Try(const std::vector<std::uint8_t>& file) {
    using namespace vq::sim;
    const auto read = DecodeMachineState(file);
    if (std::holds_alternative<std::string>(read)) {
        Check(!std::get<std::string>(read).empty());
        return;
    }
    const MachineState& state = std::get<MachineState>(read);
    const std::string again = EncodeMachineState(state);
    const auto back = DecodeMachineState(
        std::span(reinterpret_cast<const std::uint8_t*>(again.data()), again.size()));
    Check(std::holds_alternative<MachineState>(back) && std::get<MachineState>(back) == state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> file(data, data + size);
    Try(file);
    if (file.size() < 28)
        return 0;
    std::memcpy(file.data(), "VQMSTATE", 8);
    const auto length = static_cast<std::uint32_t>(file.size());
    for (int i = 0; i < 4; ++i)
        file[12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    const std::uint32_t crc = vq::sim::StateChecksum(std::span(file).first(file.size() - 4));
    for (int i = 0; i < 4; ++i)
        file[file.size() - 4 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(crc >> (8 * i));
    Try(file);
    return 0;
}
