// EEPROM field editing: while the operator edits VID, PID and the USB strings, each change is
// written at once into the working ConfigImage through the EEPROM layout table; the EEPROM
// type decides the layout and reloads the image from its template; the string-mapping check
// boxes and the string-source controls.
#include <algorithm>

#include "app/PanelMessages.h"
#include "app/SettingsPanel.h"
#include "base/Text.h"

namespace vq {

namespace {

constexpr std::string_view kNull = msg::kNullMarker;

bool EmptyOrNull(std::string_view t) {
    return t.empty() || t == kNull;
}

// The vendor text padded with spaces (and cut) to 8 characters.
std::string Vendor8(std::string_view vendor) {
    std::string v(vendor.substr(0, std::min<std::size_t>(vendor.size(), 8)));
    v.resize(8, ' ');
    return v;
}

std::string Cut(std::string_view t, std::size_t n) {
    return std::string(t.substr(0, std::min(t.size(), n)));
}

void SetByte(ConfigImage& image, int pos, std::uint8_t v) {
    if (pos >= 0 && static_cast<std::size_t>(pos) < image.size())
        image[static_cast<std::size_t>(pos)] = v;
}

void OrByte(ConfigImage& image, int pos, std::uint8_t bits) {
    if (pos >= 0 && static_cast<std::size_t>(pos) < image.size())
        image[static_cast<std::size_t>(pos)] |= bits;
}

void AndByte(ConfigImage& image, int pos, std::uint8_t mask) {
    if (pos >= 0 && static_cast<std::size_t>(pos) < image.size())
        image[static_cast<std::size_t>(pos)] &= mask;
}

}  // namespace

int SettingsPanel::eepromTypeIndex() const {
    return p_["EEPROMType"].itemIndex;
}

void SettingsPanel::setLayout(LayoutRow row) {
    s_.Layout = LayoutOf(row);
}

void SettingsPanel::cutText(std::string_view control, std::size_t max, bool caretBeforeLast) {
    Control& ctl = c(control);
    const int caret = ctl.caret;
    ctl.text.resize(max);
    if (caretBeforeLast)
        ctl.caret = max > 0 ? static_cast<int>(max) - 1 : 0;
    else
        ctl.caret = (caret < 0 || static_cast<std::size_t>(caret) >= max) ? -1 : caret;
    runChangeHandler(ctl.name);
}

bool SettingsPanel::serialCharactersValid(std::string_view text) const {
    const bool aToZ = s_.MPSnAToZ != 0;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9')
            continue;
        const char u = ToUpperAscii(ch);
        if (u >= 'A' && u <= (aToZ ? 'Z' : 'F'))
            continue;
        return false;
    }
    return true;
}

// The manufacturer string built from the vendor and product parts, shown in StringAEdit
// (where its change rule encodes it as text) and then written as the 24-character field of
// vendor text padded with spaces to 8 and product text padded with zero bytes to 16.
void SettingsPanel::showStringAFromParts(bool writeField) {
    const std::string vendor = Vendor8(c("VendorStrEdit").text);
    const std::string product = Cut(c("ProdStrEdit").text, 16);
    setText("StringAEdit", vendor + product);
    if (writeField) {
        std::string field = vendor + product;
        field.resize(24, '\0');
        PutPanelStringDescriptor(field, 24, s_.Layout.charWidth, s_.Config,
                                 s_.Layout.stringA.position);
    }
}

// ---------------------------------------------------------------- string encoding

void SettingsPanel::StringAEditChange(std::string_view sender) {
    Control& ctl = c(sender);
    const int tag = ctl.tag;
    const ConfigLayout& L = s_.Layout;
    std::string text = ctl.text;

    if (family_ == EepromFamily::ParallelFlash) {
        // The vendor and product parts have no place in the images of this family.
        if (tag != 0 && tag != 1 && tag != 2)
            return;
        const StringSlot slot = tag == 0 ? L.stringA : tag == 1 ? L.stringB : L.serial;
        if (text == kNull) {
            SetByte(s_.Config, slot.position, 4);
            return;
        }
        const auto max = static_cast<std::size_t>(std::max(slot.maxChars, 0));
        if (text.size() > max) {
            cutText(sender, max, false);  // runs this handler again with the cut text
            return;
        }
        PutPanelStringDescriptor(text, slot.maxChars, 1, s_.Config, slot.position);
        return;
    }

    // Standard family.
    if (tag == 2 && eepromTypeIndex() == 0)
        return;  // Type 1 has no serial string
    StringSlot slot;
    std::size_t max = 0;
    switch (tag) {
        case 0:
            slot = L.stringA;
            break;
        case 1:
            slot = L.stringB;
            break;
        case 2:
            slot = L.serial;
            break;
        case 3:
            max = 8;
            break;
        case 4:
            max = 16;
            break;
        default:
            return;
    }
    if (tag <= 2)
        max = static_cast<std::size_t>(std::max(slot.maxChars, 0));

    if (text == kNull) {
        if (tag == 3 || tag == 4) {
            const char* other = tag == 3 ? "ProdStrEdit" : "VendorStrEdit";
            if (c(other).text == kNull) {
                SetByte(s_.Config, L.stringA.position, 4);
                return;
            }
            setText(sender, "");
            text.clear();
        } else {
            SetByte(s_.Config, slot.position, 4);
            return;
        }
    }

    if (text.size() > max) {
        // The cut runs this handler again with the cut text, which checks and writes it.
        cutText(sender, max, true);
        return;
    }

    const Control& mapSn = c("StrA2SNChk");
    const bool check = !text.empty() && (tag == 2 || (tag == 0 && mapSn.visible && mapSn.checked));
    if (check && !serialCharactersValid(text)) {
        plainMessage(msg::kSerialContent);
        return;
    }

    if (tag == 3 || tag == 4) {
        showStringAFromParts(true);
        return;
    }
    PutPanelStringDescriptor(text, slot.maxChars, L.charWidth, s_.Config, slot.position);
}

void SettingsPanel::VenderIDEditChange(std::string_view sender) {
    Control& ctl = c(sender);
    const int pos = s_.Layout.vidPos + (ctl.name == "ProductIDEdit" ? 2 : 0);
    std::string text = ctl.text;
    std::uint16_t value = 0;
    if (!text.empty()) {
        if (text.size() > 4) {
            text.resize(4);
            setText(sender, text);
        }
        value = static_cast<std::uint16_t>(ParseHex(text) & 0xFFFF);
    }
    PutConfigWord(s_.Config, pos, value);
}

void SettingsPanel::StringCEditChange() {
    if (c("StringCEdit").text.size() > 30)
        cutText("StringCEdit", 30, true);
}

// ---------------------------------------------------------------- EEPROM type

void SettingsPanel::EEPROMTypeChange() {
    const int index = eepromTypeIndex();
    s_.TableType = index + 1;
    const std::string a = c("StringAEdit").text;
    const std::string b = c("StringBEdit").text;
    const std::string serial = c("String3Edit").text;
    const std::string vid = c("VendorIDEdit").text;
    const std::string pid = c("ProductIDEdit").text;
    ConfigImage& img = s_.Config;
    LayoutRow row;

    if (family_ == EepromFamily::Standard) {
        setLayout(LayoutRow::StandardType1);
        c("StringAEdit").hexKeyFilter = false;
        if (index == 0) {
            row = LayoutRow::StandardType1;
            c("Panel4").visible = false;
            Control& sn = c("StrA2SNChk");
            sn.visible = true;
            sn.left = c("StrA2DiskStrChk").left;
            sn.top = c("StrA2DiskStrChk").top;
            c("StrA2DiskStrChk").visible = false;
            s_.Layout.charWidth = 2;
            StrA2SNChkClick();
        } else if (index == 1) {
            row = LayoutRow::StandardType2;
            c("Panel4").visible = true;
            s_.Layout.charWidth = 2;
            c("String3Edit").enabled = true;
            c("String3Edit").visible = true;
            c("Str3AutoInc").visible = true;
            setLayout(row);
            c("StrA2DiskStrChk").visible = false;
            c("StrA2SNChk").visible = false;
            c("StrAAutoInc").visible = false;
        } else {
            row = LayoutRow::StandardType3;
            c("Panel4").visible = true;
            c("String3Edit").enabled = true;
            c("String3Edit").visible = true;
            c("Str3AutoInc").visible = true;
            setLayout(row);
            c("StrA2DiskStrChk").visible = true;
            c("StrAAutoInc").visible = false;
        }
        StrA2DiskStrChkClick();
        ApplyTemplate(img, TemplateOf(row));
        const int flag = s_.Layout.flagPos;
        if (row == LayoutRow::StandardType3 && c("StrA2DiskStrChk").checked) {
            SetByte(img, s_.Layout.mfrIndexPos, kIndexFromDrive);
            if (in_.chipKind17or18Attached)
                OrByte(img, flag, kFlagMapToDriveName | kFlagDriveInquiry);
            else
                SetByte(img, flag, kFlagMapToDriveName | kFlagDriveInquiry);
        }
        if (row == LayoutRow::StandardType3 && in_.chipKind17or18Attached && flag >= 0 &&
            (img[static_cast<std::size_t>(flag)] & kFlagShortStrings) != 0) {
            s_.Layout.stringA.maxChars = 20;
            s_.Layout.serial.maxChars = 20;
        }
        if (row != LayoutRow::StandardType1) {
            OrByte(img, kUsbOptionByte, kUsbOptionCompact);
            if (c("EnableUSBFirst").checked)
                OrByte(img, kUsbOptionByte, kUsbOptionEnableFirst);
        }
    } else {
        c("StrA2SNChk").visible = false;
        c("StrAAutoInc").visible = false;
        c("String3Edit").enabled = true;
        c("String3Edit").visible = true;
        c("Str3AutoInc").visible = true;
        c("Panel4").visible = true;
        setLayout(LayoutRow::ParallelNormal);
        if (index == 0) {
            row = LayoutRow::ParallelNormal;
            s_.Layout.charWidth = 2;
            c("EnableUSBFirst").visible = false;
            c("StrA2DiskStrChk").visible = false;
        } else {
            row = LayoutRow::ParallelType3;
            setLayout(row);
            c("StrA2DiskStrChk").visible = true;
        }
        StrA2DiskStrChkClick();
        ApplyTemplate(img, TemplateOf(row));
        if (s_.Layout.charWidth == 1) {
            OrByte(img, kUsbOptionByte, kUsbOptionCompact);
            if (c("EnableUSBFirst").checked)
                OrByte(img, kUsbOptionByte, kUsbOptionEnableFirst);
        }
    }

    // Write the remembered texts into the fresh image with the new limits.
    const std::pair<const char*, const std::string*> texts[] = {{"StringAEdit", &a},
                                                                {"StringBEdit", &b},
                                                                {"String3Edit", &serial},
                                                                {"VendorIDEdit", &vid},
                                                                {"ProductIDEdit", &pid}};
    for (const auto& [name, text] : texts) {
        setText(name, "");
        // An empty text is written as well, though the edit may have been empty already.
        if (text->empty())
            runChangeHandler(name);
        else
            setText(name, *text);
    }
}

// ---------------------------------------------------------------- string mapping

void SettingsPanel::StrA2DiskStrChkClick() {
    const Control& box = c("StrA2DiskStrChk");
    ConfigImage& img = s_.Config;
    const ConfigLayout& L = s_.Layout;
    if (box.checked && box.visible) {
        c("StringAEdit").visible = false;
        for (const char* n : {"VendorStrEdit", "ProdStrEdit", "StrALabel"})
            c(n).visible = true;
        OrByte(img, L.flagPos, kFlagMapToDriveName | kFlagDriveInquiry);
        SetByte(img, L.mfrIndexPos, kIndexFromDrive);
        const std::string a = c("StringAEdit").text;
        if (EmptyOrNull(a)) {
            showStringAFromParts(false);
            StringAEditChange("StringAEdit");
        } else {
            setText("VendorStrEdit", Cut(a, 8));
            setText("ProdStrEdit", a.size() > 8 ? Cut(std::string_view(a).substr(8), 16) : "");
            StringAEditChange("VendorStrEdit");
            StringAEditChange("ProdStrEdit");
        }
        return;
    }
    c("StringAEdit").visible = true;
    for (const char* n : {"VendorStrEdit", "ProdStrEdit", "StrALabel"})
        c(n).visible = false;
    AndByte(img, L.flagPos, static_cast<std::uint8_t>(~(kFlagMapToDriveName | kFlagDriveInquiry)));
    SetByte(img, L.mfrIndexPos, kIndexManufacturer);
    std::string vendor = c("VendorStrEdit").text;
    std::string product = c("ProdStrEdit").text;
    if (EmptyOrNull(vendor) && EmptyOrNull(product))
        return;
    if (vendor == kNull) {
        setText("VendorStrEdit", "");
        vendor.clear();
    } else if (product == kNull) {
        setText("ProdStrEdit", "");
        product.clear();
    }
    setText("StringAEdit", product.empty() ? vendor : Vendor8(vendor) + product);
    StringAEditChange("StringAEdit");
}

void SettingsPanel::StrA2SNChkClick() {
    ConfigImage& img = s_.Config;
    const ConfigLayout& L = s_.Layout;
    if (c("StrA2SNChk").checked) {
        c("StrAAutoInc").visible = true;
        c("StringAEdit").hexKeyFilter = true;
        SetByte(img, L.mfrIndexPos, kIndexFromDrive);
        SetByte(img, L.serialIndexPos, kIndexManufacturer);
        std::string a = c("StringAEdit").text;
        if (!a.empty()) {
            bool bad = false;
            for (char& ch : a) {
                if (ch >= 'a' && ch <= 'f') {
                    ch = ToUpperAscii(ch);
                } else if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) {
                    bad = true;
                    break;
                }
            }
            setText("StringAEdit", a);
            if (bad)
                plainMessage(msg::kSerialContent);
        }
    } else {
        c("StrAAutoInc").visible = false;
        c("StringAEdit").hexKeyFilter = false;
        SetByte(img, L.mfrIndexPos, kIndexManufacturer);
        SetByte(img, L.serialIndexPos, kIndexNoSerial);
    }
}

void SettingsPanel::StrBFromDiskSNChkClick() {
    const Control& box = c("StrBFromDiskSNChk");
    if (box.visible && box.checked) {
        c("StringBEdit").enabled = false;
        SetByte(s_.Config, s_.Layout.prodIndexPos, kIndexFromDriveSerial);
    } else {
        c("StringBEdit").enabled = true;
        SetByte(s_.Config, s_.Layout.prodIndexPos,
                EmptyOrNull(c("StringBEdit").text) ? kIndexProduct : kIndexFromDriveSerial);
    }
}

void SettingsPanel::ManuProdSosctlchkClick() {
    const Control& box = c("ManuProdSosctlchk");
    const bool on = !(box.visible && box.enabled) || box.checked;
    c("StringCEdit").enabled = on;
    c("StringBEdit").enabled = on;
}

void SettingsPanel::InquirySosctlchkClick() {
    const Control& box = c("InquirySosctlchk");
    const bool on = !(box.visible && box.enabled) || box.checked;
    for (const char* n : {"VendorStrEdit", "ProdStrEdit", "StrALabel"})
        c(n).enabled = on;
}

}  // namespace vq
