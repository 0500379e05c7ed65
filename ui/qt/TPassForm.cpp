#include "ui/qt/TPassForm.h"

#include <QCloseEvent>
#include <QFont>
#include <QLabel>

namespace vq::ui {

namespace {

QLabel* BigLabel(QWidget* parent, const char* name, const char* text, const char* colour,
                 const QRect& at) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    QFont f("Arial");
    f.setPixelSize(96);
    l->setFont(f);
    l->setStyleSheet(QString("color: %1;").arg(colour));
    l->setGeometry(at);
    l->setAlignment(Qt::AlignCenter);
    return l;
}

}  // namespace

TPassForm::TPassForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("PassForm");
    setWindowTitle("Result");
    setModal(false);
    setFixedSize(308, 146);
    passLabel_ = BigLabel(this, "passLabel", "PASS", "green", QRect(24, 16, 249, 107));
    failLabel_ = BigLabel(this, "failLabel", "FAIL", "red", QRect(48, 16, 198, 107));
}

void TPassForm::ShowResult(bool passed) {
    result_ = passed;
    passLabel_->setVisible(passed);
    failLabel_->setVisible(!passed);
    show();
    raise();
    activateWindow();
}

void TPassForm::closeEvent(QCloseEvent* event) {
    event->accept();
    hide();
    if (onClosed_)
        onClosed_();
}

void TPassForm::reject() {
    close();
}

}  // namespace vq::ui
