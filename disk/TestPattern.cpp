#include "disk/TestPattern.h"

#include <algorithm>
#include <vector>

#include "platform/FileService.h"

namespace vq {

namespace {

// The digit value of a letter or digit, -1 for anything else. Letters past 'F' give
// values above 15, which spill into the high digit of the byte as the byte is formed.
int DigitValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return -1;
}

// Turns text into pattern bytes, keeping only those of one block. The state survives
// between pieces of the file, so a digit pair may straddle two reads.
class PatternParser {
  public:
    PatternParser(std::span<std::uint8_t, kPatternBlockBytes> block, std::uint32_t blockIndex)
        : block_(block), first_(std::uint64_t{blockIndex} * kPatternBlockBytes) {
        std::fill(block_.begin(), block_.end(), std::uint8_t{0});
    }

    // False once the block is complete (the rest of the text does not matter).
    bool feed(std::string_view text) {
        for (const char ch : text) {
            const int d = DigitValue(static_cast<unsigned char>(ch));
            if (d < 0)
                continue;
            if (high_ < 0) {
                high_ = d;
                continue;
            }
            const auto byte = static_cast<std::uint8_t>((high_ << 4) + d);
            high_ = -1;
            if (formed_ >= first_)
                block_[filled_++] = byte;
            ++formed_;
            if (filled_ == kPatternBlockBytes)
                return false;
        }
        return true;
    }
    std::size_t filled() const { return filled_; }

  private:
    std::span<std::uint8_t, kPatternBlockBytes> block_;
    std::uint64_t first_;
    std::uint64_t formed_ = 0;
    std::size_t filled_ = 0;
    int high_ = -1;
};

}  // namespace

std::size_t ParseTestPattern(std::string_view text,
                             std::span<std::uint8_t, kPatternBlockBytes> block,
                             std::uint32_t blockIndex) {
    PatternParser parser(block, blockIndex);
    parser.feed(text);
    return parser.filled();
}

bool LoadTestPattern(FileService& files, const std::filesystem::path& file,
                     std::span<std::uint8_t, kPatternBlockBytes> block, std::uint32_t blockIndex,
                     std::uint32_t* error) {
    PatternParser parser(block, blockIndex);
    std::uint32_t err = 0;
    auto f = files.open(file, FileMode::OpenExisting, FileAccess::Read, false, &err);
    if (!f) {
        if (error)
            *error = err;
        return false;
    }
    std::vector<std::uint8_t> piece(256 * 1024);
    for (;;) {
        const IoResult r = f->read(piece);
        if (!r.ok) {
            std::fill(block.begin(), block.end(), std::uint8_t{0});
            if (error)
                *error = r.error;
            return false;
        }
        if (r.bytes == 0)
            break;
        const std::string_view text(reinterpret_cast<const char*>(piece.data()), r.bytes);
        if (!parser.feed(text))
            break;
    }
    if (error)
        *error = 0;
    return true;
}

std::shared_ptr<const PatternBlock> TestPatternStore::get(FileService& files,
                                                          const std::filesystem::path& file,
                                                          std::uint32_t* error) {
    std::lock_guard lock(m_);
    if (block_) {
        if (error)
            *error = 0;
        return block_;
    }
    auto block = std::make_shared<PatternBlock>();
    if (!LoadTestPattern(files, file, *block, 0, error))
        return nullptr;
    block_ = std::move(block);
    file_ = file;
    return block_;
}

std::filesystem::path TestPatternStore::loadedFrom() const {
    std::lock_guard lock(m_);
    return file_;
}

}  // namespace vq
