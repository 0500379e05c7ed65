// The test pattern of the read/write test: a text file of hexadecimal digits turned into
// 64 KiB blocks. Every letter or digit counts as one digit ('0'..'9' their value, a
// letter upper-cased its place from 'A' = 10 on, so 'G' is 16); everything else is
// skipped; two digits in a row make one byte, high digit first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace vq {

class FileService;

constexpr std::size_t kPatternBlockBytes = 65536;
using PatternBlock = std::array<std::uint8_t, kPatternBlockBytes>;

// Fills `block` (zeroed first) with block `blockIndex` of the bytes the text forms
// (index 0: bytes 0 to 65,535). The text may end early; the rest of the block stays zero.
// Returns the number of bytes of the block the text filled.
std::size_t ParseTestPattern(std::string_view text,
                             std::span<std::uint8_t, kPatternBlockBytes> block,
                             std::uint32_t blockIndex = 0);

// Reads the pattern file and fills `block` as ParseTestPattern does. False when the file
// cannot be opened or read (`*error` holds the system's error); the block is then zero.
bool LoadTestPattern(FileService& files, const std::filesystem::path& file,
                     std::span<std::uint8_t, kPatternBlockBytes> block,
                     std::uint32_t blockIndex = 0, std::uint32_t* error = nullptr);

// The pattern block of the run: loaded from the file at the first request and then handed
// out read-only to every worker for the rest of the process. A load that fails is not
// kept, so the next request tries the file again.
class TestPatternStore {
  public:
    // The block, or null when the file cannot be read (`*error` set).
    std::shared_ptr<const PatternBlock> get(FileService& files, const std::filesystem::path& file,
                                            std::uint32_t* error = nullptr);
    // The file the kept block came from; empty before the first successful load.
    std::filesystem::path loadedFrom() const;

  private:
    mutable std::mutex m_;
    std::shared_ptr<const PatternBlock> block_;
    std::filesystem::path file_;
};

}  // namespace vq
