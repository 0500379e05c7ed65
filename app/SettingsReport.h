// The text report of a loaded settings file that `vqmp-cli settings show` prints: every
// settings key with the value SaveSettings would write, the panel as the load left it, the
// working ConfigImage, the messages shown and the load's result.
#pragma once

#include <string>
#include <vector>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "platform/Operator.h"

namespace vq {

// One line per item, in this order:
//   Section.Key=value             every key of the settings and counter files, table order
//   panel.CONTROL.PROPERTY=value  the properties LoadSettings sets: always ExecuteBtn.caption,
//                                 CapChkCmbx.itemIndex, FmtSecPerClusCbox.visible and
//                                 .itemIndex, EEPROMType.items, .itemIndex and .enabled,
//                                 FreeSpaceEdit.text and String3Edit.maxLength; then every
//                                 other property that differs from `fresh`, in control order
//   config=HEX                    the 128-byte working ConfigImage, upper-case hex
//   message=TITLE|TEXT            every message shown, in order
//   result=true|false
// Booleans print as true/false, combo-box items joined with "|"; CR, LF and TAB in texts
// print as \r, \n and \t so every item stays on one line.
std::string SettingsReport(const RunSettings& settings, const PanelModel& loaded,
                           const PanelModel& fresh, const std::vector<OperatorMessage>& messages,
                           bool result);

}  // namespace vq
