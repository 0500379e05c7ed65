#include "platform/Terminal.h"

#include <io.h>

#include <cstdio>

namespace vq {

bool HostStderrIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

}  // namespace vq
