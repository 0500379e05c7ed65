// The partitioning scripts the station writes, carried out on a disk the machine opens. The
// commands and exit codes are those of the system's partitioning tool; where a machine has
// no such tool (Linux, the emulator) this is it:
//   rescan                   the volumes look again
//   select disk N            N is the disk's device number
//   select partition N       the N-th partition of the selected disk's table
//   clean                    the first and last MiB of the disk zeroed
//   convert gpt              an empty disk gets a GPT with the reserved partition (to 16 MiB)
//   create partition primary the free space after the last partition, from a MiB boundary
//   format fs=NAME label="TEXT" quick [unit=N]   the system formatter on the partition
//   assign                   the partition's volume gets a letter
// Exit codes: 0 done, 2 no such disk or partition (or none selected), 4 the operation
// failed, 5 a command the tool does not take.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DiskService.h"

namespace vq {

constexpr int kToolDone = 0;
constexpr int kToolNoSuchObject = 2;
constexpr int kToolFailed = 4;
constexpr int kToolSyntax = 5;

// The arguments of a "format" line; the label is what stands between the quotes, without
// the blanks the station puts after it.
struct ToolFormat {
    std::string fileSystem;
    std::string label;
    std::uint32_t unit = 0;
    bool quick = false;
};
std::optional<ToolFormat> ParseToolFormat(std::string_view line);

// What the script reaches on the machine.
struct PartitionToolMachine {
    std::function<std::unique_ptr<Disk>(std::uint32_t number)> openDisk;
    std::function<void()> rescan;
    // Formats the partition that starts at `start` (bytes) on disk `number`; 0 when done.
    std::function<int(std::uint32_t number, std::uint64_t start, const ToolFormat& format)> format;
    // The partition's volume gets a letter (or has one); false when it cannot.
    std::function<bool(std::uint32_t number, std::uint64_t start)> assign;
};

int RunPartitionScript(const std::vector<std::string>& script, PartitionToolMachine& machine);

}  // namespace vq
