#include "crypto/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "crypto/stderr_text.h"
#include "util/error.h"
#include "util/utf8.h"

namespace zd::crypto {
namespace {

// Turns echo off on descriptor 0 for its lifetime. When the attributes cannot
// be read (not a real terminal) the dialogue simply runs with echo on.
class EchoOff {
public:
    EchoOff() {
        if (::tcgetattr(0, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~tcflag_t(ECHO);  // canonical mode stays: the line editor still works
        if (::tcsetattr(0, TCSANOW, &quiet) == 0) active_ = true;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(0, TCSANOW, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

// Reads up to and including LF, one byte at a time so nothing after the line
// is taken from the terminal. Returns what was read; empty at end of input.
SecretBytes read_line() {
    SecretBytes line;
    for (;;) {
        uint8_t byte;
        ssize_t n = ::read(0, &byte, 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::sys(errno);
        }
        if (n == 0) break;
        const bool end = byte == '\n';
        line.push_back(byte);
        byte = 0;
        if (end) break;
    }
    std::string_view text(reinterpret_cast<const char*>(line.data()), line.size());
    if (!is_valid_utf8(text)) throw Error("la contraseña no es UTF-8 válido");
    return line;
}

SecretBytes ask(std::string_view prompt) {
    write_stderr(prompt);
    SecretBytes answer = read_line();
    write_stderr("\n");  // the user's Enter was not echoed
    if (answer.empty()) throw Error("no se leyó ninguna contraseña");
    answer.trim_line_ends();
    return answer;
}

}  // namespace

SecretBytes pide_por_terminal(bool confirm) {
    EchoOff echo_off;
    SecretBytes first = ask("Contraseña: ");
    if (first.empty()) throw Error("la contraseña está vacía");
    if (!confirm) return first;
    SecretBytes second = ask("Repítela: ");
    if (!(second == first)) throw Error("las dos contraseñas no coinciden");
    return first;
}

}  // namespace zd::crypto
