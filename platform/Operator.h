// The person at the station: modal messages and the password input box. The GUI shows
// real dialogs; the CLI prints; tests record and answer from a script.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vq {

enum class MessageIcon { None, Error, Warning, Information, Question };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel };
// Answers carry the Windows button numbers, which the station compares against.
enum class MessageAnswer { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

struct OperatorMessage {
    std::string text;
    std::string title;  // "Error", "Warning", "Message" or a caption of the caller's
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

struct InputRequest {
    std::string caption;
    std::string prompt;
    std::string initial;
    bool masked = false;  // password characters shown as '*'
};

class Operator {
  public:
    virtual ~Operator() = default;
    virtual MessageAnswer showMessage(const OperatorMessage& message) = 0;
    // nullopt when the operator cancels.
    virtual std::optional<std::string> inputBox(const InputRequest& request) = 0;
};

// Records every message and input request; answers from queued replies, else with the
// first button (OK / Yes) and with a cancelled input box.
class RecordingOperator final : public Operator {
  public:
    MessageAnswer showMessage(const OperatorMessage& message) override;
    std::optional<std::string> inputBox(const InputRequest& request) override;

    void queueAnswer(MessageAnswer a);
    void queueInput(std::optional<std::string> text);
    std::vector<OperatorMessage> messages() const;
    std::vector<InputRequest> inputs() const;
    void clear();

  private:
    mutable std::mutex m_;
    std::vector<OperatorMessage> messages_;
    std::vector<InputRequest> inputs_;
    std::deque<MessageAnswer> answers_;
    std::deque<std::optional<std::string>> replies_;
};

// Prints messages to standard error as "TITLE: TEXT". Interactive, it asks on the
// terminal; otherwise it answers OK / Yes and cancels input boxes.
class ConsoleOperator final : public Operator {
  public:
    explicit ConsoleOperator(bool interactive) : interactive_(interactive) {}
    MessageAnswer showMessage(const OperatorMessage& message) override;
    std::optional<std::string> inputBox(const InputRequest& request) override;

  private:
    std::mutex m_;
    bool interactive_;
};

}  // namespace vq
