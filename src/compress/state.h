// Process-wide values of a compression run: the settings the driver writes
// before any worker starts, and the progress counters every stage adds to.
// All are atomics, so the heartbeat and the workers read them without locks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace zd::compress {

// Settings, written once per run by the driver before the pool starts.
extern std::atomic<int32_t> NIVEL;     // zstd level of text and other frames
extern std::atomic<bool> CM;           // --max: zd-cm for text and other frames
extern std::atomic<uint64_t> SOLIDO;   // solid frame size in MiB, 0 = small frames
extern std::atomic<bool> FASES_ON;     // phase timing (ZD_FASES)
extern std::atomic<uint64_t> PESO_INDICE;

// Progress counters (shown by the progress line).
extern std::atomic<bool> PROG_FORZAR;  // --progress: paint even without a terminal
extern std::atomic<uint64_t> PROG_TOTAL;
extern std::atomic<uint64_t> PROG_HECHOS;
extern std::atomic<uint64_t> PROG_BYTES;
extern std::atomic<uint64_t> PROG_TOTAL_BYTES;
extern std::atomic<uint64_t> PROG_PREP;
extern std::atomic<uint64_t> PROG_PLANO_TOTAL;
extern std::atomic<uint64_t> PROG_PLANO_HECHO;
extern std::atomic<uint64_t> PROG_PREVISION;
extern std::atomic<uint64_t> PROG_PREVISION_HECHA;
extern std::atomic<uint64_t> PROG_INDICE;
extern std::atomic<bool> PROG_INDICE_FIRME;
extern std::atomic<bool> PROG_INDICE_LISTO;
extern std::atomic<uint64_t> PROG_MS_HILO;
extern std::atomic<uint64_t> PROG_ULT_MS;
extern std::atomic<bool> PROG_POOL;
extern std::atomic<bool> PROG_FIN;
extern std::atomic<uint64_t> VUELO_INDICE_MS;

inline constexpr int kVueloSlots = 128;
extern std::atomic<uint64_t> VUELO_MS[kVueloSlots];
extern std::atomic<uint64_t> VUELO_BYTES[kVueloSlots];

// Phase timing totals, indexed by Fase (progress.h). Never reset: a process
// that runs the driver several times accumulates them.
inline constexpr int kFases = 18;
extern std::atomic<uint64_t> NANOS[kFases];
extern std::atomic<uint64_t> VECES[kFases];

// The progress clock's start, fixed at its first reading in the process, so
// that every "milliseconds since start" figure of the progress counters and
// the trace lines is measured from the same instant.
class OnceInstant {
public:
    std::chrono::steady_clock::time_point get() {
        std::call_once(once_, [this] { t_ = std::chrono::steady_clock::now(); });
        return t_;
    }

private:
    std::once_flag once_;
    std::chrono::steady_clock::time_point t_{};
};
extern OnceInstant PROG_ARRANQUE;

// Whole milliseconds since PROG_ARRANQUE (fixing it if this is the first use).
uint64_t ms_desde_arranque();
// Seconds since PROG_ARRANQUE, with the clock's full resolution.
double segundos_desde_arranque();

// Resets every progress counter for a new run.
void reinicia_progreso(uint64_t files_to_store);

}  // namespace zd::compress
