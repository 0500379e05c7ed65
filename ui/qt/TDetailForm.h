// The device detail window: read-only facts about the device on one port.
#pragma once

#include <QDialog>

#include "app/shell/DetailFacts.h"

class QLineEdit;

namespace vq::ui {

class TDetailForm final : public QDialog {
    Q_OBJECT
  public:
    explicit TDetailForm(QWidget* parent = nullptr);
    // FormShow: fills every box with the facts read for the selected port, then shows.
    void showFacts(const DetailFacts& facts);

  private:
    QLineEdit* edit(const char* name) const;
};

}  // namespace vq::ui
