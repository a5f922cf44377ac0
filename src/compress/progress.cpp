#include "compress/progress.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include <fmt/format.h>

#include "util/env.h"

namespace zd::compress {

namespace {

constexpr double kMiB = 1048576.0;

constexpr std::array<std::string_view, kFases> kNombres = {
    "recorrer",       "agrupar",     "stat",        "enrutar",      "jxl",
    "transformar",    "leer+trocear", "hash",       "dedup+copiar", "esperar",
    "meta+xattr",     "comprimir",   "escribir",    "cerrar",       "  ...preflate",
    "  ...log-ts",    "  ...E8E9",   "  ...pre-deflate",
};

uint64_t paso_de(uint64_t total) { return total < 100 ? 1 : std::min<uint64_t>(total / 100, 64); }

// The expected share of a job of `len` bytes already done after `since_ms`,
// at `rate` bytes per millisecond: it approaches `weight` and never reaches it.
double credito_de(double weight, double len, double rate, uint64_t now, uint64_t since_ms) {
    const double k = len / rate;
    if (!(k > 0)) return 0;
    const double a = now > since_ms ? double(now - since_ms) : 0.0;
    return weight * (1.0 - std::exp(-a / k));
}

// Work already done by the frames in flight and by the index compression.
double credito_en_vuelo(double w) {
    const uint64_t hecho = PROG_PLANO_HECHO.load();
    const uint64_t ms_hilo = PROG_MS_HILO.load();
    if (hecho == 0 || ms_hilo == 0) return 0;
    const double rate = double(hecho) / double(ms_hilo);
    const uint64_t now = ms_desde_arranque();
    double c = 0;
    for (int i = 0; i < kVueloSlots; ++i) {
        const uint64_t b = VUELO_BYTES[i].load();
        if (b == 0) continue;
        c += credito_de(double(b), double(b), rate, now, VUELO_MS[i].load());
    }
    const uint64_t indice_ms = VUELO_INDICE_MS.load();
    if (indice_ms != 0 && !PROG_INDICE_LISTO.load())
        c += credito_de(w, double(PROG_INDICE.load()), rate, now, indice_ms);
    return c;
}

void duerme_100ms() {
    timespec left{0, 100'000'000};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

}  // namespace

void escribe_stderr(std::string_view text) noexcept {
    ::flockfile(stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    ::funlockfile(stderr);
}

std::string decimal_exacto(double v) {
    // The shortest round-trip digits come from to_chars; only the layout is ours,
    // since fixed to_chars may print more digits than needed for large values.
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    if (ec != std::errc()) return fmt::format("{}", v);
    std::string_view s(buf, size_t(end - buf));
    std::string out;
    if (!s.empty() && s.front() == '-') {
        out.push_back('-');
        s.remove_prefix(1);
    }
    const size_t e_pos = s.find('e');
    std::string digits;
    for (char c : s.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    int exp10 = 0;
    std::from_chars(s.data() + e_pos + 1 + (s[e_pos + 1] == '+'), s.data() + s.size(), exp10);
    // The value is 0.<digits> × 10^point.
    const long point = long(exp10) + 1;
    const long n = long(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(size_t(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(size_t(point - n), '0');
    } else {
        out.append(digits, 0, size_t(point));
        out.push_back('.');
        out.append(digits, size_t(point));
    }
    return out;
}

void pinta_progreso(bool final) {
    const bool forzar = PROG_FORZAR.load();
    if (!forzar && ::isatty(2) != 1) return;
    const uint64_t h = PROG_HECHOS.load();
    const uint64_t t = PROG_TOTAL.load();
    if (t == 0) return;
    (void)PROG_ARRANQUE.get();

    if (!final) {
        if (PROG_PLANO_HECHO.load() == 0 && h % paso_de(t) != 0 && PROG_PREP.load() == 0) return;
        const uint64_t now = ms_desde_arranque();
        // A plain load and store: two threads may both get through one window,
        // which costs one extra line and no lock on the hot paths.
        if (now < PROG_ULT_MS.load() + 200) return;
        PROG_ULT_MS.store(now);
    }

    const uint64_t total_bytes = PROG_TOTAL_BYTES.load();
    const uint64_t bytes = PROG_BYTES.load();
    const double w = double(PROG_INDICE.load() * PESO_INDICE.load());
    const double d = double(std::min(total_bytes, std::max(bytes, PROG_PREP.load())));
    const double c = credito_en_vuelo(w);
    const uint64_t prevision = PROG_PREVISION.load();
    const uint64_t prevision_hecha = PROG_PREVISION_HECHA.load();
    // Once reading has ended (the index size is firm) the frame bytes are
    // known exactly; the forecast, which cannot see deduplication, no longer
    // stands in for them, or a run with many duplicates would end below 100 %.
    const bool read_done = PROG_INDICE_FIRME.load();
    const uint64_t data = read_done ? PROG_PLANO_TOTAL.load() : std::max(PROG_PLANO_TOTAL.load(), prevision_hecha);
    const uint64_t pending = read_done || prevision <= prevision_hecha ? 0 : prevision - prevision_hecha;
    const double f = double(total_bytes) + double(data) + double(pending) + w;
    const double e = double(PROG_PLANO_HECHO.load()) + d + c + (PROG_INDICE_LISTO.load() ? w : 0.0);

    const bool pool = PROG_POOL.load();
    double p;
    if (pool && f > 0)
        p = 100.0 * e / f;
    else if (total_bytes != 0)
        p = 100.0 * double(bytes) / double(total_bytes);
    else
        p = 100.0 * double(h) / double(t);
    p = std::min(p, final ? 100.0 : 99.0);
    const double m = (pool ? e : double(bytes)) / kMiB;

    std::string line = fmt::format("  {}/{} ficheros ({:.1f}%), {} MiB", h, t, p, decimal_exacto(m));
    if (forzar)
        line += '\n';
    else
        line = fmt::format("\r{}\x1b[K{}", line, final ? "\n" : "");
    escribe_stderr(line);
}

Latido Latido::arranca() {
    Latido l;
    try {
        l.thread_ = std::thread([] {
            // A failing paint ends the heartbeat quietly; the run goes on.
            try {
                while (!PROG_FIN.load()) {
                    duerme_100ms();
                    pinta_progreso(false);
                }
            } catch (...) {
            }
        });
    } catch (const std::system_error&) {
    }
    return l;
}

void Latido::para() noexcept {
    PROG_FIN.store(true);
    if (thread_.joinable()) {
        try {
            thread_.join();
        } catch (const std::system_error&) {
        }
    }
}

std::string_view nombre_fase(Fase f) { return kNombres[size_t(f)]; }

void carga_fase(Fase f, uint64_t nanos) noexcept {
    NANOS[int(f)].fetch_add(nanos, std::memory_order_relaxed);
    VECES[int(f)].fetch_add(1, std::memory_order_relaxed);
}

void pinta_fases(uint64_t bytes, uint64_t files) {
    if (!FASES_ON.load()) return;
    // One reading of every counter, so the rows and the total agree.
    std::array<uint64_t, kFases> nanos{};
    std::array<uint64_t, kFases> veces{};
    uint64_t total = 0;
    for (int i = 0; i < kFases; ++i) {
        nanos[i] = NANOS[i].load();
        veces[i] = VECES[i].load();
        total += nanos[i];
    }
    if (total == 0) return;

    fmt::memory_buffer out;
    auto it = std::back_inserter(out);
    fmt::format_to(it, "\nEL CAMINO DEL BYTE — {} ficheros, {:.1f} MiB\n", files, double(bytes) / kMiB);
    fmt::format_to(it, "{:<14}{:>10}{:>8}{:>12}{:>12}\n", "fase", "seg", "%", "veces", "us/vez");
    double suma_pct = 0;
    for (int i = 0; i < kFases; ++i) {
        const double pct = double(nanos[i]) * 100.0 / double(total);
        suma_pct += pct;
        const double us = veces[i] == 0 ? 0.0 : (double(nanos[i]) / 1000.0) / double(veces[i]);
        fmt::format_to(it, "{:<14}{:>10.2f}{:>7.1f}%{:>12}{:>12.1f}\n", kNombres[size_t(i)],
                       double(nanos[i]) / 1e9, pct, veces[i], us);
    }
    fmt::format_to(it, "{:<14}{:>10.2f}{:>7.1f}%\n", "TOTAL (hilo principal)", double(total) / 1e9,
                   suma_pct);
    fmt::format_to(it, "{}",
                   "  Las tres ultimas ocurren en OTROS hilos: su tiempo se solapa con el del principal,\n"
                   "  asi que el TOTAL de esta tabla no es el reloj, es la suma del trabajo hecho.\n"
                   "  «esperar» es lo que el hilo principal espera a los de compresion. Si es casi cero,\n"
                   "  los hilos de compresion NO son el cuello: no se les llega a dar trabajo.\n");
    escribe_stderr(std::string_view(out.data(), out.size()));
}

std::string linea_indice(uint64_t serializado, uint64_t estimado, uint64_t ficheros,
                         uint64_t trozos, uint64_t plano_total) {
    const double ser = double(serializado);
    const double est = double(estimado);
    return fmt::format(
        "indice        {:>10.2f} MB en claro   (la barra iba contando {:.2f} MB, {:+.1f}%)   "
        "{} ficheros, {} trozos, plano {} MiB\n",
        ser / 1e6, est / 1e6, (est - ser) * 100.0 / std::max(ser, 1.0), ficheros, trozos,
        decimal_exacto(double(plano_total) / kMiB));
}

void traza(std::string_view mensaje) {
    static const bool on = env_switch_on("ZD_TRAZA");
    if (!on) return;
    escribe_stderr(fmt::format("[traza {:7.2f}s] {}\n", segundos_desde_arranque(), mensaje));
}

}  // namespace zd::compress
