// Prompts and notices go straight to descriptor 2, unbuffered, so they appear
// before the program blocks on the terminal or on the key derivation.
#pragma once

#include <string_view>

namespace zd::crypto {

// Best effort: text that cannot be shown is no reason to fail, and must not
// hide the error the caller is about to report.
void write_stderr(std::string_view text);

}  // namespace zd::crypto
