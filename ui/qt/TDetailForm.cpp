#include "ui/qt/TDetailForm.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

namespace vq::ui {

namespace {

struct Box {
    const char* name;
    const char* label;
    std::string DetailFacts::*field;
};

constexpr Box kBoxes[] = {
    {"ChipIDEdit", "ChipID ", &DetailFacts::chipId},
    {"ModNumEdit", "Disk Name", &DetailFacts::diskName},
    {"StringAEdit", "Manufacture String ", &DetailFacts::stringA},
    {"String3Edit", "Serial Number String ", &DetailFacts::serial},
    {"StringBEdit", "USB Product String ", &DetailFacts::stringB},
    {"VendorIDEdit", "Vendor ID", &DetailFacts::vendorId},
    {"ProductIDEdit", "Product ID", &DetailFacts::productId},
    {"DiskLetterEdit", "Disk Letter ", &DetailFacts::diskLetter},
    {"HDCapEdit", "HDD Capacity ", &DetailFacts::capacity},
    {"FwVerEdit", "Firmware Ver. ", &DetailFacts::firmware},
    {"SFlashTypeEdit", "Flash Type", &DetailFacts::flashType},
    {"HDDFWRevEdit", "HDD FW Rev.", &DetailFacts::hddFirmware},
    {"DeviceTypeEdit", "Device Type", &DetailFacts::deviceType},
};

}  // namespace

TDetailForm::TDetailForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("DetailForm");
    setWindowTitle("Device Information");
    auto* form = new QFormLayout(this);
    for (const Box& b : kBoxes) {
        auto* e = new QLineEdit(this);
        e->setObjectName(b.name);
        e->setReadOnly(true);
        e->setMinimumWidth(320);
        auto* l = new QLabel(b.label, this);
        l->setObjectName(QString(b.name) + "Label");
        l->setBuddy(e);
        form->addRow(l, e);
    }
    // The serial number box is part of the form but not shown.
    form->setRowVisible(edit("String3Edit"), false);
    setFixedSize(sizeHint());
}

QLineEdit* TDetailForm::edit(const char* name) const {
    return findChild<QLineEdit*>(name);
}

void TDetailForm::showFacts(const DetailFacts& f) {
    for (const Box& b : kBoxes)
        edit(b.name)->setText(QString::fromStdString(f.*b.field));
    edit("HDDFWRevEdit")->setEnabled(f.hddFirmwareEnabled);
    show();
    raise();
    activateWindow();
}

}  // namespace vq::ui
