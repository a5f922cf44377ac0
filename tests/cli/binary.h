// Runs the real zundra binary for end-to-end tests and captures what it prints.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zdtest {

struct Salida {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs ZUNDRA_BIN with `args`; `stdin_path` (or /dev/null) as standard input;
// `env` entries "NAME=value" are added to the environment of the child.
inline Salida zundra(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null",
                     const std::vector<std::string>& env = {}, bool as_nobody = false) {
    char out_tpl[] = "/tmp/zd-out-XXXXXX";
    char err_tpl[] = "/tmp/zd-err-XXXXXX";
    int out_fd = ::mkstemp(out_tpl);
    int err_fd = ::mkstemp(err_tpl);
    pid_t pid = ::fork();
    if (pid == 0) {
        int in_fd = ::open(stdin_path.c_str(), O_RDONLY);
        ::dup2(in_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        // Root reads everything; tests of permission failures run as nobody.
        if (as_nobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
        std::vector<char*> argv;
        std::string bin = ZUNDRA_BIN;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    ::close(out_fd);
    ::close(err_fd);
    Salida s;
    s.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    s.out = slurp(out_tpl);
    s.err = slurp(err_tpl);
    ::unlink(out_tpl);
    ::unlink(err_tpl);
    return s;
}

// A fresh directory under the test temp dir, removed by the destructor.
class TempDir {
public:
    TempDir() {
        std::string tpl = std::string(::testing::TempDir()) + "zd-XXXXXX";
        path_ = ::mkdtemp(tpl.data());
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace zdtest
