#include "platform/Terminal.h"

#include <unistd.h>

namespace vq {

bool HostStderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace vq
