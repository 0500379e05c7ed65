#include "app/SettingsReport.h"

#include <functional>
#include <set>

namespace vq {

namespace {

std::string OneLine(std::string_view text) {
    std::string r;
    for (char c : text) {
        if (c == '\n')
            r += "\\n";
        else if (c == '\r')
            r += "\\r";
        else if (c == '\t')
            r += "\\t";
        else
            r += c;
    }
    return r;
}

std::string Bool(bool b) {
    return b ? "true" : "false";
}

std::string Items(const std::vector<std::string>& items) {
    std::string r;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            r += '|';
        r += items[i];
    }
    return r;
}

struct Property {
    const char* name;
    std::function<std::string(const Control&)> value;
};

const std::vector<Property>& Properties() {
    static const std::vector<Property> kProperties = {
        {"caption", [](const Control& c) { return OneLine(c.caption); }},
        {"items", [](const Control& c) { return OneLine(Items(c.items)); }},
        {"itemIndex", [](const Control& c) { return std::to_string(c.itemIndex); }},
        {"text", [](const Control& c) { return OneLine(c.text); }},
        {"checked", [](const Control& c) { return Bool(c.checked); }},
        {"visible", [](const Control& c) { return Bool(c.visible); }},
        {"enabled", [](const Control& c) { return Bool(c.enabled); }},
        {"readOnly", [](const Control& c) { return Bool(c.readOnly); }},
        {"maxLength", [](const Control& c) { return std::to_string(c.maxLength); }},
        {"tag", [](const Control& c) { return std::to_string(c.tag); }},
        {"caret", [](const Control& c) { return std::to_string(c.caret); }},
        {"left", [](const Control& c) { return std::to_string(c.left); }},
        {"top", [](const Control& c) { return std::to_string(c.top); }},
        {"fontColor", [](const Control& c) { return c.fontColor; }},
        {"hexKeyFilter", [](const Control& c) { return Bool(c.hexKeyFilter); }},
    };
    return kProperties;
}

const Property& PropertyNamed(std::string_view name) {
    for (const auto& p : Properties()) {
        if (name == p.name)
            return p;
    }
    return Properties().front();
}

}  // namespace

std::string SettingsReport(const RunSettings& settings, const PanelModel& loaded,
                           const PanelModel& fresh, const std::vector<OperatorMessage>& messages,
                           bool result) {
    std::string out;
    for (const auto& kv : AllKeyValues(settings))
        out += kv.section + "." + kv.key + "=" + OneLine(kv.value) + "\n";

    static const std::pair<const char*, const char*> kAlways[] = {
        {"ExecuteBtn", "caption"},        {"CapChkCmbx", "itemIndex"},
        {"FmtSecPerClusCbox", "visible"}, {"FmtSecPerClusCbox", "itemIndex"},
        {"EEPROMType", "items"},          {"EEPROMType", "itemIndex"},
        {"EEPROMType", "enabled"},        {"FreeSpaceEdit", "text"},
        {"String3Edit", "maxLength"},
    };
    std::set<std::string> shown;
    for (const auto& [control, property] : kAlways) {
        out += std::string("panel.") + control + "." + property + "=" +
               PropertyNamed(property).value(loaded[control]) + "\n";
        shown.insert(std::string(control) + "." + property);
    }
    for (const Control& c : loaded.controls()) {
        const bool known = fresh.has(c.name);
        for (const auto& p : Properties()) {
            const std::string key = c.name + "." + p.name;
            if (shown.count(key) != 0)
                continue;
            const std::string v = p.value(c);
            if (known && v == p.value(fresh[c.name]))
                continue;
            out += "panel." + key + "=" + v + "\n";
        }
    }

    static const char* kHex = "0123456789ABCDEF";
    out += "config=";
    for (std::uint8_t b : settings.Config) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    out += "\n";
    for (const auto& m : messages)
        out += "message=" + OneLine(m.title) + "|" + OneLine(m.text) + "\n";
    out += std::string("result=") + (result ? "true" : "false") + "\n";
    return out;
}

}  // namespace vq
