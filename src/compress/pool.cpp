#include "compress/pool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_map>

#include <fmt/core.h>

#include "compress/progress.h"
#include "compress/state.h"
#include "crypto/seal.h"
#include "crypto/slots.h"
#include "format/container.h"
#include "util/env.h"
#include "util/error.h"
#include "util/oneshot_zstd.h"

namespace zd::compress {

namespace {

int media_level() { return env_i32("ZD_MEDIA_NIVEL").value_or(9); }

// Diagnostic dump of a frame's uncompressed bytes; every failure is ignored.
void dump_frame(const std::string& dir, const PendingFrame& f) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::string path = fmt::format("{}/carril{}-frame{:05}.bin", dir, f.lane, f.number);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(f.data.data()), std::streamsize(f.data.size()));
}

}  // namespace

uint64_t presupuesto_ram_mb() {
    if (auto n = env_u64("ZD_RAM_MB")) return *n;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kb = 0;
    while (meminfo >> key) {
        if (key == "MemTotal:") {
            if (meminfo >> kb) {
                uint64_t r = 6 * (kb / 1024) / 10;
                return std::clamp<uint64_t>(r, 1024, 24576);
            }
            break;
        }
        meminfo.ignore(1 << 20, '\n');
    }
    return 2457;
}

unsigned cuenta_workers(bool max, uint64_t solid_mib) {
    long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = CPU_COUNT(&set);
    uint64_t n = cpus > 0 ? uint64_t(cpus) : 4;
    uint64_t count = n < 3 ? 1 : std::min<uint64_t>(n - 2, 4);
    if (auto w = env_u64("ZD_WORKERS"); w && *w > 0) count = *w;

    uint64_t per_worker = 0;
    if (max) {
        per_worker = solid_mib ? solid_mib + 2048 : 1152;
    } else if (solid_mib) {
        per_worker = 2 * solid_mib;
    } else {
        return unsigned(std::min<uint64_t>(count, 1u << 16));
    }
    uint64_t by_memory = std::max<uint64_t>(1, presupuesto_ram_mb() / std::max<uint64_t>(per_worker, 1));
    return unsigned(std::min({count, by_memory, uint64_t(1) << 16}));
}

std::pair<uint8_t, Bytes> comprime_frame(uint8_t lane, Bytes data) {
    int level = lane == format::kMedia ? media_level() : NIVEL.load();
    if (CM.load() && (lane == format::kText || lane == format::kOther)) {
        // zd-cm frames are refused before a run starts; never reached.
        throw Error("zd-cm no disponible en esta versión");
    }
    Bytes packed;
    try {
        packed = comprime_zstd(data, level);
    } catch (Error& e) {
        throw std::move(e).context("zstd compress");
    }
    if (100 * uint64_t(packed.size()) >= 98 * uint64_t(data.size())) return {format::kStored, std::move(data)};
    return {format::kZstd, std::move(packed)};
}

Pool::Pool(UniqueFd file, uint64_t start_offset, bool appending, uint32_t first_frame, unsigned workers) {
    if (workers == 0) workers = 1;
    worker_errors_.resize(workers);
    results_.add_receiver();
    // The driver's sending end exists before any worker looks at the channel,
    // so no worker can mistake the start of a run for its end.
    frames_.add_sender();
    for (unsigned i = 0; i < workers; ++i) {
        frames_.add_receiver();
        results_.add_sender();
    }
    writer_ = std::thread(&Pool::writer_loop, this, std::move(file), start_offset, appending, first_frame);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back(&Pool::worker_loop, this, size_t(i));
}

Pool::~Pool() {
    if (joined_) return;
    // A failed run: nothing queued is worth compressing any more.
    frames_.cancel();
    results_.cancel();
    for (auto& t : workers_)
        if (t.joinable()) t.join();
    if (writer_.joinable()) writer_.join();
}

void Pool::worker_loop(size_t slot) {
    const std::optional<std::string> dump_dir = env_text("ZD_BANCO_FRAMES");
    try {
        while (auto frame = frames_.recv()) {
            if (dump_dir) dump_frame(*dump_dir, *frame);
            const uint64_t started = ms_desde_arranque();
            const uint64_t raw_len = frame->data.size();
            if (slot < size_t(kVueloSlots)) {
                VUELO_MS[slot] = started;
                VUELO_BYTES[slot] = raw_len;
            }
            auto [codec, payload] =
                cron(Fase::comprimir, [&] { return comprime_frame(frame->lane, std::move(frame->data)); });
            if (slot < size_t(kVueloSlots)) VUELO_BYTES[slot] = 0;
            PROG_MS_HILO += ms_desde_arranque() - started;
            PROG_PLANO_HECHO += raw_len;
            pinta_progreso(false);
            DoneFrame done{std::move(payload), raw_len, frame->number, frame->lane, codec};
            // A writer that has gone has its own error; this worker just stops.
            if (!results_.send(std::move(done))) break;
        }
    } catch (const Error&) {
        worker_errors_[slot] = std::current_exception();
    } catch (...) {
        worker_errors_[slot] = std::make_exception_ptr(Error("worker panic"));
    }
    frames_.drop_receiver();
    results_.drop_sender();
}

Escrito escribe_frames(UniqueFd file, uint64_t offset, bool appending, uint32_t next, Channel<DoneFrame>& results) {
    Escrito out;
    BufferedWriter w(file.get(), 8192);
    const std::optional<crypto::Key> key = crypto::clave();
    if (!appending) {
        format::CryptoHeader header;
        if (key) {
            Bytes salt = crypto::sal();
            if (salt.size() != header.salt.size()) throw Error("la sal del archivo cifrado no mide 16 bytes");
            header.encrypted = true;
            std::copy(salt.begin(), salt.end(), header.salt.begin());
            header.memory_mib = 64;
            header.passes = 3;
            header.lanes = 1;
        }
        w.write(format::cabecera(header));
        offset = format::kHeaderLen;
    }
    std::unordered_map<uint32_t, DoneFrame> early;
    auto write_one = [&](DoneFrame& f) {
        if (key) f.payload = crypto::cifra(*key, f.payload);
        cron(Fase::escribir, [&] { w.write(f.payload); });
        format::FrameRec rec{offset, f.payload.size(), f.raw_len, f.codec, f.lane};
        out.frames.emplace_back(f.number, rec);
        if (f.codec == format::kStored) ++out.stored_frames;
        offset += f.payload.size();
    };
    for (;;) {
        if (auto it = early.find(next); it != early.end()) {
            write_one(it->second);
            early.erase(it);
            ++next;
            continue;
        }
        auto f = results.recv();
        if (!f) break;
        if (f->number == next) {
            write_one(*f);
            ++next;
        } else {
            early.emplace(f->number, std::move(*f));
        }
    }
    if (!early.empty())
        throw Error(fmt::format("{} frames quedaron sin drenar (hueco en la numeración)", early.size()));
    w.flush();
    out.file = std::move(file);
    out.end_offset = offset;
    return out;
}

void Pool::writer_loop(UniqueFd file, uint64_t offset, bool appending, uint32_t next) {
    try {
        written_ = escribe_frames(std::move(file), offset, appending, next, results_);
    } catch (const Error&) {
        writer_error_ = std::current_exception();
    } catch (...) {
        writer_error_ = std::make_exception_ptr(Error("writer panic"));
    }
    results_.drop_receiver();
}

Escrito Pool::shutdown() {
    for (auto& t : workers_) t.join();
    writer_.join();
    joined_ = true;
    for (auto& e : worker_errors_)
        if (e) std::rethrow_exception(e);
    if (writer_error_) std::rethrow_exception(writer_error_);
    return std::move(*written_);
}

}  // namespace zd::compress
