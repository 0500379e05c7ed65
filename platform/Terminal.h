// Whether the program's diagnostic stream is a terminal, so long work can show a progress
// bar there and plain lines otherwise. Implemented once per host system.
#pragma once

namespace vq {

bool HostStderrIsTerminal();

}  // namespace vq
