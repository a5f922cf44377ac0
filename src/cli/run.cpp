#include "cli/run.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "cli/args.h"
#include "cli/help.h"
#include "cli/reports.h"
#include "compress/driver.h"
#include "compress/state.h"
#include "crypto/setup.h"
#include "extract/extract.h"
#include "format/container.h"
#include "snapshot/add.h"
#include "snapshot/forget.h"
#include "util/error.h"

namespace zd::cli {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }
void print_err(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }

// Exclusion patterns travel to the walk through ZD_EXCLUDE.
void set_exclude(const Args& a) {
    if (a.exclude.empty()) return;
    std::string joined;
    for (size_t i = 0; i < a.exclude.size(); ++i) joined += (i ? "\n" : "") + a.exclude[i];
    ::setenv("ZD_EXCLUDE", joined.c_str(), 1);
}

off_t file_size_or_zero(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

void add(Args& a) {
    const std::string archive = posicional(a.positionals, 0, "the .zd archive to add to");
    if (a.positionals.size() < 2) throw Error("missing the input to add");
    const std::vector<std::string> inputs(a.positionals.begin() + 1, a.positionals.end());
    const std::string name = a.name ? *a.name : default_snapshot_name();
    // Unlike the written design, add applies --exclude as compress does.
    set_exclude(a);
    const auto start = Clock::now();
    compress::Estadisticas stats =
        snapshot::anadir(archive, inputs, name, a.level, !a.no_jpeg, !a.no_group, a.max, a.solid);
    const double secs = seconds_since(start);
    print(add_report(stats, name, uint64_t(file_size_or_zero(archive)), secs));
}

void forget(Args& a) {
    const std::string archive = posicional(a.positionals, 0, "the .zd archive");
    std::string name;
    if (a.name) {
        name = *a.name;
    } else if (a.positionals.size() >= 2) {
        name = a.positionals[1];
    } else {
        throw Error("which snapshot? use --name X or give it as the second argument");
    }
    const auto start = Clock::now();
    auto [before, after] = snapshot::olvidar(archive, name);
    print(forget_report(name, before, after, seconds_since(start)));
}

void compress(Args& a) {
    std::vector<std::string> inputs;
    if (a.from_stdin) {
        inputs = {"-"};
    } else {
        if (a.positionals.empty()) throw Error("missing the input to compress");
        for (const auto& p : a.positionals)
            if (!exists(p)) throw Error(fmt::format("{}: no such file or directory", p));
        inputs = a.positionals;
    }
    const std::string out = output_path(a);
    set_exclude(a);
    if (a.price) throw Error("--price: la elección por coste aún no está disponible en esta versión");

    compress::OpcionesRun opt;
    opt.inputs = a.from_stdin ? std::vector<std::string>{} : inputs;
    opt.output = out;
    opt.level = a.level;
    opt.jpeg = !a.no_jpeg;
    opt.grouping = !a.no_group;
    opt.max = a.max;
    opt.solid = a.solid;
    opt.snapshot = a.name.value_or("");
    opt.from_stdin = a.from_stdin;
    const auto start = Clock::now();
    compress::Estadisticas stats = compress::comprimir_pleno(opt);
    print(compress_report(stats, seconds_since(start)));
}

void extract_or_verify(Args& a, bool with_destination) {
    const std::string archive = posicional(a.positionals, 0, "the .zd archive");
    std::optional<std::string> dest;
    if (with_destination) dest = output_path(a);
    std::vector<std::string> failures;
    const auto start = Clock::now();
    extract::Resultado r =
        extract::extraer_patron(archive, dest, failures, with_destination ? a.file : std::nullopt);
    const double secs = seconds_since(start);
    for (const auto& line : failures) print_err(line + "\n");
    if (with_destination) {
        print(extract_report(r, secs));
        if (r.failed != 0) throw Error(fmt::format("{} file(s) with WRONG blake3 — round-trip broken", r.failed));
    } else {
        if (r.failed != 0) throw Error(fmt::format("VERIFICATION FAILED: {}/{} corrupt files", r.failed, r.files));
        print(verify_report(r, secs));
    }
}

void list(Args& a) {
    const std::string archive = posicional(a.positionals, 0, "the .zd archive");
    format::Archivo ar = format::abrir(archive);
    ar.file.reset();
    Listing l = list_report(ar.index, a.file);
    print(l.out);
    std::fflush(stdout);
    print_err(l.err);
}

void info(Args& a) {
    const std::string archive = posicional(a.positionals, 0, "the .zd archive");
    format::Archivo ar = format::abrir(archive);
    ar.file.reset();
    print(info_report(ar.index));
}

[[noreturn]] void not_yet(const char* what) {
    throw Error(fmt::format("{}: aún no disponible en esta versión", what));
}

struct Command {
    const char* name;
    const char* alias1;
    const char* alias2;
    void (*run)(Args&);
};

const Command kCommands[] = {
    {"compress", "comprimir", nullptr, compress},
    {"add", "anadir", "añadir", add},
    {"extract", "descomprimir", nullptr, [](Args& a) { extract_or_verify(a, true); }},
    {"list", "listar", nullptr, list},
    {"info", nullptr, nullptr, info},
    {"verify", "verificar", nullptr, [](Args& a) { extract_or_verify(a, false); }},
    {"forget", "olvidar", nullptr, forget},
    {"mount", "montar", nullptr,
     [](Args& a) {
         posicional(a.positionals, 0, "the .zd archive");
         posicional(a.positionals, 1, "the mountpoint");
         not_yet("mount");
     }},
};

const Command* find_command(const std::string& word) {
    for (const auto& c : kCommands) {
        if (word == c.name || (c.alias1 && word == c.alias1) || (c.alias2 && word == c.alias2)) return &c;
    }
    return nullptr;
}

// Installs the archive key before anything reads or writes an archive.
void encryption_step(const std::string& word, const Args& a) {
    const bool compressing = word == "compress" || word == "comprimir";
    if (compressing) {
        if (a.encrypt) crypto::prepara_cifrado_nuevo(a.password_file);
        return;
    }
    if (a.positionals.empty() || !exists(a.positionals[0])) return;
    crypto::prepara_cifrado_existente(a.password_file, format::lee_cabecera_cripto(a.positionals[0]));
}

}  // namespace

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        require_utf8(args);
        switch (early_answer(args)) {
            case EarlyAnswer::Help: print(help_text()); return 0;
            case EarlyAnswer::Version: print(version_line()); return 0;
            case EarlyAnswer::None: break;
        }
        const std::string word = args[0];
        Args a = parsear(std::vector<std::string>(args.begin() + 1, args.end()));
        compress::PROG_FORZAR = a.progress;
        // The word is checked before the encryption step, so a typo never asks for a password.
        const Command* command = find_command(word);
        if (!command) throw Error(fmt::format("unknown command: {}\n\ntry: zundra --help", word));
        encryption_step(word, a);
        command->run(a);
        std::fflush(stdout);
        return 0;
    } catch (const Error& e) {
        std::fflush(stdout);
        print_err("Error: " + e.report() + "\n");
        return 1;
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        print_err("Error: memoria agotada\n");
        return 1;
    }
}

}  // namespace zd::cli
