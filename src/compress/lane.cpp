#include "compress/lane.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>

#include "util/fd.h"
#include "util/utf8.h"

namespace zd::compress {

namespace {

constexpr size_t kSniffBytes = 4096;

constexpr std::string_view kTextExtensions[] = {
    "php", "js",  "ts",  "css", "html", "htm",  "md",   "txt", "sql", "csv", "json",
    "log", "xml", "yml", "yaml", "tpl", "sh",   "py",   "kt",  "c",   "h",   "cpp",
    "hpp", "rs",  "ini", "conf", "lock", "svg", "twig", "vue", "env",
};

constexpr std::string_view kMediaExtensions[] = {
    "gz",  "xz",  "7z",  "jpg",  "png",  "gif",  "mp4",  "mkv",  "mov",  "mp3",  "ogg",
    "zip", "zst", "rar", "jar",  "apk",  "pdf",  "jpeg", "webp", "webm", "woff", "woff2",
};

// The last component when it is an ordinary name: empty and "." components
// are skipped, and ".." or a bare root has none.
std::optional<std::string_view> file_name(std::string_view path) {
    std::optional<std::string_view> last;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(pos, end - pos);
        if (!part.empty() && part != ".") last = part;
        pos = end + 1;
    }
    if (last && *last == "..") return std::nullopt;
    return last;
}

// The lower-cased text after the last ".", when there is one worth a look.
std::optional<std::string> extension(std::string_view path) {
    auto name = file_name(path);
    if (!name) return std::nullopt;
    size_t dot = name->rfind('.');
    // No dot, or a leading dot only (".env" is a name, not an extension).
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    std::string_view ext = name->substr(dot + 1);
    if (ext.empty() || !is_valid_utf8(ext)) return std::nullopt;
    std::string lower(ext);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return lower;
}

template <size_t N>
bool listed(const std::string_view (&list)[N], std::string_view ext) {
    return std::find(std::begin(list), std::end(list), ext) != std::end(list);
}

}  // namespace

uint8_t lane_por_contenido(ByteView first_bytes) {
    const size_t n = std::min(first_bytes.size(), kSniffBytes);
    size_t control = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = first_bytes[i];
        if (b == 0) return kLaneOther;
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') ++control;
    }
    return control * 32 < n ? kLaneText : kLaneOther;
}

std::optional<uint8_t> lane_por_extension(const std::string& path) {
    if (auto ext = extension(path)) {
        if (listed(kTextExtensions, *ext)) return kLaneText;
        if (listed(kMediaExtensions, *ext)) return kLaneMedia;
    }
    return std::nullopt;
}

uint8_t lane_for(const std::string& path) {
    if (auto lane = lane_por_extension(path)) return *lane;
    UniqueFd fd = open_fd(path, O_RDONLY);
    if (!fd) return kLaneOther;
    std::array<uint8_t, kSniffBytes> buf{};
    ssize_t n;
    do {
        n = ::read(fd.get(), buf.data(), buf.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return kLaneOther;
    return lane_por_contenido(ByteView(buf.data(), size_t(n)));
}

}  // namespace zd::compress
