// The operator of a command-line run: every message is printed, as "TITLE: TEXT", and
// answered as the operator pressing OK would. A question (Yes/No, OK/Cancel) is answered
// "yes" only when the command was given --yes; otherwise it is answered "no" and kept, so
// that the command can name it and fail. An input box is never answered.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Operator.h"

namespace vq::cli {

class CliOperator final : public Operator {
  public:
    // `quiet`: plain OK messages are kept but not printed.
    CliOperator(bool yes, bool quiet, std::ostream& out) : yes_(yes), quiet_(quiet), out_(out) {}
    MessageAnswer showMessage(const OperatorMessage& m) override;
    std::optional<std::string> inputBox(const InputRequest& r) override;
    // The questions and input boxes answered "no" or left unanswered, in order.
    std::vector<std::string> unanswered() const;
    std::vector<OperatorMessage> messages() const;

  private:
    mutable std::mutex m_;
    bool yes_;
    bool quiet_;
    std::ostream& out_;
    std::vector<OperatorMessage> messages_;
    std::vector<std::string> unanswered_;
};

}  // namespace vq::cli
