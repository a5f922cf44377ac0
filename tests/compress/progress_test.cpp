#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "compress/progress.h"
#include "compress/state.h"

namespace zc = zd::compress;

extern char** environ;

namespace {

// When this binary is started again as a trace child, it traces, flips
// ZD_TRAZA and traces again before any test runs: the switch is read once
// per process, so only a fresh process can show it.
[[maybe_unused]] const bool kTraceChild = [] {
    if (!std::getenv("ZD_PRUEBA_TRAZA")) return false;
    zc::traza("uno");
    const char* now = std::getenv("ZD_TRAZA");
    ::setenv("ZD_TRAZA", now && std::string(now) == "1" ? "0" : "1", 1);
    zc::traza("dos");
    std::fflush(stderr);
    ::_exit(0);
}();

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buf, size_t(n));
    }
}

// Sends descriptor 2 to an anonymous file until take() puts it back.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        file_ = ::memfd_create("captura", MFD_CLOEXEC);
        ::dup2(file_, 2);
    }
    ~StderrCapture() { restore(); }

    std::string take() {
        restore();
        ::lseek(file_, 0, SEEK_SET);
        return read_all(file_);
    }
    size_t size_so_far() const { return size_t(::lseek(file_, 0, SEEK_CUR)); }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    int file_ = -1;
};

constexpr uint64_t MiB = 1048576;

struct Counters {
    bool forzar = true;
    uint64_t total = 2;
    uint64_t hechos = 1;
    uint64_t bytes = 0;
    uint64_t total_bytes = 0;
    uint64_t prep = 0;
    uint64_t plano_total = 0;
    uint64_t plano_hecho = 0;
    uint64_t prevision = 0;
    uint64_t prevision_hecha = 0;
    uint64_t indice = 0;
    uint64_t peso = 1;
    uint64_t ms_hilo = 0;
    bool listo = false;
    bool firme = false;
    bool pool = false;
    uint64_t vuelo_indice_ms = 0;
    // One worker slot in flight: (slot, bytes, taken at ms).
    std::optional<std::array<uint64_t, 3>> vuelo;
};

void apply(const Counters& c) {
    zc::PROG_FORZAR = c.forzar;
    zc::PROG_TOTAL = c.total;
    zc::PROG_HECHOS = c.hechos;
    zc::PROG_BYTES = c.bytes;
    zc::PROG_TOTAL_BYTES = c.total_bytes;
    zc::PROG_PREP = c.prep;
    zc::PROG_PLANO_TOTAL = c.plano_total;
    zc::PROG_PLANO_HECHO = c.plano_hecho;
    zc::PROG_PREVISION = c.prevision;
    zc::PROG_PREVISION_HECHA = c.prevision_hecha;
    zc::PROG_INDICE = c.indice;
    zc::PESO_INDICE = c.peso;
    zc::PROG_MS_HILO = c.ms_hilo;
    zc::PROG_INDICE_LISTO = c.listo;
    zc::PROG_INDICE_FIRME = c.firme;
    zc::PROG_POOL = c.pool;
    zc::VUELO_INDICE_MS = c.vuelo_indice_ms;
    for (auto& s : zc::VUELO_BYTES) s = 0;
    for (auto& s : zc::VUELO_MS) s = 0;
    if (c.vuelo) {
        zc::VUELO_MS[(*c.vuelo)[0]] = (*c.vuelo)[2];
        zc::VUELO_BYTES[(*c.vuelo)[0]] = (*c.vuelo)[1];
    }
    zc::PROG_ULT_MS = 0;
}

std::string paint(bool final) {
    StderrCapture cap;
    zc::pinta_progreso(final);
    return cap.take();
}

// Far enough ahead that the throttle holds however slow the machine is.
uint64_t far_future() { return zc::ms_desde_arranque() + 1'000'000'000; }

class Progress : public ::testing::Test {
protected:
    // A throttle value of 0 must let a paint through, which needs the
    // progress clock to be at least 200 ms old.
    static void SetUpTestSuite() {
        while (zc::ms_desde_arranque() < 250) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void TearDown() override {
        apply(Counters{});
        zc::PROG_FORZAR = false;
        zc::PROG_TOTAL = 0;
        zc::PROG_POOL = false;
        zc::PROG_FIN = false;
    }
};

TEST(ProgressMiB, ShortestRoundTripInFixedNotation) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.0, "0"},
        {3.0, "3"},
        {4.0, "4"},
        {12.5, "12.5"},
        {0.0009765625, "0.0009765625"},
        {1e-7, "0.0000001"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.3333333333333333"},
        {123456.789, "123456.789"},
        {1e22, "10000000000000000000000"},
        {1e23, "100000000000000000000000"},
        {1.5e-5, "0.000015"},
        {2.5e16, "25000000000000000"},
    };
    for (const auto& [v, want] : cases) {
        EXPECT_EQ(zc::decimal_exacto(v), want) << v;
        EXPECT_EQ(std::strtod(want.c_str(), nullptr), v) << want;
    }
}

struct LineCase {
    const char* what;
    Counters c;
    std::string want;  // final paint, --progress
};

TEST_F(Progress, ForcedFinalLineFromTheCounters) {
    Counters base;
    base.pool = true;
    base.total_bytes = MiB;
    base.bytes = MiB;
    base.plano_total = 8 * MiB;
    base.plano_hecho = 2 * MiB;
    base.ms_hilo = 1;  // 2 MiB per ms: in-flight work long begun is all but done

    auto with = [&](auto f) {
        Counters c = base;
        f(c);
        return c;
    };
    const std::vector<LineCase> cases = {
        {"without the pool: input bytes", {.total = 4, .hechos = 1, .bytes = MiB, .total_bytes = 4 * MiB},
         "  1/4 ficheros (25.0%), 1 MiB\n"},
        {"without sizes: files", {.total = 3, .hechos = 1}, "  1/3 ficheros (33.3%), 0 MiB\n"},
        {"pool on: work measure",
         {.total = 7,
          .hechos = 3,
          .bytes = 500,
          .total_bytes = 1000,
          .plano_total = 300,
          .plano_hecho = 100,
          .prevision = 800,
          .prevision_hecha = 200,
          .indice = 10,
          .peso = 4,
          .pool = true},
         // F = 1000 + 300 + 600 + 40, E = 100 + 500
         "  3/7 ficheros (30.9%), 0.00057220458984375 MiB\n"},
        // Deduplication: 4 MiB read, forecast 4 MiB, but only 1 MiB reached the
        // frames. Once reading is over the frame bytes replace the forecast.
        {"deduplicated run ends at 100 %",
         {.total = 2, .hechos = 2, .bytes = 4 * MiB, .total_bytes = 4 * MiB, .plano_total = MiB,
          .plano_hecho = MiB, .prevision = 4 * MiB, .prevision_hecha = 4 * MiB, .firme = true, .pool = true},
         "  2/2 ficheros (100.0%), 5 MiB\n"},
        {"pre-pass bytes count as read, up to the total",
         {.total = 2, .bytes = 10, .total_bytes = MiB, .prep = 4 * MiB, .plano_total = MiB, .pool = true},
         "  1/2 ficheros (50.0%), 1 MiB\n"},
        {"forecast done beyond the forecast adds nothing",
         {.total = 2,
          .total_bytes = MiB,
          .prep = MiB,
          .prevision = MiB,
          .prevision_hecha = 3 * MiB,
          .pool = true},
         "  1/2 ficheros (25.0%), 1 MiB\n"},
        {"finished index counts its weight",
         {.total = 2, .bytes = MiB, .total_bytes = MiB, .indice = MiB / 2, .peso = 2, .listo = true, .pool = true},
         "  1/2 ficheros (100.0%), 2 MiB\n"},
        {"frame in flight long enough: credited in full",
         with([](Counters& c) { c.vuelo = {{5, MiB, 0}}; }), "  1/2 ficheros (44.4%), 4 MiB\n"},
        {"frame just taken: no credit yet",
         with([](Counters& c) { c.vuelo = {{127, MiB, far_future()}}; }), "  1/2 ficheros (33.3%), 3 MiB\n"},
        {"no rate known: no credit",
         with([](Counters& c) {
             c.ms_hilo = 0;
             c.vuelo = {{0, MiB, 0}};
         }),
         "  1/2 ficheros (33.3%), 3 MiB\n"},
        {"index compressing long enough: credited in full",
         with([](Counters& c) {
             c.indice = MiB;
             c.vuelo_indice_ms = 1;
         }),
         "  1/2 ficheros (40.0%), 4 MiB\n"},
        {"index compression not begun",
         with([](Counters& c) { c.indice = MiB; }), "  1/2 ficheros (30.0%), 3 MiB\n"},
        {"index done: its weight once, not credit on top",
         with([](Counters& c) {
             c.indice = MiB;
             c.vuelo_indice_ms = 1;
             c.listo = true;
         }),
         "  1/2 ficheros (40.0%), 4 MiB\n"},
    };
    for (const auto& tc : cases) {
        apply(tc.c);
        EXPECT_EQ(paint(true), tc.want) << tc.what;
    }
}

TEST_F(Progress, NeverAbove99BeforeTheFinalPaint) {
    const std::vector<Counters> done = {
        {.total = 2, .hechos = 2, .bytes = 2 * MiB, .total_bytes = MiB},
        {.total = 2, .hechos = 2, .bytes = MiB, .total_bytes = MiB, .plano_total = MiB, .plano_hecho = MiB,
         .pool = true},
        {.total = 2, .hechos = 5},
    };
    for (const auto& c : done) {
        apply(c);
        EXPECT_NE(paint(false).find("(99.0%)"), std::string::npos);
        EXPECT_NE(paint(true).find("(100.0%)"), std::string::npos);
    }
}

TEST_F(Progress, StepRuleBeforeCompressionOutput) {
    struct Case {
        uint64_t total, hechos, plano_hecho, prep;
        bool paints;
    };
    const std::vector<Case> cases = {
        {50, 7, 0, 0, true},        {150, 7, 0, 0, true},     {6399, 63, 0, 0, true},
        {6399, 62, 0, 0, false},    {6399, 64, 0, 0, false},  {6400, 64, 0, 0, true},
        {6400, 63, 0, 0, false},    {10000, 128, 0, 0, true}, {10000, 100, 0, 0, false},
        {10000, 100, 1, 0, true},   {10000, 100, 0, 1, true}, {0, 0, 0, 0, false},
    };
    for (const auto& tc : cases) {
        apply({.total = tc.total, .hechos = tc.hechos, .prep = tc.prep, .plano_hecho = tc.plano_hecho});
        EXPECT_EQ(!paint(false).empty(), tc.paints) << tc.total << " " << tc.hechos;
    }
}

TEST_F(Progress, ThrottleAllowsOnePaintPerWindow) {
    apply({});
    const uint64_t before = zc::ms_desde_arranque();
    EXPECT_FALSE(paint(false).empty());
    const uint64_t stamped = zc::PROG_ULT_MS;
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, zc::ms_desde_arranque());
    // The next one falls inside the window just opened.
    zc::PROG_ULT_MS = far_future();
    EXPECT_TRUE(paint(false).empty());
    // The final paint is never held back, nor does it move the window.
    zc::PROG_HECHOS = 63;
    zc::PROG_TOTAL = 6400;
    const uint64_t window = zc::PROG_ULT_MS;
    EXPECT_EQ(paint(true), "  63/6400 ficheros (1.0%), 0 MiB\n");
    EXPECT_EQ(zc::PROG_ULT_MS, window);
}

TEST_F(Progress, SilentWithoutTerminalOrProgressOption) {
    apply({.forzar = false});
    EXPECT_EQ(paint(true), "");
    EXPECT_EQ(paint(false), "");
}

// The child paints on the slave side of a pseudo-terminal; the parent reads
// everything it wrote.
std::string paint_on_terminal(const Counters& c) {
    int sync[2];
    if (::pipe(sync) != 0) return "pipe failed";
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return "forkpty failed";
    if (pid == 0) {
        ::close(sync[1]);
        termios tio{};
        ::tcgetattr(2, &tio);
        tio.c_oflag &= ~tcflag_t(OPOST);  // keep "\n" as written
        ::tcsetattr(2, TCSANOW, &tio);
        apply(c);
        zc::pinta_progreso(false);
        zc::pinta_progreso(true);
        char b;
        (void)!::read(sync[0], &b, 1);  // stay until the parent has read
        ::_exit(0);
    }
    ::close(sync[0]);
    std::string out;
    char buf[512];
    while (out.empty() || out.back() != '\n') {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10'000) <= 0) break;
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    ::close(sync[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    return out;
}

TEST_F(Progress, TerminalLineOverwritesItselfAndEndsWithNewlineWhenFinal) {
    const std::string line = "\r  1/2 ficheros (50.0%), 0 MiB\x1b[K";
    EXPECT_EQ(paint_on_terminal({.forzar = false}), line + line + "\n");
}

TEST_F(Progress, HeartbeatPaintsUntilStopped) {
    apply({});
    zc::PROG_FIN = false;
    StderrCapture cap;
    zc::Latido beat = zc::Latido::arranca();
    for (int i = 0; i < 500 && cap.size_so_far() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    beat.para();
    EXPECT_TRUE(zc::PROG_FIN);
    const size_t stopped_at = cap.size_so_far();
    EXPECT_GT(stopped_at, 0u);
    // Joined: nothing more can be written.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(cap.size_so_far(), stopped_at);
    beat.para();  // again: harmless
    const std::string first = "  1/2 ficheros (50.0%), 0 MiB\n";
    EXPECT_EQ(cap.take().substr(0, first.size()), first);
}

TEST_F(Progress, DroppingTheHandleStopsTheHeartbeat) {
    zc::PROG_FIN = false;
    { zc::Latido beat = zc::Latido::arranca(); }
    EXPECT_TRUE(zc::PROG_FIN);

    // A handle that gave its thread away stops nothing when dropped.
    zc::PROG_FIN = false;
    zc::Latido keeper;
    {
        zc::Latido beat = zc::Latido::arranca();
        keeper = std::move(beat);
    }
    { zc::Latido empty; }
    EXPECT_FALSE(zc::PROG_FIN);
    keeper.para();
    EXPECT_TRUE(zc::PROG_FIN);
}

// Phase counters are process-wide and never reset; tests look at differences.
struct PhaseSnapshot {
    std::array<uint64_t, zc::kFases> nanos{}, veces{};
    PhaseSnapshot() {
        for (int i = 0; i < zc::kFases; ++i) {
            nanos[i] = zc::NANOS[i];
            veces[i] = zc::VECES[i];
        }
    }
    uint64_t nanos_added(zc::Fase f) const { return zc::NANOS[int(f)] - nanos[int(f)]; }
    uint64_t veces_added(zc::Fase f) const { return zc::VECES[int(f)] - veces[int(f)]; }
    bool unchanged() const {
        for (int i = 0; i < zc::kFases; ++i)
            if (zc::NANOS[i] != nanos[i] || zc::VECES[i] != veces[i]) return false;
        return true;
    }
    void restore() const {
        for (int i = 0; i < zc::kFases; ++i) {
            zc::NANOS[i] = nanos[i];
            zc::VECES[i] = veces[i];
        }
    }
};

class Phase : public ::testing::Test {
protected:
    void TearDown() override {
        zc::FASES_ON = false;
        saved_.restore();
    }
    PhaseSnapshot saved_;
    int target_ = 0;
};

TEST_F(Phase, TimingOffOnlyRunsTheOperation) {
    zc::FASES_ON = false;
    const PhaseSnapshot before;
    auto p = zc::cron(zc::Fase::hash, [] { return std::make_unique<int>(42); });
    EXPECT_EQ(*p, 42);
    int ran = 0;
    zc::cron(zc::Fase::hash, [&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_THROW(zc::cron(zc::Fase::hash, []() -> int { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_TRUE(before.unchanged());
}

TEST_F(Phase, TimingOnChargesEachSectionAlsoWhenItThrows) {
    zc::FASES_ON = true;
    const PhaseSnapshot before;
    int& ref = zc::cron(zc::Fase::comprimir, [&]() -> int& {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return target_;
    });
    EXPECT_EQ(&ref, &target_);
    EXPECT_THROW(zc::cron(zc::Fase::comprimir, []() -> int { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_EQ(before.veces_added(zc::Fase::comprimir), 2u);
    EXPECT_GE(before.nanos_added(zc::Fase::comprimir), 2'000'000u);

    // Nested sections are charged to both phases.
    zc::cron(zc::Fase::transformar, [] { zc::cron(zc::Fase::e8e9, [] {}); });
    EXPECT_EQ(before.veces_added(zc::Fase::transformar), 1u);
    EXPECT_EQ(before.veces_added(zc::Fase::e8e9), 1u);
    EXPECT_EQ(before.veces_added(zc::Fase::hash), 0u);
}

TEST_F(Phase, NamesInTableOrder) {
    const char* names[] = {"recorrer",    "agrupar",      "stat",         "enrutar",     "jxl",
                           "transformar", "leer+trocear", "hash",         "dedup+copiar", "esperar",
                           "meta+xattr",  "comprimir",    "escribir",     "cerrar",      "  ...preflate",
                           "  ...log-ts", "  ...E8E9",    "  ...pre-deflate"};
    for (int i = 0; i < zc::kFases; ++i) EXPECT_EQ(zc::nombre_fase(zc::Fase(i)), names[i]);
    EXPECT_EQ(int(zc::Fase::pre_deflate), zc::kFases - 1);
}

TEST_F(Phase, TableRowsTotalAndFixedLines) {
    zc::FASES_ON = true;
    for (int i = 0; i < zc::kFases; ++i) zc::NANOS[i] = zc::VECES[i] = 0;
    zc::NANOS[int(zc::Fase::recorrer)] = 1'500'000'000;
    zc::VECES[int(zc::Fase::recorrer)] = 3;
    zc::NANOS[int(zc::Fase::comprimir)] = 500'000'000;
    zc::VECES[int(zc::Fase::comprimir)] = 1000;

    StderrCapture cap;
    zc::pinta_fases(5 * MiB / 2, 7);
    const std::string want =
        "\n"
        "EL CAMINO DEL BYTE — 7 ficheros, 2.5 MiB\n"
        "fase                 seg       %       veces      us/vez\n"
        "recorrer            1.50   75.0%           3    500000.0\n"
        "agrupar             0.00    0.0%           0         0.0\n"
        "stat                0.00    0.0%           0         0.0\n"
        "enrutar             0.00    0.0%           0         0.0\n"
        "jxl                 0.00    0.0%           0         0.0\n"
        "transformar         0.00    0.0%           0         0.0\n"
        "leer+trocear        0.00    0.0%           0         0.0\n"
        "hash                0.00    0.0%           0         0.0\n"
        "dedup+copiar        0.00    0.0%           0         0.0\n"
        "esperar             0.00    0.0%           0         0.0\n"
        "meta+xattr          0.00    0.0%           0         0.0\n"
        "comprimir           0.50   25.0%        1000       500.0\n"
        "escribir            0.00    0.0%           0         0.0\n"
        "cerrar              0.00    0.0%           0         0.0\n"
        "  ...preflate       0.00    0.0%           0         0.0\n"
        "  ...log-ts         0.00    0.0%           0         0.0\n"
        "  ...E8E9           0.00    0.0%           0         0.0\n"
        "  ...pre-deflate      0.00    0.0%           0         0.0\n"
        "TOTAL (hilo principal)      2.00  100.0%\n"
        "  Las tres ultimas ocurren en OTROS hilos: su tiempo se solapa con el del principal,\n"
        "  asi que el TOTAL de esta tabla no es el reloj, es la suma del trabajo hecho.\n"
        "  «esperar» es lo que el hilo principal espera a los de compresion. Si es casi cero,\n"
        "  los hilos de compresion NO son el cuello: no se les llega a dar trabajo.\n";
    EXPECT_EQ(cap.take(), want);
}

TEST_F(Phase, TableSilentWhenOffOrNothingTimed) {
    for (int i = 0; i < zc::kFases; ++i) zc::NANOS[i] = zc::VECES[i] = 0;
    zc::VECES[0] = 4;  // counted but no time: still nothing to show
    zc::FASES_ON = true;
    {
        StderrCapture cap;
        zc::pinta_fases(1, 1);
        EXPECT_EQ(cap.take(), "");
    }
    zc::NANOS[0] = 1;
    zc::FASES_ON = false;
    StderrCapture cap;
    zc::pinta_fases(1, 1);
    EXPECT_EQ(cap.take(), "");
}

TEST(PhaseIndexLine, FiguresAndSignedDeviation) {
    EXPECT_EQ(zc::linea_indice(1'234'567, 1'000'000, 12, 345, 3 * MiB + MiB / 2),
              "indice              1.23 MB en claro   (la barra iba contando 1.00 MB, -19.0%)   "
              "12 ficheros, 345 trozos, plano 3.5 MiB\n");
    EXPECT_EQ(zc::linea_indice(0, 500, 0, 0, 1),
              "indice              0.00 MB en claro   (la barra iba contando 0.00 MB, +50000.0%)   "
              "0 ficheros, 0 trozos, plano 0.00000095367431640625 MiB\n");
    EXPECT_EQ(zc::linea_indice(2'000'000, 2'000'000, 1, 1, 4 * MiB),
              "indice              2.00 MB en claro   (la barra iba contando 2.00 MB, +0.0%)   "
              "1 ficheros, 1 trozos, plano 4 MiB\n");
}

// Runs this binary again as a trace child with ZD_TRAZA as given (nullopt:
// unset) and returns what it wrote on standard error.
std::string trace_child(const std::optional<std::string>& zd_traza) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string_view s(*e);
        if (s.starts_with("ZD_TRAZA=") || s.starts_with("ZD_PRUEBA_TRAZA=")) continue;
        env.emplace_back(s);
    }
    env.push_back("ZD_PRUEBA_TRAZA=1");
    if (zd_traza) env.push_back("ZD_TRAZA=" + *zd_traza);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};

    int out[2];
    if (::pipe(out) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 2);
        ::close(out[0]);
        ::close(out[1]);
        ::execve(self, argv, envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text = read_all(out[0]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return text;
}

TEST(TraceLine, SwitchReadOncePerProcessAndLineFormat) {
    const std::regex two_lines(R"(\[traza [ 0-9]{3}[0-9]\.[0-9]{2}s\] uno\n\[traza [ 0-9]{3}[0-9]\.[0-9]{2}s\] dos\n)");
    struct Case {
        std::optional<std::string> value;
        bool on;
    };
    const std::vector<Case> cases = {
        {"1", true}, {"sí", true}, {"0", false}, {"", false}, {std::nullopt, false}, {"\xff", false},
    };
    for (const auto& tc : cases) {
        const std::string got = trace_child(tc.value);
        if (tc.on)
            EXPECT_TRUE(std::regex_match(got, two_lines)) << got;
        else
            EXPECT_EQ(got, "") << tc.value.value_or("(unset)");
    }
}

}  // namespace
