// The station's main window. Widgets only mirror the headless panel model; no rule of
// the station lives here.
#pragma once

#include <QMainWindow>

namespace vq::ui {

inline constexpr const char* kApplicationTitle = "VQ5742x Mass Production Tool";

class TMainForm : public QMainWindow {
    Q_OBJECT
  public:
    explicit TMainForm(QWidget* parent = nullptr);
};

}  // namespace vq::ui
