// The firmware file checks on arbitrary bytes: the image is taken whole or refused, and the
// fit check of every chip kind and revision and the clone marker read only inside the
// image's buffer.
#include <cstddef>
#include <cstdint>

#include "bridge/FirmwareImage.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq::bridge;
    const FirmwareImage image = FirmwareImage::FromBytes(vq::ConstBytes(data, size));
    Check(image.length() == (size <= kFirmwareBufferSize ? size : 0));
    Check(image.buffer().size() == kFirmwareBufferSize);
    for (int kind = 0; kind <= 36; ++kind) {
        for (int revision = 0; revision <= 5; ++revision) {
            (void)FirmwareFitsChip(image, MakeChipIdentity(static_cast<ChipKind>(kind),
                                                           static_cast<std::uint8_t>(revision)));
        }
    }
    (void)IsCloneFirmware(image);
    return 0;
}
