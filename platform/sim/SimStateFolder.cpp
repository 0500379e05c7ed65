#include "platform/sim/SimStateFolder.h"

#include <fstream>
#include <iterator>

namespace vq::sim {

namespace fs = std::filesystem;

std::variant<std::unique_ptr<SimStateFolder>, StateFolderError> SimStateFolder::Take(
    const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec))
        return StateFolderError{StateFolderError::Kind::Io,
                                "cannot make the state folder " + folder.string()};
    bool busy = false;
    std::string error;
    auto lock = HostTryLockFile(folder / kLockFile, &busy, &error);
    if (busy)
        return StateFolderError{StateFolderError::Kind::Busy,
                                "the station is busy: another program uses " + folder.string()};
    if (!lock)
        return StateFolderError{StateFolderError::Kind::Io, error};
    return std::unique_ptr<SimStateFolder>(new SimStateFolder(folder, std::move(lock)));
}

std::variant<std::optional<MachineState>, StateFolderError> SimStateFolder::load(
    std::uint64_t scenarioHash, bool* changed) {
    if (changed)
        *changed = false;
    const fs::path file = stateFile();
    std::error_code ec;
    std::string why;
    if (!fs::exists(file, ec)) {
        // Whatever lies here without a state file belongs to no machine.
        if (!clear(&why))
            return StateFolderError{StateFolderError::Kind::Io, why};
        return std::optional<MachineState>();
    }
    const auto size = fs::file_size(file, ec);
    if (ec || size > kMaxStateFile)
        return StateFolderError{
            StateFolderError::Kind::Damaged,
            file.string() + ": " + (ec ? "cannot be read" : "larger than a state file")};
    std::vector<std::uint8_t> bytes;
    {
        // Closed before the folder may be cleared: Windows removes no file that is open.
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof())
            return StateFolderError{StateFolderError::Kind::Io, file.string() + ": cannot be read"};
    }
    auto decoded = DecodeMachineState(bytes);
    if (auto* e = std::get_if<std::string>(&decoded))
        return StateFolderError{StateFolderError::Kind::Damaged, file.string() + ": " + *e};
    auto& state = std::get<MachineState>(decoded);
    if (state.scenarioHash != scenarioHash) {
        if (changed)
            *changed = true;
        if (!clear(&why))
            return StateFolderError{StateFolderError::Kind::Io, why};
        return std::optional<MachineState>();
    }
    return std::optional<MachineState>(std::move(state));
}

bool SimStateFolder::save(const MachineState& state, std::string* error) {
    return HostReplaceFile(stateFile(), EncodeMachineState(state), error);
}

bool SimStateFolder::clear(std::string* error) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder_, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        if (it->path().filename() == kLockFile)
            continue;
        std::error_code e2;
        fs::remove_all(it->path(), e2);
        if (e2) {
            if (error)
                *error = "cannot remove " + it->path().string() + ": " + e2.message();
            return false;
        }
    }
    if (ec) {
        if (error)
            *error = "cannot list " + folder_.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace vq::sim
