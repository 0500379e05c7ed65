#include "cli/CliOperator.h"

namespace vq::cli {

MessageAnswer CliOperator::showMessage(const OperatorMessage& m) {
    std::lock_guard lock(m_);
    messages_.push_back(m);
    if (!quiet_ || m.buttons != MessageButtons::Ok)
        out_ << m.title << ": " << m.text << "\n" << std::flush;
    switch (m.buttons) {
        case MessageButtons::Ok:
            return MessageAnswer::Ok;
        case MessageButtons::OkCancel:
            if (yes_)
                return MessageAnswer::Ok;
            unanswered_.push_back(m.text);
            return MessageAnswer::Cancel;
        default:
            if (yes_)
                return MessageAnswer::Yes;
            unanswered_.push_back(m.text);
            return MessageAnswer::No;
    }
}

std::optional<std::string> CliOperator::inputBox(const InputRequest& r) {
    std::lock_guard lock(m_);
    out_ << r.caption << ": " << r.prompt << "\n" << std::flush;
    unanswered_.push_back(r.prompt);
    return std::nullopt;
}

std::vector<std::string> CliOperator::unanswered() const {
    std::lock_guard lock(m_);
    return unanswered_;
}

std::vector<OperatorMessage> CliOperator::messages() const {
    std::lock_guard lock(m_);
    return messages_;
}

}  // namespace vq::cli
