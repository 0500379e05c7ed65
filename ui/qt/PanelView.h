// The widgets of the settings panel, one per control of the panel model and named after it.
// sync() copies the model into the widgets; what the operator does to a widget goes to the
// panel's rules (SettingsPanel) and the widgets then follow the model again. No rule lives
// here.
#pragma once

#include <QObject>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "app/SettingsPanel.h"

class QWidget;
class QLabel;

namespace vq::ui {

class PanelView final : public QObject {
    Q_OBJECT
  public:
    // Creates the widgets without a parent; the window places them, then calls sync().
    // `buttonClicked` receives the clicks of push buttons (the window decides what they do).
    PanelView(SettingsPanel& rules, std::function<void(const std::string&)> buttonClicked,
              QObject* parent = nullptr);

    // The widget of a control; null for a name the model does not hold.
    QWidget* widget(std::string_view name) const;
    // The caption label of a labelled edit (or of an edit with a label); null otherwise.
    QLabel* label(std::string_view name) const;
    // Copies every control of the model into its widget.
    void sync();
    // While `canEdit` says no (the station thread holds the model), the operator's input is
    // ignored.
    void setCanEdit(std::function<bool()> f) { canEdit_ = std::move(f); }
    // Called after a check box's click went to the rules (the window adds what is its own).
    void setAfterClick(std::function<void(const std::string&)> f) { afterClick_ = std::move(f); }
    // Moves the input focus to the control the model names, when it can take it.
    void applyFocus();

  signals:
    // The operator changed something through a widget; the model has handled it.
    void edited();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void create(const Control& c);
    void syncOne(const Control& c);
    void afterEdit();

    SettingsPanel& rules_;
    std::function<void(const std::string&)> buttonClicked_;
    std::function<bool()> canEdit_;
    std::function<void(const std::string&)> afterClick_;
    bool editable() const { return !syncing_ && (!canEdit_ || canEdit_()); }
    std::map<std::string, QWidget*, std::less<>> widgets_;
    std::map<std::string, QLabel*, std::less<>> labels_;
    bool syncing_ = false;
};

}  // namespace vq::ui
