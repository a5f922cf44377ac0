#include "cli/run.h"

#include <cstdio>

namespace zd::cli {

int run(int, char**) {
    std::fputs("zundra 0.1.0\n", stdout);
    return 0;
}

}  // namespace zd::cli
