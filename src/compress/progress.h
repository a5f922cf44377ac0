// The progress line, its heartbeat, phase timing and trace lines.
//
// Everything reads the process-wide counters of state.h; nothing here owns
// state of its own beyond the trace switch and the heartbeat thread. Any
// thread may paint, time a section or trace: counters are atomics, and every
// write to standard error happens as one piece under the stderr stream lock,
// so lines from different threads never interleave.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "compress/state.h"

namespace zd::compress {

// Paints the progress line on standard error when it is due (throttled to one
// paint per 200 ms and, before compression output starts, to every step-th
// file), or unconditionally when `final` is set. Prints nothing unless
// --progress was given or standard error is a terminal.
void pinta_progreso(bool final);

// The heartbeat: a thread that repaints the progress line every 100 ms until
// PROG_FIN is set. The caller clears PROG_FIN before starting it. Dropping a
// handle stops it the same way as para(), so an early return never leaves the
// thread behind. Without a thread of its own (default or moved from) a
// handle's drop does nothing, so it never stops a heartbeat it gave away.
class Latido {
public:
    // A thread that cannot be started means no heartbeat, not a failed run.
    static Latido arranca();

    Latido() = default;
    Latido(Latido&&) noexcept = default;
    Latido& operator=(Latido&& o) noexcept {
        if (this != &o) {
            if (thread_.joinable()) para();
            thread_ = std::move(o.thread_);
        }
        return *this;
    }
    Latido(const Latido&) = delete;
    Latido& operator=(const Latido&) = delete;
    ~Latido() {
        if (thread_.joinable()) para();
    }

    // Sets PROG_FIN and joins the thread (at most one more sleep and paint).
    // Calling it again, or on an empty handle, only sets PROG_FIN.
    void para() noexcept;

private:
    std::thread thread_;
};

// The timed phases, in the order of the phase table.
enum class Fase : int {
    recorrer,
    agrupar,
    stat,
    enrutar,
    jxl,
    transformar,
    leer_trocear,
    hash,
    dedup_copiar,
    esperar,
    meta_xattr,
    comprimir,
    escribir,
    cerrar,
    preflate,
    log_ts,
    e8e9,
    pre_deflate,
};

// The name printed in the phase table.
std::string_view nombre_fase(Fase f);

// Adds one timed section of `nanos` to phase `f`.
void carga_fase(Fase f, uint64_t nanos) noexcept;

// Runs `op` and returns its result. With FASES_ON set, its elapsed time is
// charged to `f`, also when it throws; with it off, no clock is read.
template <class F>
decltype(auto) cron(Fase f, F&& op) {
    if (!FASES_ON.load(std::memory_order_relaxed)) return std::forward<F>(op)();
    struct Carga {
        Fase f;
        std::chrono::steady_clock::time_point t0;
        ~Carga() {
            auto d = std::chrono::steady_clock::now() - t0;
            carga_fase(f, uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
        }
    } carga{f, std::chrono::steady_clock::now()};
    return std::forward<F>(op)();
}

// Prints the phase table on standard error, when phase timing is on and some
// time was charged. `bytes` and `files` are the run's input bytes and files.
void pinta_fases(uint64_t bytes, uint64_t files);

// The diagnostic line about the index printed after the phase table:
// serialised length, the estimate the progress line used, files, chunk
// records and the uncompressed bytes cut into frames.
std::string linea_indice(uint64_t serializado, uint64_t estimado, uint64_t ficheros,
                         uint64_t trozos, uint64_t plano_total);

// Prints one trace line on standard error when ZD_TRAZA (read once per
// process, on the first call) turns tracing on.
void traza(std::string_view mensaje);

// `v` as the shortest decimal that reads back as the same double, in fixed
// notation, without a fractional part when it is whole: 3, 12.5, 0.0000001.
// For finite values.
std::string decimal_exacto(double v);

// Writes `text` on standard error as one piece under the stream's lock.
// Failures are ignored: diagnostics are no reason to fail a run.
void escribe_stderr(std::string_view text) noexcept;

}  // namespace zd::compress
