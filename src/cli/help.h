// The help text, the version line, and the early check for either of them.
#pragma once

#include <string>
#include <vector>

namespace zd::cli {

// Printed as it is, nothing added; ends with a newline.
const std::string& help_text();

// "zundra 0.1.0\n".
const std::string& version_line();

enum class EarlyAnswer { None, Help, Version };

// What to print before any parsing, given every argument after the program
// name: help for an empty list or a "--help"/"-h" anywhere (option values
// included), else version for a "--version"/"-V" anywhere. Help wins.
EarlyAnswer early_answer(const std::vector<std::string>& args);

}  // namespace zd::cli
