#include "util/error.h"

#include <cstring>

namespace zd {

std::string sys_text(int errnum) {
    char buf[256];
    // GNU strerror_r returns the message pointer, which may not be buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return text;
}

Error Error::sys(std::string context, int errnum) {
    Error e(sys_text(errnum));
    return std::move(e).context(std::move(context));
}

Error Error::sys(int errnum) { return Error(sys_text(errnum)); }

Error Error::context(std::string context) && {
    chain_.insert(chain_.begin(), std::move(context));
    return std::move(*this);
}

Error Error::context(std::string context) const& {
    Error copy = *this;
    return std::move(copy).context(std::move(context));
}

std::string Error::report() const {
    std::string out = chain_.front();
    if (chain_.size() == 1) return out;
    out += "\n\nCaused by:";
    const bool numbered = chain_.size() > 2;
    for (size_t i = 1; i < chain_.size(); ++i) {
        out += "\n    ";
        if (numbered) out += std::to_string(i - 1) + ": ";
        out += chain_[i];
    }
    return out;
}

}  // namespace zd
