#include "ui/qt/QtOperator.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>

namespace vq::ui {

namespace {

QMessageBox::Icon IconOf(MessageIcon i) {
    switch (i) {
        case MessageIcon::Error:
            return QMessageBox::Critical;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ButtonsOf(MessageButtons b) {
    switch (b) {
        case MessageButtons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MessageButtons::YesNo:
            return QMessageBox::Yes | QMessageBox::No;
        case MessageButtons::YesNoCancel:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case MessageButtons::Ok:
            break;
    }
    return QMessageBox::Ok;
}

MessageAnswer DefaultAnswer(MessageButtons b) {
    return b == MessageButtons::Ok || b == MessageButtons::OkCancel ? MessageAnswer::Ok
                                                                    : MessageAnswer::Yes;
}

}  // namespace

QtOperator::QtOperator(QObject* parent) : QObject(parent) {}

bool QtOperator::onUiThread() const {
    return QThread::currentThread() == thread();
}

MessageAnswer QtOperator::showMessage(const OperatorMessage& m) {
    if (onUiThread())
        return show(m);
    if (closing_)
        return DefaultAnswer(m.buttons);
    MessageAnswer a = DefaultAnswer(m.buttons);
    QMetaObject::invokeMethod(
        this, [&] { a = show(m); }, Qt::BlockingQueuedConnection);
    return a;
}

std::optional<std::string> QtOperator::inputBox(const InputRequest& r) {
    if (onUiThread())
        return ask(r);
    if (closing_)
        return std::nullopt;
    std::optional<std::string> a;
    QMetaObject::invokeMethod(
        this, [&] { a = ask(r); }, Qt::BlockingQueuedConnection);
    return a;
}

MessageAnswer QtOperator::show(const OperatorMessage& m) {
    QMessageBox box(IconOf(m.icon), QString::fromStdString(m.title), QString::fromStdString(m.text),
                    ButtonsOf(m.buttons), parent_);
    box.setObjectName("MessageBox");
    switch (box.exec()) {
        case QMessageBox::Cancel:
            return MessageAnswer::Cancel;
        case QMessageBox::Yes:
            return MessageAnswer::Yes;
        case QMessageBox::No:
            return MessageAnswer::No;
        default:
            return MessageAnswer::Ok;
    }
}

std::optional<std::string> QtOperator::ask(const InputRequest& r) {
    QInputDialog dlg(parent_);
    dlg.setObjectName("InputBox");
    dlg.setWindowTitle(QString::fromStdString(r.caption));
    dlg.setLabelText(QString::fromStdString(r.prompt));
    dlg.setTextValue(QString::fromStdString(r.initial));
    if (r.masked) {
        dlg.setTextEchoMode(QLineEdit::Password);
        // Typed characters show as '*' whatever the style's own password character is.
        if (auto* edit = dlg.findChild<QLineEdit*>())
            edit->setStyleSheet("lineedit-password-character: 42;");
    }
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    return dlg.textValue().toStdString();
}

}  // namespace vq::ui
