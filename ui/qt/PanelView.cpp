#include "ui/qt/PanelView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

namespace vq::ui {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QString ColourStyle(const std::string& fontColor) {
    if (fontColor == "clBlue")
        return "color: blue;";
    if (fontColor == "clRed")
        return "color: red;";
    return {};
}

}  // namespace

PanelView::PanelView(SettingsPanel& rules, std::function<void(const std::string&)> buttonClicked,
                     QObject* parent)
    : QObject(parent), rules_(rules), buttonClicked_(std::move(buttonClicked)) {
    for (const Control& c : rules_.panel().controls())
        create(c);
}

QWidget* PanelView::widget(std::string_view name) const {
    const auto it = widgets_.find(name);
    return it == widgets_.end() ? nullptr : it->second;
}

QLabel* PanelView::label(std::string_view name) const {
    const auto it = labels_.find(name);
    return it == labels_.end() ? nullptr : it->second;
}

void PanelView::create(const Control& c) {
    const QString name = Q(c.name);
    QWidget* w = nullptr;
    switch (c.kind) {
        case ControlKind::Button: {
            auto* b = new QPushButton(Q(c.caption));
            connect(b, &QPushButton::clicked, this, [this, n = c.name] {
                if (!syncing_)
                    buttonClicked_(n);  // the window checks whether it may act
            });
            w = b;
            break;
        }
        case ControlKind::CheckBox: {
            auto* b = new QCheckBox(Q(c.caption));
            connect(b, &QCheckBox::clicked, this, [this, n = c.name](bool checked) {
                if (!editable())
                    return;
                if (rules_.panel()[n].checked != checked)
                    rules_.userClick(n);
                if (afterClick_)
                    afterClick_(n);
                afterEdit();
            });
            w = b;
            break;
        }
        case ControlKind::ComboBox: {
            auto* b = new QComboBox;
            connect(b, &QComboBox::activated, this, [this, n = c.name](int index) {
                if (!editable())
                    return;
                rules_.userSelect(n, index);
                afterEdit();
            });
            w = b;
            break;
        }
        case ControlKind::Edit:
        case ControlKind::LabeledEdit: {
            auto* e = new QLineEdit;
            e->installEventFilter(this);
            connect(e, &QLineEdit::textEdited, this, [this, n = c.name](const QString& text) {
                if (!editable())
                    return;
                rules_.userEdit(n, text.toStdString());
                afterEdit();
            });
            w = e;
            if (!c.caption.empty()) {
                auto* l = new QLabel(Q(c.caption));
                l->setObjectName(name + "Label");
                l->setBuddy(e);
                labels_.emplace(c.name, l);
            }
            break;
        }
        case ControlKind::Label:
            w = new QLabel(Q(c.caption));
            break;
        case ControlKind::Panel: {
            auto* f = new QFrame;
            auto* caption = new QLabel(f);
            caption->setObjectName(name + "Caption");
            caption->setAlignment(Qt::AlignCenter);
            auto* l = new QHBoxLayout(f);
            l->setContentsMargins(0, 0, 0, 0);
            l->addWidget(caption);
            labels_.emplace(c.name, caption);
            w = f;
            break;
        }
        case ControlKind::GroupBox:
            w = new QGroupBox(Q(c.caption));
            break;
    }
    w->setObjectName(name);
    widgets_.emplace(c.name, w);
}

void PanelView::afterEdit() {
    // A rule may have handed work to the station thread, which then holds the model; the
    // window syncs again when it is back.
    if (!canEdit_ || canEdit_())
        sync();
    emit edited();
}

bool PanelView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || syncing_)
        return QObject::eventFilter(watched, event);
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (!edit)
        return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    char ch = 0;
    if (key->key() == Qt::Key_Backspace)
        ch = '\b';
    else if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
        ch = '\r';
    else if (key->text().size() == 1 && key->text()[0].unicode() >= 32 &&
             key->text()[0].unicode() < 127 && !(key->modifiers() & Qt::ControlModifier))
        ch = static_cast<char>(key->text()[0].unicode());
    if (ch == 0)
        return QObject::eventFilter(watched, event);  // caret moves, paste, ...: the edit's own
    if (!editable())
        return true;
    const std::string name = edit->objectName().toStdString();
    Control& c = rules_.panel()[name];
    // A selection is replaced as the edit would replace it; the caret is where the
    // operator put it.
    if (edit->hasSelectedText() && ch != '\r') {
        QString t = edit->text();
        const int start = edit->selectionStart();
        t.remove(start, edit->selectedText().size());
        rules_.userEdit(name, t.toStdString());
        c.caret = start;
        if (ch == '\b') {
            afterEdit();
            return true;
        }
    } else {
        c.caret =
            edit->cursorPosition() >= static_cast<int>(c.text.size()) ? -1 : edit->cursorPosition();
    }
    rules_.userKey(name, ch);
    afterEdit();
    return true;
}

void PanelView::sync() {
    syncing_ = true;
    for (const Control& c : rules_.panel().controls())
        syncOne(c);
    syncing_ = false;
}

void PanelView::syncOne(const Control& c) {
    QWidget* w = widget(c.name);
    const QSignalBlocker block(w);
    w->setVisible(c.visible);
    w->setEnabled(c.enabled);
    if (QLabel* l = label(c.name); l && c.kind != ControlKind::Panel) {
        l->setVisible(c.visible);
        l->setEnabled(c.enabled);
        l->setText(Q(c.caption));
    }
    const QString style = ColourStyle(c.fontColor);
    if (w->styleSheet() != style)
        w->setStyleSheet(style);
    switch (c.kind) {
        case ControlKind::Button:
            static_cast<QPushButton*>(w)->setText(Q(c.caption));
            break;
        case ControlKind::CheckBox: {
            auto* b = static_cast<QCheckBox*>(w);
            b->setText(Q(c.caption));
            b->setChecked(c.checked);
            break;
        }
        case ControlKind::ComboBox: {
            auto* b = static_cast<QComboBox*>(w);
            QStringList items;
            for (const auto& i : c.items)
                items << Q(i);
            QStringList shown;
            for (int i = 0; i < b->count(); ++i)
                shown << b->itemText(i);
            if (shown != items) {
                b->clear();
                b->addItems(items);
            }
            b->setCurrentIndex(c.itemIndex);
            break;
        }
        case ControlKind::Edit:
        case ControlKind::LabeledEdit: {
            auto* e = static_cast<QLineEdit*>(w);
            if (e->text() != Q(c.text))
                e->setText(Q(c.text));
            e->setReadOnly(c.readOnly);
            if (c.caret >= 0 && c.caret <= e->text().size())
                e->setCursorPosition(c.caret);
            break;
        }
        case ControlKind::Label:
            static_cast<QLabel*>(w)->setText(Q(c.caption));
            break;
        case ControlKind::Panel: {
            QLabel* caption = label(c.name);
            caption->setText(Q(c.caption));
            caption->setVisible(!c.caption.empty());
            break;
        }
        case ControlKind::GroupBox:
            static_cast<QGroupBox*>(w)->setTitle(Q(c.caption));
            break;
    }
}

void PanelView::applyFocus() {
    const std::string& f = rules_.panel().focus;
    if (f.empty())
        return;
    if (QWidget* w = widget(f); w && w->isVisibleTo(w->window()) && w->isEnabled())
        w->setFocus();
}

}  // namespace vq::ui
