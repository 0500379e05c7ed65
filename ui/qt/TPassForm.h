// The result window: a large "PASS" or "FAIL" after a run, shown without blocking the main
// window.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;

namespace vq::ui {

class TPassForm final : public QDialog {
    Q_OBJECT
  public:
    explicit TPassForm(QWidget* parent = nullptr);
    // Shows the window in front with the label of the outcome.
    void ShowResult(bool passed);
    bool result() const { return result_; }
    // Called when the operator closes the window (the main window moves its focus).
    void setOnClosed(std::function<void()> f) { onClosed_ = std::move(f); }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private:
    QLabel* passLabel_;
    QLabel* failLabel_;
    bool result_ = false;
    std::function<void()> onClosed_;
};

}  // namespace vq::ui
