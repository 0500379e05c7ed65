// vqmp: the operator's desktop program.
#include <QApplication>

#include "ui/qt/TMainForm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(vq::ui::kApplicationTitle);
    vq::ui::TMainForm form;
    form.show();
    return QApplication::exec();
}
