#include "compress/lane.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using zd::compress::lane_for;
using zd::compress::lane_por_contenido;

std::string text_with_controls(size_t len, size_t controls) {
    std::string s(len, 'a');
    for (size_t i = 0; i < controls; ++i) s[i * 32 + 5] = '\f';
    return s;
}

class LaneFor : public testing::Test {
protected:
    LaneFor() {
        char tmpl[] = "/tmp/zd_lane_test_XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~LaneFor() override { std::filesystem::remove_all(dir_); }

    std::string make(const std::string& name, const std::string& content) {
        auto path = dir_ / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    std::filesystem::path dir_;
};

const std::string kBinary("\x7f" "ELF\0\0\0", 7);
const std::string kText = "plain words\tand\r\nlines\n";

TEST_F(LaneFor, ExtensionDecidesBeforeContent) {
    struct Case {
        const char* name;
        const std::string& content;
        uint8_t lane;
    };
    const Case cases[] = {
        {"notes.TXT", kBinary, 0},       // lower-cased
        {"a/b/main.Cpp", kBinary, 0},
        {"config.env", kBinary, 0},
        {"photo.jpeg", kText, 1},
        {"archive.tar.gz", kText, 1},    // only the last extension counts
        {"font.WOFF2", kText, 1},
        {"x.7z", kText, 1},
        {"tar.gz.orig", kText, 0},       // unknown extension: sniffed
        {".env", kText, 0},              // a leading dot is no extension...
        {"sub/.env", kBinary, 2},        // ...so the content decides
        {"..env", kBinary, 0},           // but a later dot is one
        {"data.txt.", kBinary, 2},       // empty extension: sniffed
        {"README", kText, 0},
        {"program", kBinary, 2},
    };
    for (const auto& c : cases) EXPECT_EQ(lane_for(make(c.name, c.content)), c.lane) << c.name;
}

TEST_F(LaneFor, ContentOfFilesWithoutKnownExtension) {
    std::string late_nul(4096, 'x');
    late_nul += std::string(1, '\0');
    const std::string early_nul = std::string(100, 'x') + '\0' + std::string(5000, 'x');
    struct Case {
        const char* name;
        std::string content;
        uint8_t lane;
    };
    const Case cases[] = {
        {"empty", "", 2},
        {"nul", early_nul, 2},
        {"nul_after_4k", late_nul, 0},
        {"one_in_32", text_with_controls(4096, 128), 2},
        {"just_under", text_with_controls(4096, 127), 0},
        // Only the first 4 KiB count: the controls after them do not.
        {"controls_after_4k", std::string(4096, 'a') + std::string(4096, '\x01'), 0},
        {"utf8", "caf\xc3\xa9 \xe2\x82\xac\n", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(lane_for(make(c.name, c.content)), c.lane) << c.name;
}

TEST_F(LaneFor, UnreadableIsOther) {
    EXPECT_EQ(lane_for((dir_ / "missing").string()), 2);
    make("sub.txt/inner", kText);
    EXPECT_EQ(lane_for((dir_ / "sub.txt").string()), 0);  // the name alone decides
    // ".." names no file, so the directory is sniffed and cannot be read.
    EXPECT_EQ(lane_for((dir_ / "sub.txt/inner/..").string()), 2);
    EXPECT_EQ(lane_for(""), 2);
}

TEST(LanePorContenido, SameRuleOnTheFirstBytes) {
    auto view = [](const std::string& s) {
        return zd::ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    struct Case {
        const char* what;
        std::string data;
        uint8_t lane;
    };
    const Case cases[] = {
        {"empty", "", 2},
        {"text", kText, 0},
        {"nul", kBinary, 2},
        {"nul past 4 KiB", std::string(4096, 'x') + '\0', 0},
        {"2 controls in 64", text_with_controls(64, 2), 2},
        {"1 control in 64", text_with_controls(64, 1), 0},
        {"controls past 4 KiB", std::string(4096, 'a') + std::string(200, '\x1b'), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(lane_por_contenido(view(c.data)), c.lane) << c.what;
}

}  // namespace
