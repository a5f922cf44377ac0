#include <gtest/gtest.h>

#include <string>

#include "cli/reports.h"

namespace {

using zd::compress::Estadisticas;
using zd::extract::Resultado;
using zd::format::FileRec;
using zd::format::FrameRec;
using zd::format::Index;

constexpr uint64_t kMiB = 1048576;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

Estadisticas plain_run() {
    Estadisticas st;
    st.input_bytes = 10 * kMiB;
    st.output_bytes = 5 * kMiB;
    st.files = 3;
    st.dedup_bytes = kMiB;
    st.unique_chunks = 10;
    st.chunks_seen = 12;
    st.frames = 2;
    st.stored_frames = 1;
    st.workers = 4;  // never printed
    return st;
}

TEST(CompressReport, PlainRunHasNoOptionalLines) {
    EXPECT_EQ(zd::cli::compress_report(plain_run(), 2.0),
              "input:          10485760 B (10.0 MiB, 3 files; 0 symlinks skipped)\n"
              "output:          5242880 B (5.0 MiB)  ratio 50.00%\n"
              "dedup:           1048576 B saved (10 unique chunks of 12)\n"
              "frames:     2 (1 stored as incompressible)\n"
              "time:       2.0s  (5.0 MB/s)\n");
}

TEST(CompressReport, OptionalLinesInOrder) {
    Estadisticas st = plain_run();
    st.excluded = 4;
    st.gz_streams = 2;
    st.deflate_bytes = kMiB;
    st.plain_bytes = 3 * kMiB;
    st.correction_bytes = 209715;  // 0.19999... MiB
    st.jpg_files = 1;
    st.jpg_rejected = 2;
    st.jpg_bytes = 2 * kMiB;
    st.jxl_bytes = 1677722;  // 1.6 MiB, 80% of the JPEG bytes
    EXPECT_EQ(zd::cli::compress_report(st, 2.0),
              "input:          10485760 B (10.0 MiB, 3 files; 0 symlinks skipped)\n"
              "output:          5242880 B (5.0 MiB)  ratio 50.00%\n"
              "dedup:           1048576 B saved (10 unique chunks of 12)\n"
              "frames:     2 (1 stored as incompressible)\n"
              "excluded:   4 entries skipped by --exclude\n"
              "preflate:   2 .gz unwrapped (1.0 MiB DEFLATE -> 3.0 MiB plain, 0.2 MiB of "
              "corrections)\n"
              "jxl:        1 .jpg transcoded (2.0 MiB -> 1.6 MiB, 80.00%), 2 rejected to store\n"
              "time:       2.0s  (5.0 MB/s)\n");
}

TEST(CompressReport, JxlLineForRejectsAloneDividesByOne) {
    Estadisticas st = plain_run();
    st.jpg_rejected = 1;
    EXPECT_TRUE(contains(zd::cli::compress_report(st, 1.0),
                         "\njxl:        0 .jpg transcoded (0.0 MiB -> 0.0 MiB, 0.00%), 1 rejected "
                         "to store\ntime:"));
}

const char* const kSmallNote =
    "      That is the fixed cost of the container (118 B) plus ~25 B\n"
    "      per file. On anything this small it cannot be avoided.\n";
const char* const kIncompressibleNote =
    "      This data does not compress -already-compressed video, images\n"
    "      or archives- so all that is left is the container overhead.\n"
    "      Deduplication and snapshots still work; the size does not shrink.\n";

TEST(CompressReport, NoteBlockVariants) {
    struct Case {
        uint64_t input, output;
        std::string tail;  // "" when there is no note at all
    };
    const Case cases[] = {
        {100, 300,
         "s)\n\nnote: the archive is 200 B larger than the input (300.0%).\n" +
             std::string(kSmallNote)},
        {4095, 4213,
         "s)\n\nnote: the archive is 118 B larger than the input (102.9%).\n" +
             std::string(kSmallNote)},
        {4096, 4214,
         "s)\n\nnote: the archive is 118 B larger than the input (102.9%).\n" +
             std::string(kIncompressibleNote)},
        {kMiB, kMiB + 1000,
         "s)\n\nnote: the archive is 1000 B larger than the input (100.1%).\n" +
             std::string(kIncompressibleNote)},
        {5000, 5000, ""},
    };
    for (const auto& c : cases) {
        Estadisticas st;
        st.input_bytes = c.input;
        st.output_bytes = c.output;
        const std::string r = zd::cli::compress_report(st, 1.0);
        if (c.tail.empty())
            EXPECT_FALSE(contains(r, "note:")) << r;
        else
            EXPECT_TRUE(r.ends_with(c.tail)) << r;
    }
}

TEST(CompressReport, EmptyInputDividesByOne) {
    Estadisticas st;
    st.output_bytes = 118;
    st.files = 1;
    const std::string r = zd::cli::compress_report(st, 0.0);
    EXPECT_TRUE(contains(r, "output:              118 B (0.0 MiB)  ratio 11800.00%\n")) << r;
    EXPECT_TRUE(contains(r, "time:       0.0s  (0.0 MB/s)\n")) << r;
    EXPECT_TRUE(r.ends_with("\nnote: the archive is 118 B larger than the input (11800.0%).\n" +
                            std::string(kSmallNote)))
        << r;
}

TEST(AddReport, Format) {
    Estadisticas st;
    st.files = 5;
    st.input_bytes = 3 * kMiB;
    st.unchanged_files = 4;
    st.unchanged_bytes = 2 * kMiB;
    st.dedup_bytes = 1000;
    st.unique_chunks = 7;
    st.chunks_seen = 9;
    EXPECT_EQ(zd::cli::add_report(st, "snap-1", 123456, 1.26),
              "snapshot «snap-1»: 5 files, 3.0 MiB of input\n"
              "unchanged:             4 files reused whole (2.0 MiB not re-read)\n"
              "dedup:              1000 B reused (7 new chunks of 9)\n"
              "archive:          123456 B\n"
              "time:       1.3s\n");
}

TEST(ExtractReport, OkLineOnlyWithoutFailures) {
    Resultado r{3, 5 * kMiB, 0};
    EXPECT_EQ(zd::cli::extract_report(r, 2.0),
              "extracted 3 files, 5.0 MiB in 2.0s (2.5 MB/s)\n"
              "blake3 round-trip: OK (3/3)\n");
    r.failed = 1;
    EXPECT_EQ(zd::cli::extract_report(r, 2.0), "extracted 3 files, 5.0 MiB in 2.0s (2.5 MB/s)\n");
}

TEST(VerifyReport, RateClampsTimeToAMillisecond) {
    const Resultado r{2, kMiB, 0};
    const std::string fast = "OK: 2 files, 1.0 MiB verified byte-exact in 0.0s (1000.0 MB/s)\n";
    EXPECT_EQ(zd::cli::verify_report(r, 0.0), fast);
    EXPECT_EQ(zd::cli::verify_report(r, 0.0004), fast);
    EXPECT_EQ(zd::cli::verify_report(r, 0.5),
              "OK: 2 files, 1.0 MiB verified byte-exact in 0.5s (2.0 MB/s)\n");
}

FileRec entry(uint32_t mode, uint64_t size = 42, const char* path = "a/b") {
    FileRec f;
    f.path = path;
    f.mode = mode;
    f.size = size;
    return f;
}

TEST(ListLine, KindLetterAndPermissions) {
    struct Case {
        FileRec rec;
        const char* want;
    };
    FileRec link = entry(0120777);
    link.link_target = "target";
    FileRec link_with_dir_mode = entry(040755);
    link_with_dir_mode.link_target = "t";
    FileRec hard = entry(0100644);
    hard.hard_link = 0;
    FileRec hard_dir = entry(040700);
    hard_dir.hard_link = 3;
    const Case cases[] = {
        {entry(040755), "d0755           42 a/b\n"},
        {link, "l0777           42 a/b\n"},
        {link_with_dir_mode, "l0755           42 a/b\n"},
        {hard, "h0644           42 a/b\n"},
        {hard_dir, "d0700           42 a/b\n"},
        {entry(0), "-0000           42 a/b\n"},
        {entry(0104755), "-4755           42 a/b\n"},
        {entry(0100600, 123456789012, "x y"), "-0600 123456789012 x y\n"},
        {entry(0100600, 1234567890123, "big"), "-0600 1234567890123 big\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(zd::cli::list_line(c.rec), c.want);
}

TEST(ListReport, PatternSelectsLinesAndCount) {
    Index index;
    index.files = {entry(0100644, kMiB, "a/x.log"), entry(0100644, kMiB / 2, "b/y.txt"),
                   entry(0100644, 0, "a/z")};
    const auto all = zd::cli::list_report(index, std::nullopt);
    EXPECT_EQ(all.out,
              "-0644      1048576 a/x.log\n"
              "-0644       524288 b/y.txt\n"
              "-0644            0 a/z\n");
    EXPECT_EQ(all.err, "3 entries, 1.5 MiB of original data\n");

    const auto some = zd::cli::list_report(index, "a");
    EXPECT_EQ(some.out, "-0644      1048576 a/x.log\n-0644            0 a/z\n");
    EXPECT_EQ(some.err, "2 entries, 1.0 MiB of original data\n");

    const auto none = zd::cli::list_report(index, "nothing");
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "0 entries, 0.0 MiB of original data\n");
}

FrameRec frame(uint8_t lane, uint8_t codec) {
    FrameRec f;
    f.lane = lane;
    f.codec = codec;
    return f;
}

TEST(InfoReport, OnlyLanesWithFrames) {
    Index text_only;
    text_only.files = {entry(0100644, kMiB), entry(0100644, kMiB / 2)};
    text_only.chunks.resize(3);
    text_only.frames = {frame(zd::format::kText, zd::format::kZstd),
                        frame(zd::format::kText, zd::format::kStored)};
    EXPECT_EQ(zd::cli::info_report(text_only),
              "files: 2   chunks: 3   frames: 2 (1 stored)   zstd level: 19\n"
              "original bytes: 1572864 (1.5 MiB)\n"
              "  text lane: 2 frames\n");

    Index mixed;
    mixed.level = 7;
    mixed.frames = {frame(zd::format::kOther, zd::format::kCm),
                    frame(zd::format::kMedia, zd::format::kStored),
                    frame(zd::format::kOther, zd::format::kStored)};
    EXPECT_EQ(zd::cli::info_report(mixed),
              "files: 0   chunks: 0   frames: 3 (2 stored)   zstd level: 7\n"
              "original bytes: 0 (0.0 MiB)\n"
              "  media lane: 1 frames\n"
              "  other lane: 2 frames\n");
}

TEST(ForgetReport, Format) {
    EXPECT_EQ(zd::cli::forget_report("old", 10 * kMiB, 5 * kMiB / 2, 0.5),
              "snapshot «old» removed and archive compacted\n"
              "before:         10485760 B (10.0 MiB)\n"
              "after:           2621440 B (2.5 MiB)\n"
              "freed:           7864320 B (75.0%)\n"
              "time:       0.5s\n");
}

TEST(ForgetReport, GrowthShowsANegativeSaving) {
    const std::string r = zd::cli::forget_report("s", 1000, 1100, 0.0);
    EXPECT_TRUE(contains(r, "\nfreed:              -100 B (-10.0%)\n")) << r;
    const std::string empty = zd::cli::forget_report("s", 0, 0, 0.0);
    EXPECT_TRUE(contains(empty, "\nfreed:                 0 B (0.0%)\n")) << empty;
}

}  // namespace
