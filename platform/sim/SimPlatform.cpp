#include "platform/sim/SimPlatform.h"

namespace vq::sim {

SimPlatform::SimPlatform(SimOptions options)
    : options_(std::move(options)), clock_(options_.timeScale), diagnostics_(options_.verbose) {
    platform_.name = "sim";
    platform_.home = options_.home;
    platform_.clock = &clock_;
    platform_.mutexes = &mutexes_;
    platform_.diagnostics = &diagnostics_;
}

}  // namespace vq::sim
