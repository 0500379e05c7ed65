// A zero-filled byte buffer whose address is a multiple of its alignment, for transfers
// without the system's cache (sector-aligned addresses and lengths).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace vq {

class AlignedBuffer {
  public:
    static constexpr std::size_t kDefaultAlignment = 4096;

    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t size, std::size_t alignment = kDefaultAlignment)
        : size_(size), alignment_(alignment) {
        if (size_ != 0) {
            data_ = static_cast<std::uint8_t*>(::operator new(size_, std::align_val_t(alignment_)));
            std::memset(data_, 0, size_);
        }
    }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    AlignedBuffer(AlignedBuffer&& o) noexcept { swap(o); }
    AlignedBuffer& operator=(AlignedBuffer&& o) noexcept {
        AlignedBuffer(std::move(o)).swap(*this);
        return *this;
    }
    ~AlignedBuffer() {
        if (data_ != nullptr)
            ::operator delete(data_, std::align_val_t(alignment_));
    }

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::span<std::uint8_t> span() { return {data_, size_}; }
    std::span<const std::uint8_t> span() const { return {data_, size_}; }

  private:
    void swap(AlignedBuffer& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(alignment_, o.alignment_);
    }
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t alignment_ = kDefaultAlignment;
};

}  // namespace vq
