// The terminal dialogue, run in a child on a pseudo-terminal so that it meets
// a real line discipline: echo, canonical lines and end of input.
#include "crypto/terminal.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/password.h"
#include "support.h"
#include "util/error.h"

namespace zd::crypto {
namespace {

struct Outcome {
    std::string screen;   // everything that reached the terminal
    std::string result;   // "ok:<password>" or "error:<message>"
    bool echo_before = false;
    bool echo_after = false;
};

bool echo_on(int fd) {
    termios t{};
    return ::tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

void write_fd(int fd, const std::string& s) {
    if (!s.empty()) (void)!::write(fd, s.data(), s.size());
}

// Reads what the terminal shows until `prompts_wanted` prompts are on it, or,
// with 0, until the child has closed the terminal.
bool read_screen(int master, std::string& screen, size_t prompts_wanted) {
    auto prompts = [&] {
        size_t n = 0;
        for (size_t at = screen.find(": "); at != std::string::npos; at = screen.find(": ", at + 1)) ++n;
        return n;
    };
    while (prompts_wanted == 0 || prompts() < prompts_wanted) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
        char buf[256];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) return prompts_wanted == 0;  // EIO once the child has closed the terminal
        screen.append(buf, size_t(n));
    }
    return true;
}

// Runs the dialogue (through contrasena when `via_contrasena`) in a child whose
// controlling terminal is a new pseudo-terminal, typing each answer after the
// prompt it belongs to has appeared.
Outcome run_dialogue(bool confirm, const std::vector<std::string>& answers, bool via_contrasena = false) {
    Outcome out;
    int report[2];
    if (::pipe(report) != 0) {
        ADD_FAILURE() << "pipe";
        return out;
    }
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        ADD_FAILURE() << "forkpty";
        return out;
    }
    if (pid == 0) {
        ::close(report[0]);
        termios t{};
        ::tcgetattr(0, &t);
        t.c_oflag &= ~tcflag_t(OPOST);  // show the program's bytes as written
        ::tcsetattr(0, TCSANOW, &t);
        std::string result = echo_on(0) ? "1" : "0";
        try {
            ::unsetenv("ZD_PASSWORD");
            SecretBytes pw = via_contrasena ? contrasena(std::nullopt, confirm) : pide_por_terminal(confirm);
            result += "ok:" + std::string(reinterpret_cast<const char*>(pw.data()), pw.size());
        } catch (const Error& e) {
            result += "error:" + e.message();
        }
        result.insert(1, echo_on(0) ? "1" : "0");
        write_fd(report[1], result);
        ::_exit(0);
    }
    ::close(report[1]);

    size_t prompts = 0;
    for (const std::string& answer : answers) {
        if (!read_screen(master, out.screen, ++prompts)) {
            ADD_FAILURE() << "no prompt " << prompts << "; screen so far: " << out.screen;
            ::kill(pid, SIGKILL);
            break;
        }
        write_fd(master, answer);
    }
    read_screen(master, out.screen, 0);

    std::string result;
    char buf[256];
    for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) > 0;) result.append(buf, size_t(n));
    ::close(report[0]);
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (result.size() >= 2) {
        out.echo_before = result[0] == '1';
        out.echo_after = result[1] == '1';
        out.result = result.substr(2);
    }
    return out;
}

TEST(Terminal, Dialogue) {
    struct Case {
        const char* name;
        bool confirm;
        std::vector<std::string> answers;
        std::string screen;
        std::string result;
    };
    const Case cases[] = {
        {"one answer", false, {"hunter2\n"}, "Contraseña: \n", "ok:hunter2"},
        {"spaces kept", false, {"  pw  \n"}, "Contraseña: \n", "ok:  pw  "},
        {"confirmed", true, {"hunter2\n", "hunter2\n"}, "Contraseña: \nRepítela: \n", "ok:hunter2"},
        {"mismatch", true, {"hunter2\n", "hunter3\n"}, "Contraseña: \nRepítela: \n",
         "error:las dos contraseñas no coinciden"},
        {"longer second", true, {"hunter2\n", "hunter22\n"}, "Contraseña: \nRepítela: \n",
         "error:las dos contraseñas no coinciden"},
        {"empty second", true, {"hunter2\n", "\n"}, "Contraseña: \nRepítela: \n",
         "error:las dos contraseñas no coinciden"},
        {"empty", false, {"\n"}, "Contraseña: \n", "error:la contraseña está vacía"},
        {"empty before confirming", true, {"\n"}, "Contraseña: \n", "error:la contraseña está vacía"},
        {"end of input", false, {"\x04"}, "Contraseña: \n", "error:no se leyó ninguna contraseña"},
        {"end of input at confirmation", true, {"hunter2\n", "\x04"}, "Contraseña: \nRepítela: \n",
         "error:no se leyó ninguna contraseña"},
        {"not UTF-8", false, {"\xff\n"}, "Contraseña: ", "error:la contraseña no es UTF-8 válido"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = run_dialogue(c.confirm, c.answers);
        EXPECT_EQ(o.screen, c.screen);  // nothing typed is echoed
        EXPECT_EQ(o.result, c.result);
        EXPECT_TRUE(o.echo_before);
        EXPECT_TRUE(o.echo_after);
    }
}

TEST(Terminal, ContrasenaAsksTheTerminalWhenNothingElseIsGiven) {
    const Outcome o = run_dialogue(true, {"from-tty\n", "from-tty\n"}, true);
    EXPECT_EQ(o.screen, "Contraseña: \nRepítela: \n");
    EXPECT_EQ(o.result, "ok:from-tty");
    EXPECT_TRUE(o.echo_after);
}

}  // namespace
}  // namespace zd::crypto
