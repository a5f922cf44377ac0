#include "format/pattern.h"

#include <gtest/gtest.h>

namespace {

TEST(CasaPatron, Cases) {
    struct Case {
        const char* path;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        // Exact path, directory, bare name at any depth.
        {"docs", "docs", true},
        {"docs/a.txt", "docs", true},
        {"x/y/docs", "docs", true},
        {"x/docs/a.txt", "docs", false},
        {"docs/a.txt", "docs/", true},
        {"docs/a.txt", "docs//", true},
        {"docsx/a.txt", "docs", false},
        {"x/a.txt", "a.txt", true},
        {"x/ba.txt", "a.txt", false},
        {"x/a.txt", "x/a", false},
        // Wildcards: leftmost pieces, no backtracking.
        {"x/y.log", "*.log", true},
        {"y.log.txt", "*.log", false},
        {"a.log.log", "*.log", false},
        {"src/a/b.c", "src/*", true},
        {"src", "src/*", false},
        {"lib/src/a", "src/*", false},
        {"a/b/c", "a*c", true},
        {"abc", "a**c", true},
        {"ab", "a*b*", true},
        {"ba", "a*", false},
        {"x/a?c", "*a?c", true},  // "?" is an ordinary character
        {"x/abc", "*a?c", false},
        {"x/[a]", "*[a]", true},
        {"anything/at/all", "*", true},
        {"anything/at/all", "", true},
        // Case-sensitive.
        {"docs/a.txt", "Docs", false},
        {"x/A.LOG", "*.log", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zd::format::casa_patron(c.path, c.pattern), c.match)
            << "path " << c.path << " pattern " << c.pattern;
}

}  // namespace
