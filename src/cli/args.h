// The parsed command line (Args) and the helpers the dispatcher uses to pull
// required values out of it. Everything here is pure apart from reading
// ZD_BANCO_SOLIDO and the clock; errors are zd::Error with the user-facing text.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zd::cli {

struct Args {
    std::optional<double> price;           // euros per TB-month
    std::vector<std::string> positionals;  // in command-line order
    std::vector<std::string> exclude;      // patterns, in command-line order
    std::optional<std::string> file;       // --file pattern
    std::optional<std::string> password_file;
    std::optional<std::string> name;
    std::optional<std::string> out;
    uint64_t solid = 64;                   // frame size in MiB; 0 = small frames
    double retention = 12.0;               // months
    double cpu = 46.0 / 720.0;             // euros per hour of this machine
    int32_t level = 19;
    // Not called `stdin`: that name is a macro of the C library.
    bool from_stdin = false;
    bool progress = false;
    bool encrypt = false;
    bool no_jpeg = false;
    bool no_group = false;
    bool max = false;

    bool operator==(const Args& other) const = default;
};

// Parses the arguments that follow the command word. Throws zd::Error with the
// message for an unknown option, a missing value or an unparsable number.
Args parsear(const std::vector<std::string>& args);

// Throws when an argument is not valid UTF-8; the program takes text only.
void require_utf8(const std::vector<std::string>& args);

// A float for --price/--retention/--cpu: "," counts as the decimal point.
// `label` is the option's English name, used in the error.
double parse_number(std::string_view label, const std::string& text);

// The frame size in MiB that --solid=`inline_value` asks for, already clamped;
// std::nullopt stands for the bare --solid.
uint64_t solid_from(const std::optional<std::string>& inline_value);

// Copy of positional `index`, or "missing {label}" with the help hint.
std::string posicional(const std::vector<std::string>& positionals, size_t index,
                       std::string_view label);

// Copy of -o, or the "missing «-o <path>»" error.
std::string output_path(const Args& args);

// "snapshot-{seconds since the epoch}"; 0 when the clock is before the epoch.
std::string default_snapshot_name(
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace zd::cli
