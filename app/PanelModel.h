// The settings panel of the main window as data: every control the panel rules read or
// write, with the properties the window framework gives it. The Qt window and the CLI only
// mirror this model; the rules that change it live in SettingsPanel.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

enum class ControlKind { Edit, LabeledEdit, CheckBox, ComboBox, Button, Label, Panel, GroupBox };

struct Control {
    std::string name;
    ControlKind kind = ControlKind::Edit;
    std::string caption;  // caption, label text or button text
    std::vector<std::string> items;
    int itemIndex = -1;
    std::string text;
    bool checked = false;
    bool visible = true;
    bool enabled = true;
    bool readOnly = false;
    int maxLength = 0;  // 0: no limit on typed text
    int tag = 0;
    int caret = -1;  // caret position where a rule placed it; -1: after the text
    int left = 0;    // position where a rule moves the control
    int top = 0;
    std::string fontColor;      // "clBlue", "clRed" where a rule colours the caption
    bool hexKeyFilter = false;  // StringAEdit: the hex key filter is attached

    bool operator==(const Control&) const = default;
};

class PanelModel {
  public:
    // The panel as the form resource creates it. `offerExFat` adds "exFAT" to the file-system
    // choices (start-up does so on systems that offer it).
    explicit PanelModel(bool offerExFat = true);

    Control& operator[](std::string_view name);
    const Control& operator[](std::string_view name) const;
    bool has(std::string_view name) const;
    const std::vector<Control>& controls() const { return controls_; }

    // The control that has the input focus ("" when none was given).
    std::string focus;

  private:
    void add(Control c);
    std::vector<Control> controls_;
    std::map<std::string, std::size_t, std::less<>> index_;
};

// Text shown by a combo box for its selected item ("" without a selection).
std::string SelectedItem(const Control& c);

}  // namespace vq
