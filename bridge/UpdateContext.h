// What a long write may tell the people around it: operator messages, debugger output and
// its progress. Every member may be empty.
#pragma once

#include <cstddef>
#include <functional>

namespace vq {
class Operator;
class Diagnostics;
}  // namespace vq

namespace vq::bridge {

struct UpdateContext {
    Operator* op = nullptr;              // operator messages
    Diagnostics* diagnostics = nullptr;  // debugger output
    // Bytes programmed so far of the total the procedure will program.
    std::function<void(std::size_t done, std::size_t total)> progress;

    void report(std::size_t done, std::size_t total) const {
        if (progress)
            progress(done, total);
    }
};

}  // namespace vq::bridge
