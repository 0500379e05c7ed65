// The settings panel of the main window, headless: RunSettings, the settings file and the
// rules the panel's event handlers enforce while the operator edits.
//
// The model behaves as the window framework does: setting an edit's text from code runs its
// change handler when the text changes; setting a check box runs its click handler when its
// state changes; selecting a combo-box item from code runs no handler (the operator's
// selection does). The user* methods are what the operator does; the handler methods are
// the handlers of the main window, named after them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/PanelModel.h"
#include "app/PanelServices.h"
#include "app/RunSettings.h"
#include "app/ScanFacts.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"

namespace vq {

// Raised by LoadSettings when the "log" folder is missing and cannot be created.
class LogDirectoryError : public std::runtime_error {
  public:
    LogDirectoryError();
};

// The EEPROM panel family: standard bridges, or only parallel-flash bridges attached.
enum class EepromFamily { Standard, ParallelFlash };

// What the rest of the station tells the panel (device scan, run driver, result window).
struct PanelInputs {
    int deviceCount = 0;
    std::uint16_t firstChipIdentity = 0;
    bool parallelFlashAttached = false;
    bool chipKind17or18Attached = false;
    bool chipsDiffer = false;
    bool firmwareFits = true;  // outcome of the last firmware fit check
    bool runMayStart = false;  // the auto-start permission of the last scan
    bool runInProgress = false;
    bool resultWindowVisible = false;
};

// Outcome of the last LoadSettings, beyond its boolean result.
enum class LoadOutcome { NotRun, Loaded, FileMissing, FileRefused };

class SettingsPanel {
  public:
    static constexpr const char* kDefaultSettingsName = "VQMassProd.ini";

    // `home` is the program's folder; `op` shows the messages. The firmware fit check and the
    // panel actions may be left null until the station supplies them.
    SettingsPanel(RunSettings& settings, PanelModel& panel, Operator& op,
                  std::filesystem::path home, FirmwareFitCheck* fitCheck = nullptr,
                  PanelActions* actions = nullptr);

    // Where the reasons of failed saves go (the system's own words); may stay null.
    void setDiagnostics(Diagnostics* diagnostics) { diag_ = diagnostics; }

    RunSettings& settings() { return s_; }
    PanelModel& panel() { return p_; }
    // The station hands in its firmware fit check when none was given at construction.
    FirmwareFitCheck* firmwareFitCheck() const { return fit_; }
    void setFirmwareFitCheck(FirmwareFitCheck* fitCheck) { fit_ = fitCheck; }
    PanelInputs& inputs() { return in_; }
    EepromFamily family() const { return family_; }
    void setFamily(EepromFamily f) { family_ = f; }
    const std::filesystem::path& home() const { return home_; }
    std::filesystem::path counterFilePath() const;
    std::filesystem::path defaultSettingsPath() const;
    LoadOutcome lastLoadOutcome() const { return lastLoad_; }
    // The hub walk's EPP mode flag and the EPP timer, as LoadSettings leaves them.
    bool eppMode() const { return eppMode_; }
    bool eppTimerRunning() const { return eppTimerRunning_; }
    // The copy of EnFreeSpaceCheck that FreeSpaceInRange uses.
    std::int32_t freeSpaceCheckCopy() const { return freeSpaceCheck_; }

    // ---- the settings file
    // Start-up: clears RunSettings, points CurrentSettingsPath at the default file and loads
    // it. May raise LogDirectoryError.
    bool StartUp();
    bool LoadSettings(const std::filesystem::path& path);
    // Writes every saved key; false (after a message) when the file could not be written.
    bool SaveSettings(const std::filesystem::path& path);
    void CollectPanelSettings();
    // Program exit: collect, save the current (and the default) file, write the counters.
    void SaveOnExit();
    bool WriteCounters();
    // "Load INI" / "Save INI" with the file the operator chose (nullopt: cancelled).
    void INILoadBtnClick(const std::optional<std::filesystem::path>& chosen);
    void INISaveBtnClick(const std::optional<std::filesystem::path>& chosen);
    // The folder the file dialogs start in.
    std::filesystem::path DialogInitialFolder() const { return home_; }

    // ---- what the operator does
    // Types one character into a control (the form's key preview, then the control's key
    // filter, then the edit). Returns false when the key was discarded.
    bool userKey(std::string_view control, char key);
    // Replaces an edit's text (typing or pasting a whole text).
    void userEdit(std::string_view control, std::string text);
    // Clicks a check box (toggles it) or a button.
    void userClick(std::string_view control);
    // Selects a combo-box item.
    void userSelect(std::string_view control, int index);

    // ---- setting controls from code (running handlers as the framework does)
    void setText(std::string_view control, std::string text);
    void setChecked(std::string_view control, bool checked);
    void setItemIndex(std::string_view control, int index);

    // ---- the handlers of the main window
    // Key filters: return false when the key is discarded; `key` may be changed.
    bool HexKeyFilter(char& key) const;
    static bool DigitKeyFilter(char& key);
    static bool CapacityKeyFilter(char& key);
    bool String3EditKeyPress(char& key);
    void FormKeyPress(char key);
    void FormPaint();

    void TimerEditChange();
    void CapacityUserDefEditChange();
    void CapChkCmbxChange();
    void FmtSecPerClusCboxChange();
    void FFsFmtChange();
    void Format_Checked();
    void PartitionCheckBoxClick();
    void EEPROM_Update_Checked();
    void EEPROMVerifyBoxClick();
    void enU3CheckBoxClick(std::string_view sender);
    void FWUpdateCheckBoxClick(std::string_view sender);
    void LoadFWButtonClick(const std::optional<std::string>& chosenFile);
    void V426FlashTypeChange();

    // EEPROM field editing.
    void EEPROMTypeChange();
    void StringAEditChange(std::string_view sender);
    void VenderIDEditChange(std::string_view sender);
    void StringCEditChange();
    void StrA2DiskStrChkClick();
    void StrA2SNChkClick();
    void StrBFromDiskSNChkClick();
    void ManuProdSosctlchkClick();
    void InquirySosctlchkClick();

    // The panel after a device scan.
    void AdjustAfterScan(const ScanFacts& facts);

  private:
    void message(std::string text, const char* title);
    void debug(const std::string& text);
    void plainMessage(std::string text);
    void runChangeHandler(std::string_view control);
    void runClickHandler(std::string_view control);
    void runSelectHandler(std::string_view control);
    Control& c(std::string_view name) { return p_[name]; }

    bool barcodeMode() const { return s_.EnBarcodeMode != 0; }
    bool autoMode() const { return s_.MPAutorun != 0; }
    int eepromTypeIndex() const;
    // The EEPROM layout table for the selected type, as the EEPROM-type change sets it.
    void setLayout(LayoutRow row);
    void firmwareFitCheckAndConsequences();
    void parallelFlashGroupRule();
    void applyFat32LabelLimit();
    bool serialCharactersValid(std::string_view text) const;
    void applyCollectLayout();
    void clearForBarcode();
    // Cuts an edit's text to `max` characters (running its change handler); the caret goes
    // before the last character, or stays where it was.
    void cutText(std::string_view control, std::size_t max, bool caretBeforeLast);
    void showStringAFromParts(bool writeField);

    RunSettings& s_;
    PanelModel& p_;
    Operator& op_;
    std::filesystem::path home_;
    FirmwareFitCheck* fit_;
    PanelActions* actions_;
    Diagnostics* diag_ = nullptr;
    PanelInputs in_;
    EepromFamily family_ = EepromFamily::Standard;
    LoadOutcome lastLoad_ = LoadOutcome::NotRun;
    bool eppMode_ = false;
    bool eppTimerRunning_ = true;
    std::int32_t freeSpaceCheck_ = 0;
    // The counter file existed at the last load but could not be read.
    bool countersUnread_ = false;
    // The scan facts that decide whether the EEPROM type items are rebuilt.
    bool prevType3Offered_ = true;
    bool prevOlderOnly_ = true;
};

}  // namespace vq
