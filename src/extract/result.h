// What one extraction or verification returns to the command line.
#pragma once

#include <cstdint>

namespace zd::extract {

struct Resultado {
    uint64_t files = 0;   // entries processed
    uint64_t bytes = 0;   // bytes rebuilt
    uint64_t failed = 0;  // failure lines produced by the workers
};

}  // namespace zd::extract
