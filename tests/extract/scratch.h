// Scratch directories and environment variables that clean up after a test.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zdtest {

class TempDir {
public:
    TempDir() {
        std::string base = std::filesystem::temp_directory_path() / "zd-extract-XXXXXX";
        if (!::mkdtemp(base.data())) throw std::runtime_error("mkdtemp");
        path_ = base;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);  // does not follow links
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void spit(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// Names in a directory, sorted; empty when it does not exist.
inline std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        names.push_back(it->path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace zdtest
