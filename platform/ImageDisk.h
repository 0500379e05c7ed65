// A disk image file opened as a disk, with the standard library only, so every platform
// shares it: what a formatter or a test works on away from a station. Sectors are the
// file's bytes; the image does not grow. Pass-through answers TEST UNIT READY,
// READ CAPACITY(10), READ(10) and WRITE(10) as a disk would; other blocks get CHECK
// CONDITION (illegal request).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/DiskService.h"

namespace vq {

// Null with kFileNotFound when the file is not there, kInvalidParameter for a sector
// size other than 512 or 4096, kAccessDenied when it cannot be opened for writing.
std::unique_ptr<Disk> OpenImageDisk(const std::filesystem::path& path,
                                    std::uint32_t bytesPerSector = 512,
                                    std::uint32_t* error = nullptr);

}  // namespace vq
