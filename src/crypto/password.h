// Where the password comes from. Never from the command line: there it would
// be visible in `ps` to every user and would stay in the shell history.
#pragma once

#include <optional>
#include <string>

#include "crypto/secret_bytes.h"

namespace zd::crypto {

// The password, from the first source that applies:
//  1. `password_file`: the whole file minus trailing CR/LF bytes; a failure or an
//     empty result is an error (no fallback to the other sources);
//  2. ZD_PASSWORD, when set, valid UTF-8 and not empty, unchanged;
//  3. the terminal dialogue, when standard input is a terminal (`confirm` asks twice);
//  4. otherwise the "hace falta una contraseña" error.
// Main thread only.
SecretBytes contrasena(const std::optional<std::string>& password_file, bool confirm);

}  // namespace zd::crypto
