// Opening archives: every refusal of abrir, on small archives made here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "format/container.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace zf = zd::format;

namespace {

std::string temp_path(const std::string& name) {
    return std::string(::testing::TempDir()) + "container-" + name + "-" + std::to_string(::getpid());
}

void write_bytes(const std::string& path, const zd::Bytes& bytes) {
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zd::write_all(fd.get(), bytes);
}

// A complete version-16 archive with one empty file and no frames.
zd::Bytes small_archive(uint8_t codec_byte = 1) {
    zf::Index index;
    zf::FileRec f;
    f.path = "a";
    f.mode = 0100644;
    f.hash = zd::blake3_16(zd::ByteView());
    index.files.push_back(f);
    const zd::Bytes serialised = zf::escribir(index);
    zd::Bytes archive = zf::cabecera(zf::CryptoHeader{});
    const std::string path = temp_path("build");
    write_bytes(path, archive);
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_APPEND);
    zf::FinArchivo fin;
    fin.blob_offset = archive.size();
    fin.blob.push_back(codec_byte);
    zd::Bytes packed = zd::comprime_zstd(serialised, 19);
    fin.blob.insert(fin.blob.end(), packed.begin(), packed.end());
    fin.serialised_len = serialised.size();
    fin.serialised_hash = zd::blake3_256(serialised);
    zf::escribe_fin(fd.get(), fin);
    fd.reset();
    zd::UniqueFd in = zd::open_fd(path, O_RDONLY);
    zd::Bytes all(size_t(::lseek(in.get(), 0, SEEK_END)));
    zd::pread_exact(in.get(), all.data(), all.size(), 0);
    ::unlink(path.c_str());
    return all;
}

std::string open_error(const zd::Bytes& bytes) {
    const std::string path = temp_path("open");
    write_bytes(path, bytes);
    std::string message;
    try {
        zf::abrir(path);
    } catch (const zd::Error& e) {
        message = e.message();
    }
    ::unlink(path.c_str());
    return message;
}

TEST(Abrir, OpensAWellFormedArchive) {
    const zd::Bytes bytes = small_archive();
    const std::string path = temp_path("good");
    write_bytes(path, bytes);
    zf::Archivo a = zf::abrir(path);
    EXPECT_EQ(a.version, 16);
    ASSERT_EQ(a.index.files.size(), 1u);
    EXPECT_EQ(a.index.files[0].path, "a");
    EXPECT_EQ(a.size, bytes.size());
    EXPECT_TRUE(a.file.valid());
    ::unlink(path.c_str());
}

TEST(Abrir, RefusesEachKindOfDamage) {
    const zd::Bytes good = small_archive();
    auto with = [&](auto change) {
        zd::Bytes b = good;
        change(b);
        return b;
    };
    const size_t blob_at = zf::kHeaderLen;
    struct Case {
        const char* what;
        zd::Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {"71 bytes", zd::Bytes(71, 'Z'), "archivo demasiado pequeño o corrupto"},
        {"72 bytes of nothing", zd::Bytes(72, 0),
         "formato de contenedor desconocido (\0\0\0\0\0\0\0\0): ¿archivo de una versión posterior? Actualiza zundra."},
        {"a later version", with([](zd::Bytes& b) { b[7] = '7'; }),
         "formato de contenedor desconocido (ZNDR0017): ¿archivo de una versión posterior? Actualiza zundra."},
        {"an earlier version", with([](zd::Bytes& b) { b[7] = '1'; }),
         "formato de contenedor desconocido (ZNDR0011): ¿archivo de una versión posterior? Actualiza zundra."},
        {"truncated by one byte", zd::Bytes(good.begin(), good.end() - 1), "pie inválido: archivo truncado o corrupto"},
        {"empty blob", with([](zd::Bytes& b) { zd::put_u64le(b.data() + b.size() - 56, 0); }),
         "índice vacío: archivo corrupto"},
        {"blob outside the file",
         with([](zd::Bytes& b) { zd::put_u64le(b.data() + b.size() - 64, uint64_t(1) << 40); }),
         "pie inválido: el índice cae fuera del archivo"},
        {"blob longer than the file",
         with([](zd::Bytes& b) { zd::put_u64le(b.data() + b.size() - 56, uint64_t(1) << 50); }),
         "pie inválido: el índice cae fuera del archivo"},
        {"codec byte 3", with([&](zd::Bytes& b) { b[blob_at] = 3; }), "códec de índice desconocido: 3"},
        {"hash in the footer changed", with([](zd::Bytes& b) { b[b.size() - 40] ^= 1; }),
         "índice corrupto: blake3 no coincide"},
    };
    for (const auto& c : cases) {
        std::string expected = c.message;
        if (std::string(c.what) == "72 bytes of nothing") {
            // Zero bytes are valid UTF-8 and are shown as they are.
            expected = std::string("formato de contenedor desconocido (") + std::string(8, '\0') +
                       "): ¿archivo de una versión posterior? Actualiza zundra.";
        }
        EXPECT_EQ(open_error(c.bytes), expected) << c.what;
    }
}

TEST(Abrir, MagicWithInvalidUtf8IsShownWithReplacementCharacters) {
    zd::Bytes b = small_archive();
    b[4] = 0xFF;
    EXPECT_EQ(open_error(b),
              "formato de contenedor desconocido (ZNDR\xEF\xBF\xBD" "016): ¿archivo de una versión posterior? "
              "Actualiza zundra.");
}

// Any single flipped byte of the compressed index is caught by the codec or
// the hash, or (a flag bit zstd does not need) yields the very same index:
// never a silently different one.
TEST(Abrir, FlippedIndexBytesNeverGiveADifferentIndex) {
    const zd::Bytes good = small_archive();
    const std::string path = temp_path("flip");
    write_bytes(path, good);
    const zf::Index original = zf::abrir(path).index;
    const uint64_t blob_len = zd::get_u64le(good.data() + good.size() - 56);
    size_t refused = 0;
    for (size_t i = zf::kHeaderLen + 1; i < zf::kHeaderLen + blob_len; ++i) {
        for (uint8_t bit : {0x01, 0x20, 0x80}) {
            zd::Bytes b = good;
            b[i] ^= bit;
            write_bytes(path, b);
            try {
                EXPECT_EQ(zf::abrir(path).index, original) << "byte " << i;
            } catch (const zd::Error&) {
                ++refused;
            }
        }
    }
    EXPECT_GT(refused, 0u);
    ::unlink(path.c_str());
}

// Cutting a valid archive anywhere leaves no readable footer.
TEST(Abrir, EveryTruncationIsRefused) {
    const zd::Bytes good = small_archive();
    for (size_t len = 0; len < good.size(); ++len) {
        EXPECT_NE(open_error(zd::Bytes(good.begin(), good.begin() + len)), "") << len;
    }
}

TEST(Abrir, MissingFileNamesThePath) {
    try {
        zf::abrir("/nonexistent/x.zd");
        FAIL();
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "abrir /nonexistent/x.zd");
        ASSERT_EQ(e.causes().size(), 1u);
        EXPECT_EQ(e.causes()[0], "No such file or directory");
    }
}

TEST(Container, NewArchiveHeaderAndCryptoHeaderRoundTrip) {
    zd::Bytes clear = zf::cabecera(zf::CryptoHeader{});
    ASSERT_EQ(clear.size(), 40u);
    EXPECT_EQ(std::string(clear.begin(), clear.begin() + 8), "ZNDR0016");
    for (size_t i = 8; i < 40; ++i) EXPECT_EQ(clear[i], 0);

    zf::CryptoHeader h;
    h.encrypted = true;
    for (size_t i = 0; i < 16; ++i) h.salt[i] = uint8_t(i + 1);
    h.memory_mib = 64;
    h.passes = 3;
    h.lanes = 1;
    const std::string path = temp_path("crypto");
    write_bytes(path, zf::cabecera(h));
    zf::CryptoHeader back = zf::lee_cabecera_cripto(path);
    EXPECT_TRUE(back.encrypted);
    EXPECT_EQ(back.salt, h.salt);
    EXPECT_EQ(back.memory_mib, 64u);
    EXPECT_EQ(back.passes, 3u);
    EXPECT_EQ(back.lanes, 1u);
    // Shorter than a header, or an older version: in the clear.
    write_bytes(path, zd::Bytes{'Z', 'N', 'D', 'R'});
    EXPECT_FALSE(zf::lee_cabecera_cripto(path).encrypted);
    ::unlink(path.c_str());
}

}  // namespace
