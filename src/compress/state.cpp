#include "compress/state.h"

namespace zd::compress {

std::atomic<int32_t> NIVEL{19};
std::atomic<bool> CM{false};
std::atomic<uint64_t> SOLIDO{64};
std::atomic<bool> FASES_ON{false};
std::atomic<uint64_t> PESO_INDICE{1};

std::atomic<bool> PROG_FORZAR{false};
std::atomic<uint64_t> PROG_TOTAL{0};
std::atomic<uint64_t> PROG_HECHOS{0};
std::atomic<uint64_t> PROG_BYTES{0};
std::atomic<uint64_t> PROG_TOTAL_BYTES{0};
std::atomic<uint64_t> PROG_PREP{0};
std::atomic<uint64_t> PROG_PLANO_TOTAL{0};
std::atomic<uint64_t> PROG_PLANO_HECHO{0};
std::atomic<uint64_t> PROG_PREVISION{0};
std::atomic<uint64_t> PROG_PREVISION_HECHA{0};
std::atomic<uint64_t> PROG_INDICE{0};
std::atomic<bool> PROG_INDICE_FIRME{false};
std::atomic<bool> PROG_INDICE_LISTO{false};
std::atomic<uint64_t> PROG_MS_HILO{0};
std::atomic<uint64_t> PROG_ULT_MS{0};
std::atomic<bool> PROG_POOL{false};
std::atomic<bool> PROG_FIN{false};
std::atomic<uint64_t> VUELO_INDICE_MS{0};
std::atomic<uint64_t> VUELO_MS[kVueloSlots];
std::atomic<uint64_t> VUELO_BYTES[kVueloSlots];

std::atomic<uint64_t> NANOS[kFases];
std::atomic<uint64_t> VECES[kFases];

// Constant-initialised (once_flag and time_point are constexpr), so it is
// usable from any static initialiser.
constinit OnceInstant PROG_ARRANQUE;

uint64_t ms_desde_arranque() {
    auto d = std::chrono::steady_clock::now() - PROG_ARRANQUE.get();
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

double segundos_desde_arranque() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - PROG_ARRANQUE.get())
        .count();
}

void reinicia_progreso(uint64_t files_to_store) {
    PROG_TOTAL = files_to_store;
    PROG_HECHOS = 0;
    PROG_BYTES = 0;
    PROG_PREP = 0;
    PROG_PLANO_TOTAL = 0;
    PROG_PLANO_HECHO = 0;
    PROG_INDICE = 80 * files_to_store;
    PROG_INDICE_FIRME = false;
    PROG_INDICE_LISTO = false;
    PROG_MS_HILO = 0;
    VUELO_INDICE_MS = 0;
    for (auto& slot : VUELO_BYTES) slot = 0;
    for (auto& slot : VUELO_MS) slot = 0;
    PROG_ULT_MS = 0;
    PROG_POOL = true;
    PROG_TOTAL_BYTES = 0;
    PROG_PREVISION = 0;
    PROG_PREVISION_HECHA = 0;
    PROG_FIN = false;
}

}  // namespace zd::compress
