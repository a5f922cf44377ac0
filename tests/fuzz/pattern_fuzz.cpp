// casa_patron on a path and a pattern split at the first NUL of the input,
// with the identities every pattern kind promises.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "format/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    if (nul == std::string_view::npos) return 0;
    const std::string_view path = input.substr(0, nul);
    const std::string_view pattern = input.substr(nul + 1);
    const bool matched = zd::format::casa_patron(path, pattern);
    using zd::format::casa_patron;
    if (pattern.empty() && !matched) std::abort();
    if (!casa_patron(path, path) || !casa_patron(path, "*")) std::abort();
    // "*" + the whole path: the leftmost occurrence of the path is the path itself.
    if (!casa_patron(path, std::string("*").append(path))) std::abort();
    return 0;
}
