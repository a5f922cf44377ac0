// abrir on a whole archive file made of the input. No key is installed, so
// the index blob is read in the clear.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "format/container.h"
#include "util/error.h"
#include "util/fd.h"

namespace {

// One file per process, rewritten for every input.
const std::string& scratch_path() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/zd-fuzz-abrir-" + std::to_string(::getpid()) + ".zd";
    }();
    return path;
}

struct RemoveAtExit {
    ~RemoveAtExit() { ::unlink(scratch_path().c_str()); }
} remove_at_exit;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        zd::UniqueFd fd = zd::open_fd(scratch_path(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!fd) std::abort();
        zd::write_all(fd.get(), zd::ByteView(data, size));
    }
    try {
        zd::format::Archivo a = zd::format::abrir(scratch_path());
        // What abrir hands back must describe the file it read.
        if (a.size != size || a.version < 12 || a.version > 16 || !a.file) std::abort();
    } catch (const zd::Error&) {
    }
    return 0;
}
