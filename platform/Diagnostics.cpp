#include "platform/Diagnostics.h"

#include <iostream>

namespace vq {

void StreamDiagnostics::debugOutput(std::string_view text) {
    std::lock_guard lock(m_);
    if (!verbose_)
        return;
    std::cerr << "[debug] " << text;
    if (text.empty() || text.back() != '\n')
        std::cerr << '\n';
    std::cerr.flush();
}

void CapturingDiagnostics::debugOutput(std::string_view text) {
    std::lock_guard lock(m_);
    lines_.emplace_back(text);
}

std::vector<std::string> CapturingDiagnostics::lines() const {
    std::lock_guard lock(m_);
    return lines_;
}

void CapturingDiagnostics::clear() {
    std::lock_guard lock(m_);
    lines_.clear();
}

}  // namespace vq
