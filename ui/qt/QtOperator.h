// The person at the station, through modal Qt dialogs. Any thread may ask: a call from
// another thread is carried out on the user-interface thread, and the caller waits for the
// answer.
#pragma once

#include <QObject>
#include <atomic>

#include "platform/Operator.h"

class QWidget;

namespace vq::ui {

class QtOperator final : public QObject, public Operator {
    Q_OBJECT
  public:
    explicit QtOperator(QObject* parent = nullptr);
    // The window the dialogs belong to.
    void setParentWidget(QWidget* w) { parent_ = w; }
    // The program is ending: questions from other threads get the default answer without
    // a dialog, so nothing waits for a user-interface thread that no longer answers.
    void setClosing() { closing_ = true; }

    MessageAnswer showMessage(const OperatorMessage& message) override;
    std::optional<std::string> inputBox(const InputRequest& request) override;

  private:
    MessageAnswer show(const OperatorMessage& message);
    std::optional<std::string> ask(const InputRequest& request);
    bool onUiThread() const;

    QWidget* parent_ = nullptr;
    std::atomic<bool> closing_{false};
};

}  // namespace vq::ui
