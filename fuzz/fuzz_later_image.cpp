// Firmware files of the later bridge families on arbitrary bytes: what the station reads
// from a file (model, banks, checksums, the kinds it serves), and the invariants of the
// patching (after it both banks carry a valid header and configuration checksum).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/LaterImage.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq::bridge;
    const vq::ConstBytes file(data, size);
    const LaterImageFacts facts = DescribeLaterImage(file);
    Check(facts.size == size);
    for (auto chip : facts.serves)
        Check(LaterImageSizeFits(KindOf(chip), size));

    // The input spread over a whole two-bank image: at the front of each bank and at its
    // end, where the checksums live.
    std::vector<std::uint8_t> image(kLaterImageSize, 0);
    const std::size_t n = std::min(size, kLaterBankSize);
    for (std::size_t bank : {std::size_t{0}, kLaterBankSize}) {
        std::copy_n(data, n, image.begin() + bank);
        std::copy_n(data, std::min<std::size_t>(n, 16), image.begin() + bank + kLaterBankSize - 16);
    }
    image[3] = '6';  // a model of the two-bank family
    image[4] = '7';
    image[5] = '1';
    LaterImageSettings s;
    const std::string text(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 40));
    s.inquiryVendor = text;
    s.inquiryProduct = text;
    s.manufacturer = text;
    s.product = text;
    s.manuProdSourceCtl = size % 2;
    s.inquirySourceCtl = size % 3;
    s.cloneProduct = size % 5 == 0;
    Check(PatchImageConfig(image, s));
    Check(PatchImageHeader(image));
    const LaterImageFacts patched = DescribeLaterImage(image);
    Check(patched.size == kLaterImageSize && patched.banks == 2);
    Check(patched.headerPresent[0] && patched.headerPresent[1]);
    Check(patched.configCrcOk[0]);
    Check(s.cloneProduct || patched.configCrcOk[1]);
    (void)BuildSettingBlock(s);
    return 0;
}
