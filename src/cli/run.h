// Top level of the program: help and version, parsing, the encryption step,
// dispatch to the command's operation, its report and the exit status.
#pragma once

namespace zd::cli {

// Returns the process exit status: 0 on success, 1 on any error.
int run(int argc, char** argv);

}  // namespace zd::cli
