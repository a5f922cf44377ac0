// Small fixtures shared by the crypto tests: the error chain of a call, a
// scoped environment variable, standard input away from any terminal, and a
// private temporary directory.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "util/bytes.h"
#include "util/error.h"

namespace zd::crypto::testing {

using Chain = std::vector<std::string>;

// The message and causes the call failed with; empty when it did not fail.
template <typename F>
Chain error_chain(F&& f) {
    try {
        f();
    } catch (const zd::Error& e) {
        return e.chain();
    }
    return {};
}

inline Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Standard input from /dev/null, so a test run from a shell never prompts.
class StdinNotTerminal {
public:
    StdinNotTerminal() : saved_(::dup(0)) {
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::close(null);
    }
    ~StdinNotTerminal() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    StdinNotTerminal(const StdinNotTerminal&) = delete;
    StdinNotTerminal& operator=(const StdinNotTerminal&) = delete;

private:
    int saved_;
};

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zd-crypto-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace zd::crypto::testing
