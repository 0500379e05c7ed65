#include "app/shell/RdMode.h"

namespace vq {

namespace {

// Hashes of the two passwords (standard mode, customer mode).
constexpr std::uint64_t kStandardHash = 0x0b53e33bb19ddf22ULL;
constexpr std::uint64_t kCustomerHash = 0xa4740de3b3874165ULL;

constexpr const char* kLockedGroups[] = {"GroupBox1", "GroupBox2", "GroupBox3",
                                         "GroupBox4", "GroupBox5", "EEVerifyGroup"};

void ApplyMpLock(SettingsPanel& sp) {
    PanelModel& p = sp.panel();
    p["INISaveBtn"].enabled = false;
    p["CapacityUserDefEdit"].enabled = false;
    p["CapChkCmbx"].enabled = false;
    for (const char* g : kLockedGroups)
        p[g].enabled = false;
    // The operator still scans serial numbers in barcode mode.
    if (sp.settings().EnBarcodeMode == 0)
        p["Panel5"].enabled = false;
}

void ApplyRdMode(SettingsPanel& sp, bool laterDiskBridgeAttached) {
    PanelModel& p = sp.panel();
    const RunSettings& s = sp.settings();
    p["INISaveBtn"].enabled = true;
    if (!laterDiskBridgeAttached) {
        p["CapChkCmbx"].enabled = true;
        p["CapacityUserDefEdit"].enabled = s.Capacity == 1;
    }
    p["GroupBox1"].enabled = true;
    p["GroupBox2"].enabled = true;
    p["Panel5"].enabled = true;
    p["GroupBox3"].enabled = s.MPKestrinCustomer == 0;
    p["GroupBox4"].enabled = true;
    p["GroupBox5"].enabled = true;
    p["EEVerifyGroup"].enabled = true;
}

}  // namespace

std::uint64_t RdPasswordHash(std::string_view text) {
    // FNV-1a over a fixed prefix and the text.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto add = [&h](std::string_view part) {
        for (const char ch : part) {
            h ^= static_cast<unsigned char>(ch);
            h *= 0x100000001b3ULL;
        }
    };
    add("vq-rd:");
    add(text);
    return h;
}

bool RdPasswordMatches(std::string_view text, bool customerMode) {
    return RdPasswordHash(text) == (customerMode ? kCustomerHash : kStandardHash);
}

void RDCheckClick(SettingsPanel& sp, Operator& op, bool laterDiskBridgeAttached) {
    PanelModel& p = sp.panel();
    const RunSettings& s = sp.settings();
    if (s.MPVersion == 0) {
        p["RDCheck"].checked = true;
        return;
    }
    if (!p["RDCheck"].checked) {
        ApplyMpLock(sp);
        return;
    }
    InputRequest r;
    r.caption = kRdPasswordCaption;
    r.prompt = kRdPasswordPrompt;
    r.masked = true;
    const auto typed = op.inputBox(r);
    if (typed && RdPasswordMatches(*typed, s.MPKestrinCustomer != 0)) {
        ApplyRdMode(sp, laterDiskBridgeAttached);
        return;
    }
    p["RDCheck"].checked = false;
    ApplyMpLock(sp);
}

bool RdMode(const PanelModel& panel) {
    return panel["RDCheck"].checked;
}

}  // namespace vq
