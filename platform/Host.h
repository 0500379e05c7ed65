// Facts about the machine the program runs on, implemented once per host system.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace vq {

class NamedMutexProvider;

// Folder of the running executable; empty when the system cannot tell.
std::filesystem::path HostProgramFolder();

// Whether standard output goes to a terminal (a live display may be drawn there).
bool HostStdoutIsTerminal();

// Replaces the file at `path` with `data` so that a crash or a power loss leaves either the
// old or the new file, never a torn one: the data goes into a temporary file beside it
// (created exclusively, never one that exists), is flushed to the disk, and the temporary
// file is renamed over `path`. A file that existed keeps its permissions. On failure the
// old file is untouched, the temporary file is gone and `error` (when given) holds the
// system's reason.
bool HostReplaceFile(const std::filesystem::path& path, std::string_view data,
                     std::string* error = nullptr);

// An exclusive lock on a file, held by this object until it is destroyed (or the process
// ends: the system drops it then, so a crash never leaves a folder locked).
class HostFileLock {
  public:
    virtual ~HostFileLock() = default;
};

// Takes the lock on the file at `path` (created when missing) without waiting. Null when
// another holder has it (`busy`, when given, is set) or the file cannot be opened (`error`
// holds the system's reason). Two locks on one file exclude each other also within one
// process.
std::unique_ptr<HostFileLock> HostTryLockFile(const std::filesystem::path& path, bool* busy,
                                              std::string* error = nullptr);

// Machine-wide named mutexes of the host system.
std::unique_ptr<NamedMutexProvider> MakeHostNamedMutexProvider();

}  // namespace vq
