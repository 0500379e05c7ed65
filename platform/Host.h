// Facts about the machine the program runs on, implemented once per host system.
#pragma once

#include <filesystem>
#include <memory>

namespace vq {

class NamedMutexProvider;

// Folder of the running executable; empty when the system cannot tell.
std::filesystem::path HostProgramFolder();

// Whether standard output goes to a terminal (a live display may be drawn there).
bool HostStdoutIsTerminal();

// Machine-wide named mutexes of the host system.
std::unique_ptr<NamedMutexProvider> MakeHostNamedMutexProvider();

}  // namespace vq
