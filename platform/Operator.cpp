#include "platform/Operator.h"

#include <iostream>

namespace vq {

namespace {
MessageAnswer FirstButton(MessageButtons b) {
    return (b == MessageButtons::YesNo || b == MessageButtons::YesNoCancel) ? MessageAnswer::Yes
                                                                            : MessageAnswer::Ok;
}
}  // namespace

MessageAnswer RecordingOperator::showMessage(const OperatorMessage& message) {
    std::lock_guard lock(m_);
    messages_.push_back(message);
    if (answers_.empty())
        return FirstButton(message.buttons);
    const MessageAnswer a = answers_.front();
    answers_.pop_front();
    return a;
}

std::optional<std::string> RecordingOperator::inputBox(const InputRequest& request) {
    std::lock_guard lock(m_);
    inputs_.push_back(request);
    if (replies_.empty())
        return std::nullopt;
    auto r = replies_.front();
    replies_.pop_front();
    return r;
}

void RecordingOperator::queueAnswer(MessageAnswer a) {
    std::lock_guard lock(m_);
    answers_.push_back(a);
}

void RecordingOperator::queueInput(std::optional<std::string> text) {
    std::lock_guard lock(m_);
    replies_.push_back(std::move(text));
}

std::vector<OperatorMessage> RecordingOperator::messages() const {
    std::lock_guard lock(m_);
    return messages_;
}

std::vector<InputRequest> RecordingOperator::inputs() const {
    std::lock_guard lock(m_);
    return inputs_;
}

void RecordingOperator::clear() {
    std::lock_guard lock(m_);
    messages_.clear();
    inputs_.clear();
    answers_.clear();
    replies_.clear();
}

MessageAnswer ConsoleOperator::showMessage(const OperatorMessage& message) {
    std::lock_guard lock(m_);
    std::cerr << message.title << ": " << message.text << '\n';
    if (!interactive_ || message.buttons == MessageButtons::Ok)
        return FirstButton(message.buttons);
    const bool yesNo = message.buttons != MessageButtons::OkCancel;
    std::cerr << (yesNo ? "[y/n] " : "[o(k)/c(ancel)] ") << std::flush;
    std::string line;
    if (!std::getline(std::cin, line))
        return FirstButton(message.buttons);
    const char c = line.empty() ? ' ' : line[0];
    if (yesNo) {
        if (c == 'n' || c == 'N')
            return MessageAnswer::No;
        if (c == 'c' || c == 'C')
            return MessageAnswer::Cancel;
        return MessageAnswer::Yes;
    }
    return (c == 'c' || c == 'C') ? MessageAnswer::Cancel : MessageAnswer::Ok;
}

std::optional<std::string> ConsoleOperator::inputBox(const InputRequest& request) {
    std::lock_guard lock(m_);
    std::cerr << request.caption << ": " << request.prompt << '\n';
    if (!interactive_)
        return std::nullopt;
    std::string line;
    if (!std::getline(std::cin, line))
        return std::nullopt;
    return line;
}

}  // namespace vq
