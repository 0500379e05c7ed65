#include "devices/PortRecord.h"

namespace vq {

std::string_view RunResultText(RunResult r) {
    switch (r) {
        case run_result::kFail:
            return "Fail";
        case run_result::kPass:
            return "Pass";
        case run_result::kRunning:
            return "Running";
        case run_result::kSkipped:
            return "N/A";
        case run_result::kUnmatched:
            return "Unmatched";
        default:
            return "";
    }
}

}  // namespace vq
