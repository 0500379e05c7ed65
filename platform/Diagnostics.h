// The "debugger output": diagnostic texts that are never shown to the operator.
// Silent by default, echoed to stderr with --verbose, captured in tests.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

class Diagnostics {
  public:
    virtual ~Diagnostics() = default;
    virtual void debugOutput(std::string_view text) = 0;
};

class StreamDiagnostics final : public Diagnostics {
  public:
    explicit StreamDiagnostics(bool verbose) : verbose_(verbose) {}
    void setVerbose(bool v) { verbose_ = v; }
    void debugOutput(std::string_view text) override;

  private:
    std::mutex m_;
    bool verbose_;
};

class CapturingDiagnostics final : public Diagnostics {
  public:
    void debugOutput(std::string_view text) override;
    std::vector<std::string> lines() const;
    void clear();

  private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

}  // namespace vq
