// Shared pieces of the reliability tests: input trees, the real binary run
// under a CPU limit with its peak memory taken, and checks of what an
// extraction left on disk.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cli/binary.h"

namespace reltest {

namespace fs = std::filesystem;

// A fresh folder under the temporary directory, removed with everything in it.
class Workdir {
public:
    Workdir() {
        std::string tpl = fs::temp_directory_path() / "zd-rel-XXXXXX";
        path_ = ::mkdtemp(tpl.data());
    }
    ~Workdir() { fs::remove_all(path_); }
    Workdir(const Workdir&) = delete;
    Workdir& operator=(const Workdir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::string read_all(const std::string& path) { return zdtest::slurp(path); }

inline void write_all(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    zdtest::write_file(path, data);
}

inline std::string noise(size_t len, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(len, '\0');
    for (char& c : out) c = char(gen());
    return out;
}

// Text that compresses but is not trivially repetitive.
inline std::string prose(size_t len, uint32_t seed) {
    static const char* const words[] = {"archivo", "frame", "índice", "chunk", "lane", "zstd", "hash",
                                        "copia", "datos", "bloque", "\n", "12345", "ruta/a/b"};
    std::mt19937 gen(seed);
    std::string out;
    while (out.size() < len) {
        out += words[gen() % std::size(words)];
        out += ' ';
    }
    out.resize(len);
    return out;
}

// Environment of every child: the password for encrypted archives (harmless
// for the others, and it keeps a damaged flag from asking a terminal), and
// sanitizer reports turned into aborts so that they count as crashes.
inline const std::vector<std::string>& child_env() {
    static const std::vector<std::string> env = {
        "ZD_PASSWORD=contraseña de prueba",
        "ASAN_OPTIONS=abort_on_error=1:allocator_may_return_null=1:detect_leaks=0",
        "UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1",
    };
    return env;
}

struct Corrida {
    int status = -1;        // exit status, or 128 + signal
    long peak_rss_kib = 0;  // largest resident set of the run
    std::string out;
    std::string err;

    bool signaled() const { return status >= 128; }
    bool hung() const { return status == 128 + SIGXCPU; }
};

// Runs the binary in a helper process limited to `cpu_seconds` of CPU (the
// limit passes on to the binary, so a runaway is ended by SIGXCPU), and reads
// back its status, output and RUSAGE_CHILDREN peak, which then covers this
// one run only.
inline Corrida corre(const std::vector<std::string>& args, int cpu_seconds = 60) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return {};
    const pid_t helper = ::fork();
    if (helper == 0) {
        ::close(pipe_fds[0]);
        const struct rlimit cpu = {rlim_t(cpu_seconds), rlim_t(cpu_seconds + 5)};
        ::setrlimit(RLIMIT_CPU, &cpu);
        const zdtest::Salida s = zdtest::zundra(args, "/dev/null", child_env());
        struct rusage ru {};
        ::getrusage(RUSAGE_CHILDREN, &ru);
        const std::string msg = std::to_string(s.status) + "\n" + std::to_string(ru.ru_maxrss) + "\n" +
                                std::to_string(s.out.size()) + "\n" + s.out + s.err;
        for (size_t at = 0; at < msg.size();) {
            const ssize_t n = ::write(pipe_fds[1], msg.data() + at, msg.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string msg;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) msg.append(buf, size_t(n));
    ::close(pipe_fds[0]);
    ::waitpid(helper, nullptr, 0);
    Corrida c;
    size_t a = msg.find('\n'), b = msg.find('\n', a + 1), d = msg.find('\n', b + 1);
    if (d == std::string::npos) return c;
    c.status = std::stoi(msg.substr(0, a));
    c.peak_rss_kib = std::stol(msg.substr(a + 1, b - a - 1));
    const size_t out_len = std::stoul(msg.substr(b + 1, d - b - 1));
    c.out = msg.substr(d + 1, out_len);
    c.err = msg.substr(d + 1 + out_len);
    return c;
}

// Every name under `root`, relative, with "/" after directories.
inline std::set<std::string> names_under(const std::string& root) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        // Lexically: fs::relative would resolve a planted link to where it points.
        std::string rel = it->path().lexically_relative(root).string();
        if (it->is_directory() && !it->is_symlink()) rel += "/";
        out.insert(rel);
    }
    return out;
}

// What an extraction may hold: `sources` maps each top-level prefix of the
// archive's paths to the tree it was made from; "" stands for names under no
// prefix (every name of an archive without snapshot names). Returns a description of every entry under `out_dir` that is
// not in its source or differs from it: an empty list means nothing wrong is
// on disk, whatever the extraction's exit status was.
inline std::vector<std::string> wrong_entries(const std::string& out_dir,
                                              const std::map<std::string, std::string>& sources) {
    std::vector<std::string> wrong;
    for (const std::string& rel : names_under(out_dir)) {
        const std::string got = out_dir + "/" + rel;
        std::string src;
        for (const auto& [prefix, tree] : sources) {  // in order, so a named prefix wins over ""
            if (prefix.empty()) {
                src = tree + "/" + rel;
            } else if (rel.starts_with(prefix + "/")) {
                src = rel == prefix + "/" ? tree : tree + "/" + rel.substr(prefix.size() + 1);
            }
        }
        struct stat a, b;
        if (src.empty() || ::lstat(src.c_str(), &b) != 0) {
            wrong.push_back(rel + ": not in the input");
            continue;
        }
        ::lstat(got.c_str(), &a);
        if ((a.st_mode & S_IFMT) != (b.st_mode & S_IFMT)) {
            wrong.push_back(rel + ": other kind of entry");
        } else if (S_ISREG(a.st_mode) && read_all(got) != read_all(src)) {
            wrong.push_back(rel + ": other content");
        } else if (S_ISLNK(a.st_mode) && fs::read_symlink(got) != fs::read_symlink(src)) {
            wrong.push_back(rel + ": other link target");
        }
    }
    return wrong;
}

}  // namespace reltest
