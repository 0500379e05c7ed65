#include "ui/qt/TMainForm.h"

namespace vq::ui {

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
    setObjectName("MainForm");
    setWindowTitle(kApplicationTitle);
    resize(1024, 700);
}

}  // namespace vq::ui
