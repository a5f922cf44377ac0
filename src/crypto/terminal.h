// The password dialogue on the controlling terminal (descriptor 0 for input,
// descriptor 2 for the prompts). Main thread only: it changes terminal modes.
#pragma once

#include "crypto/secret_bytes.h"

namespace zd::crypto {

// Prompts "Contraseña: " (and "Repítela: " when `confirm`) with echo off and
// returns the answer, valid UTF-8 without its line end. Throws "no se leyó
// ninguna contraseña" (end of input), "la contraseña está vacía", "las dos
// contraseñas no coinciden", "la contraseña no es UTF-8 válido" or the read's
// system error. The terminal's modes are restored before any error leaves.
SecretBytes pide_por_terminal(bool confirm);

}  // namespace zd::crypto
