// A text field of RunSettings: a zero-terminated 8-bit text of a fixed capacity (bytes,
// terminator included). Whatever is stored is cut at its first zero byte and to the
// capacity less one, as copying into the original character array does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vq {

class FixedText {
  public:
    explicit FixedText(std::size_t capacity) : capacity_(capacity) {}
    FixedText(std::size_t capacity, std::string_view text) : capacity_(capacity) { assign(text); }

    FixedText& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    FixedText& operator=(const FixedText& other) {
        assign(other.text_);
        return *this;
    }
    FixedText(const FixedText&) = default;

    void assign(std::string_view text) {
        const auto zero = text.find('\0');
        if (zero != std::string_view::npos)
            text = text.substr(0, zero);
        const std::size_t limit = capacity_ > 0 ? capacity_ - 1 : 0;
        if (text.size() > limit)
            text = text.substr(0, limit);
        text_.assign(text);
    }

    std::size_t capacity() const { return capacity_; }
    const std::string& str() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    std::size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    operator std::string_view() const { return text_; }

    bool operator==(const FixedText& o) const { return text_ == o.text_; }
    bool operator==(std::string_view s) const { return text_ == s; }

  private:
    std::size_t capacity_;
    std::string text_;
};

}  // namespace vq
