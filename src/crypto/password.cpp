#include "crypto/password.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/core.h>

#include "crypto/terminal.h"
#include "util/env.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/utf8.h"

namespace zd::crypto {
namespace {

SecretBytes read_password_file(const std::string& path) {
    const std::string shown = lossy_utf8(path);
    const std::string context = fmt::format("leer la contraseña de {}", shown);
    UniqueFd fd = open_fd(path, O_RDONLY);
    if (!fd) throw Error::sys(context, errno);

    SecretBytes password;
    uint8_t chunk[512];
    try {
        for (;;) {
            size_t got = read_up_to(fd.get(), chunk, sizeof chunk);
            password.append(chunk, got);
            if (got < sizeof chunk) break;
        }
    } catch (Error& e) {
        sodium_memzero(chunk, sizeof chunk);
        throw std::move(e).context(context);
    }
    sodium_memzero(chunk, sizeof chunk);

    password.trim_line_ends();
    if (password.empty()) throw Error(fmt::format("el fichero de contraseña {} está vacío", shown));
    return password;
}

std::optional<SecretBytes> password_from_env() {
    std::optional<std::string> value = env_text("ZD_PASSWORD");
    if (!value) return std::nullopt;
    std::optional<SecretBytes> out;
    if (!value->empty()) out.emplace(reinterpret_cast<const uint8_t*>(value->data()), value->size());
    sodium_memzero(value->data(), value->size());
    return out;
}

}  // namespace

SecretBytes contrasena(const std::optional<std::string>& password_file, bool confirm) {
    if (password_file) return read_password_file(*password_file);
    if (std::optional<SecretBytes> from_env = password_from_env()) return std::move(*from_env);
    if (::isatty(0) == 1) return pide_por_terminal(confirm);
    throw Error(
        "hace falta una contraseña: usa --password-file <fichero>, la variable de entorno "
        "ZD_PASSWORD, o ejecuta esto desde un terminal para que te la pida.\n\n"
        "No se acepta como argumento de línea de comandos a propósito: sería visible en `ps` "
        "para cualquier usuario de la máquina y quedaría en el historial del shell.");
}

}  // namespace zd::crypto
