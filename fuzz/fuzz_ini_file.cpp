// The INI reader and writer on arbitrary bytes: every read of the station's keys with every
// value type, writes into existing and new sections, and the invariants of the engine
// (a written value reads back unchanged; the written text parses back to itself).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/IniFile.h"
#include "app/RunSettings.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vq::IniFile;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)IniFile::LooksLikeText(text);
    IniFile ini;
    ini.parse(text);

    static const auto keys = vq::AllKeyValues(vq::RunSettings{});
    for (const auto& kv : keys) {
        (void)ini.get(kv.section, kv.key);
        (void)ini.getInt(kv.section, kv.key, 7);
        (void)ini.getInt64(kv.section, kv.key, 7);
        (void)ini.getFloat(kv.section, kv.key, 1.0f);
    }

    IniFile written = ini;
    written.set("setting", "WRLoop", "7");
    written.set("VQEEPROM", "StringA", " padded  ");
    written.set("Fuzz Section", "Key", "'quoted'");
    written.setInt("TestRecord", "TotalTestCount", -5);

    IniFile back;
    back.parse(written.text());
    Check(back.get("setting", "WRLoop") == std::optional<std::string>("7"));
    Check(back.get("VQEEPROM", "StringA") == std::optional<std::string>(" padded  "));
    Check(back.get("Fuzz Section", "Key") == std::optional<std::string>("'quoted'"));
    Check(back.getInt("TestRecord", "TotalTestCount", 0) == -5);

    IniFile again;
    again.parse(back.text());
    Check(again.text() == back.text());
    return 0;
}
