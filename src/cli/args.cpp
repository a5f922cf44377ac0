#include "cli/args.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "util/env.h"
#include "util/error.h"
#include "util/utf8.h"

namespace zd::cli {

namespace {

enum class Opt {
    Out, Level, Max, Price, Retention, Cpu, NoJpeg, NoGroup, Group, Solid, NoSolid,
    Exclude, File, Name, Stdin, Progress, Encrypt, PasswordFile,
};

struct OptionName {
    std::string_view name;
    Opt opt;
    const char* needs;  // message when the value is missing; nullptr for flags
};

// Every spelling, English and Spanish; matched whole and byte-exact.
constexpr std::array kOptions{
    OptionName{"-o", Opt::Out, "-o needs a path"},
    OptionName{"--out", Opt::Out, "-o needs a path"},
    OptionName{"--level", Opt::Level, "--level needs a number"},
    OptionName{"--nivel", Opt::Level, "--level needs a number"},
    OptionName{"--max", Opt::Max, nullptr},
    OptionName{"--price", Opt::Price, "--price needs a number"},
    OptionName{"--precio", Opt::Price, "--price needs a number"},
    OptionName{"--retention", Opt::Retention, "--retention needs a number"},
    OptionName{"--retencion", Opt::Retention, "--retention needs a number"},
    OptionName{"--cpu", Opt::Cpu, "--cpu needs a number"},
    OptionName{"--no-jpeg", Opt::NoJpeg, nullptr},
    OptionName{"--sin-jpeg", Opt::NoJpeg, nullptr},
    OptionName{"--no-group", Opt::NoGroup, nullptr},
    OptionName{"--sin-agrupar", Opt::NoGroup, nullptr},
    OptionName{"--group", Opt::Group, nullptr},
    OptionName{"--agrupar", Opt::Group, nullptr},
    OptionName{"--solid", Opt::Solid, nullptr},
    OptionName{"--no-solid", Opt::NoSolid, nullptr},
    OptionName{"--sin-solido", Opt::NoSolid, nullptr},
    OptionName{"--exclude", Opt::Exclude, "--exclude needs a pattern"},
    OptionName{"--excluir", Opt::Exclude, "--exclude needs a pattern"},
    OptionName{"--file", Opt::File, "--file needs a pattern"},
    OptionName{"--fichero", Opt::File, "--file needs a pattern"},
    OptionName{"--name", Opt::Name, "--name needs a value"},
    OptionName{"--nombre", Opt::Name, "--name needs a value"},
    OptionName{"--stdin", Opt::Stdin, nullptr},
    OptionName{"--progress", Opt::Progress, nullptr},
    OptionName{"--encrypt", Opt::Encrypt, nullptr},
    OptionName{"--cifrar", Opt::Encrypt, nullptr},
    OptionName{"--password-file", Opt::PasswordFile, "--password-file needs a path"},
    OptionName{"--fichero-contrasena", Opt::PasswordFile, "--password-file needs a path"},
};

const OptionName* find_option(std::string_view arg) {
    for (const auto& o : kOptions)
        if (o.name == arg) return &o;
    return nullptr;
}

int32_t parse_level(const std::string& text) {
    auto v = parse_i32(text);
    if (!v) throw Error(fmt::format("--level: «{}» is not a number", text));
    return *v;
}

// Decimal float, whole text, optional sign. from_chars takes no "+", so it is
// skipped here (but not a "+" followed by another sign).
std::optional<double> parse_float(const std::string& text) {
    std::string_view s = text;
    if (!s.empty() && s[0] == '+') {
        s.remove_prefix(1);
        if (!s.empty() && (s[0] == '+' || s[0] == '-')) return std::nullopt;
    }
    if (s.empty()) return std::nullopt;
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (end != s.data() + s.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Overflow and underflow are numbers, just extreme ones: strtod gives
        // them as ±inf or the nearest tiny value. The program never changes
        // the C locale, so "." is its decimal point.
        return std::strtod(std::string(s).c_str(), nullptr);
    }
    if (ec != std::errc()) return std::nullopt;
    return v;
}

}  // namespace

double parse_number(std::string_view label, const std::string& text) {
    std::string dotted = text;
    std::replace(dotted.begin(), dotted.end(), ',', '.');
    auto v = parse_float(dotted);
    if (!v) throw Error(fmt::format("{}: «{}» is not a number", label, text));
    return *v;
}

uint64_t solid_from(const std::optional<std::string>& inline_value) {
    uint64_t requested = 128;
    if (inline_value) requested = parse_u64(*inline_value).value_or(128);
    // The low floor of 1 MiB exists only for benchmarking small frames.
    uint64_t low = env_switch_on("ZD_BANCO_SOLIDO") ? 1 : 32;
    return std::clamp<uint64_t>(requested, low, 256);
}

void require_utf8(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (!is_valid_utf8(a))
            throw Error(fmt::format("argument «{}» is not valid UTF-8\n\ntry: zundra --help",
                                    lossy_utf8(a)));
}

Args parsear(const std::vector<std::string>& args) {
    require_utf8(args);
    Args out;
    constexpr std::string_view kSolidEq = "--solid=";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const OptionName* o = find_option(arg);
        if (!o) {
            if (arg.starts_with(kSolidEq)) {
                out.solid = solid_from(arg.substr(kSolidEq.size()));
            } else if (arg.starts_with('-')) {
                throw Error(fmt::format("unknown option: {}\n\ntry: zundra --help", arg));
            } else {
                out.positionals.push_back(arg);
            }
            continue;
        }
        // A value is the next argument as it is, even when it looks like an option.
        std::string value;
        if (o->needs) {
            if (i + 1 >= args.size()) throw Error(o->needs);
            value = args[++i];
        }
        switch (o->opt) {
            case Opt::Out: out.out = value; break;
            case Opt::Level: out.level = parse_level(value); break;
            case Opt::Max: out.max = true; break;
            case Opt::Price: out.price = parse_number("--price", value); break;
            case Opt::Retention: out.retention = parse_number("--retention", value); break;
            case Opt::Cpu: out.cpu = parse_number("--cpu", value); break;
            case Opt::NoJpeg: out.no_jpeg = true; break;
            case Opt::NoGroup: out.no_group = true; break;
            case Opt::Group: out.no_group = false; break;
            case Opt::Solid: out.solid = solid_from(std::nullopt); break;
            case Opt::NoSolid: out.solid = 0; break;
            case Opt::Exclude: out.exclude.push_back(value); break;
            case Opt::File: out.file = value; break;
            case Opt::Name: out.name = value; break;
            case Opt::Stdin: out.from_stdin = true; break;
            case Opt::Progress: out.progress = true; break;
            case Opt::Encrypt: out.encrypt = true; break;
            case Opt::PasswordFile: out.password_file = value; break;
        }
    }
    return out;
}

std::string posicional(const std::vector<std::string>& positionals, size_t index,
                       std::string_view label) {
    if (index >= positionals.size())
        throw Error(fmt::format("missing {}\n\ntry: zundra --help", label));
    return positionals[index];
}

std::string output_path(const Args& args) {
    if (!args.out) throw Error("missing «-o <path>»\n\ntry: zundra --help");
    return *args.out;
}

std::string default_snapshot_name(std::chrono::system_clock::time_point now) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return fmt::format("snapshot-{}", secs < 0 ? 0 : secs);
}

}  // namespace zd::cli
