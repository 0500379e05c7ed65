// The emulated station machine behind the platform seam. It is the default platform of
// both programs and of every test.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "platform/sim/SimClock.h"
#include "platform/sim/SimNamedMutex.h"

namespace vq::sim {

struct SimOptions {
    double timeScale = 0.0;      // see SimClock
    std::filesystem::path home;  // the program's folder on the emulated machine
    bool verbose = false;        // echo debugger output to stderr
};

class SimPlatform {
  public:
    explicit SimPlatform(SimOptions options = {});
    SimPlatform(const SimPlatform&) = delete;
    SimPlatform& operator=(const SimPlatform&) = delete;

    Platform& platform() { return platform_; }
    SimClock& clock() { return clock_; }
    StreamDiagnostics& diagnostics() { return diagnostics_; }

  private:
    SimOptions options_;
    SimClock clock_;
    SimNamedMutexRegistry mutexes_;
    StreamDiagnostics diagnostics_;
    Platform platform_;
};

}  // namespace vq::sim
