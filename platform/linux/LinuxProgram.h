// Running the system's tools (formatters, label writers, FUSE mounters): the program is
// found on PATH and started with an argument list, never through a shell, so labels and
// paths reach it exactly as given.
#pragma once

#include <string>
#include <vector>

namespace vq {

// Runs argv[0] with the arguments and waits for it. Standard input reads nothing; the
// output of both streams is kept in *output when asked for. Returns the exit status, 127
// when the program could not be started, 128 + the signal when one ended it.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

// Whether a program of that name is on PATH and executable.
bool ProgramOnPath(const std::string& name);

}  // namespace vq
