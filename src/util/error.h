// zd::Error: the one error type of the program.
//
// An error is a top message plus an ordered chain of causes, outermost first.
// A failing operation adds its own context line on top ("abrir {}", "leer {}")
// and keeps the cause it received unchanged below it. main() prints the chain.
#pragma once

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace zd {

class Error : public std::exception {
public:
    explicit Error(std::string message) { chain_.push_back(std::move(message)); }

    // An error whose cause is the system error `errnum` (strerror text).
    static Error sys(std::string context, int errnum);
    // The bare system error, with no context of its own.
    static Error sys(int errnum);

    // Returns this error with `context` as its new top message.
    Error context(std::string context) &&;
    Error context(std::string context) const&;

    const std::string& message() const { return chain_.front(); }
    // Causes below the top message, outermost first.
    std::vector<std::string> causes() const { return {chain_.begin() + 1, chain_.end()}; }
    const std::vector<std::string>& chain() const { return chain_; }

    const char* what() const noexcept override { return chain_.front().c_str(); }

    // "message" then, when there are causes, "\n\nCaused by:\n" and each cause
    // indented by four spaces, numbered when there are two or more.
    std::string report() const;

private:
    std::vector<std::string> chain_;
};

// The system's text for an errno value.
std::string sys_text(int errnum);

}  // namespace zd
