// The folder that keeps an emulated machine between two runs of a program: the state file
// (SimMachineState.h), the drive images and the volumes' folders (the machine's work
// folder is this folder), and a lock file. One process at a time holds the folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Host.h"
#include "platform/sim/SimMachineState.h"

namespace vq::sim {

class SimPlatform;
struct Scenario;

struct StateFolderError {
    enum class Kind { Busy, Damaged, Io };
    Kind kind = Kind::Io;
    std::string message;
};

class SimStateFolder {
  public:
    static constexpr const char* kStateFile = "machine.state";
    static constexpr const char* kLockFile = "station.lock";

    // Makes the folder when missing and takes it for this process; Busy when another
    // holds it.
    static std::variant<std::unique_ptr<SimStateFolder>, StateFolderError> Take(
        const std::filesystem::path& folder);

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path stateFile() const { return folder_ / kStateFile; }

    // The machine saved last, when it was built from the scenario with this hash; nothing
    // for a fresh machine. A folder without a state file, or with the state of another
    // scenario, is emptied (`changed` tells the second). A damaged state file is refused
    // and left as it is.
    std::variant<std::optional<MachineState>, StateFolderError> load(std::uint64_t scenarioHash,
                                                                     bool* changed = nullptr);
    // Replaces the state file (a crash leaves the old one or the new one).
    bool save(const MachineState& state, std::string* error);
    // Removes everything in the folder but the lock: the next machine starts afresh.
    bool clear(std::string* error);

  private:
    SimStateFolder(std::filesystem::path folder, std::unique_ptr<HostFileLock> lock)
        : folder_(std::move(folder)), lock_(std::move(lock)) {}

    std::filesystem::path folder_;
    std::unique_ptr<HostFileLock> lock_;
};

// Builds the scenario's machine into `sim` (made with the state folder as its work folder)
// as `kept` left it, or fresh without it. Empty, else why the state does not fit.
std::string BuildKeptStation(SimPlatform& sim, const Scenario& scenario,
                             const std::optional<MachineState>& kept);

// Largest state file read.
inline constexpr std::uintmax_t kMaxStateFile = 512u << 20;

}  // namespace vq::sim
