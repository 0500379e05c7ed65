// The MP lock and the RD mode of the settings panel: in a production build of the settings
// (MPVersion non-zero) the panel is locked for the line operator, and the "RD Version"
// check box unlocks it after a password.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/SettingsPanel.h"
#include "platform/Operator.h"

namespace vq {

// The password input box of the RD mode.
inline constexpr const char* kRdPasswordCaption = "Please Input the Password";
inline constexpr const char* kRdPasswordPrompt = "Password";

// The program keeps only hashes of the RD passwords; a typed text is hashed and compared.
std::uint64_t RdPasswordHash(std::string_view text);
bool RdPasswordMatches(std::string_view text, bool customerMode);

// RDCheckClick: the check box as the panel model holds it decides. Checked just now: asks
// for the password (masked input box) and unlocks the panel when it matches, else
// unchecks the box and locks. Unchecked: the MP lock. `laterDiskBridgeAttached`: a bridge
// of ChipKind 21 to 24 is attached (its capacity controls stay as they are).
void RDCheckClick(SettingsPanel& panel, Operator& op, bool laterDiskBridgeAttached);

// Whether the panel is unlocked (RD mode, or no MP lock at all).
bool RdMode(const PanelModel& panel);

}  // namespace vq
