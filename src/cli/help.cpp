#include "cli/help.h"

#include <algorithm>
#include <string_view>

namespace zd::cli {

namespace {

constexpr std::string_view kHelp = R"HELP(
zundra — CAS archiver: CDC dedup + lanes + zstd/store. blake3 round-trip ALWAYS.

USAGE
  zundra compress   <input>...    -o <archive.zd> [--level N] [--max] [--exclude PAT]
  zundra compress   --stdin       -o <archive.zd> [--name X]
  zundra compress   <input>...    -o <archive.zd> --price <EUR/TB-month> [--retention M]
  zundra add        <archive.zd>  <input>... [--name X]

  <input> can be repeated: `compress a.mp4 b.mp4 notes/ -o copy.zd` saves exactly
  those three, with paths relative to the folder that holds them all.
  zundra extract    <archive.zd>  -o <directory> [--file PATTERN]
  zundra list       <archive.zd>  [--file PATTERN]
  zundra forget     <archive.zd>  <snapshot>

ENCRYPTION (ChaCha20-Poly1305, key derived with Argon2id)
  zundra compress <input> -o <archive.zd> --encrypt --password-file <file>
  zundra extract  <archive.zd> -o <dir> --password-file <file>
  The password is NEVER taken as a command-line argument: it would show up in
  `ps` for every user on the machine and stay in the shell history. Use
  --password-file, or the ZD_PASSWORD environment variable.
  zundra verify     <archive.zd>
  zundra info       <archive.zd>
  zundra mount      <archive.zd>  <mountpoint>

OPTIONS
  -o, --out <path>     destination (required for compress and extract)
      --level <N>      zstd level (default 19)
      --max            best ratio: the text and other lanes use zd-cm, our own
                       context-mixing codec, instead of zstd. Compresses a lot
                       more and is a lot slower.

  PICK THE SETTING BY WHAT IT COSTS YOU, not by what it compresses:
      --price <EUR>    what one TB-month of storage costs you. Given this,
                       zundra probes YOUR data, prices every setting -disk
                       plus the CPU to get there- and uses the cheapest one.
      --retention <M>  how many months you keep the data (default 12). Storage is
                       a monthly rent and CPU is paid once, so how long you keep
                       the data decides which of the two wins.
      --cpu <EUR/h>    what an hour of this machine costs you (default 0.0639).
                       A cloud VM billed by the hour costs far more and that changes the answer.

      --no-jpeg        disable the JPEG->JXL lane: much faster both ways, ~16% worse on .jpg
      --no-group       do NOT reorder files by similarity before packing. Grouping is
                       ON by default: on a quiet machine, with two repetitions, it costs
                       0.78% of cycles -below the bench's own 2.05% noise floor, so not
                       measurable- and buys 0.218% of size, which IS exact. An earlier
                       version of this help claimed 13.3%: that came from comparing a run
                       taken at load 53.8 against one at load 56.3.
      --solid[=MiB]    frame size in MiB (32-256). DEFAULT SINCE 2026-07-31: 64 MiB.
                       Measured end to end on 2.62 GB: 8/2/4 MiB frames leave
                       1,041,108,269 B in 177.9 s using 1,912 MB of RAM; 64 MiB frames
                       with the window matched to them leave 1,001,200,708 B in 173.1 s
                       using 1,694 MB. That is -3.833% of bytes with LESS memory and no
                       extra clock. 64 and not 128 because it was measured: 128 MiB
                       leaves 1,020,496,155 B and 256 MiB leaves 1,020,301,616 -both
                       WORSE than 64- while using 1.48x the RAM. The curve saturates
                       around 32-64 MiB and then gets worse.
      --no-solid       go back to the small frames (8/2/4 MiB by lane). Use it if you
                       pull single files out of big archives often: with the solid
                       default, extracting one file decompresses up to 64 MiB instead
                       of up to 8. `--file` and mount work in BOTH modes; what changes
                       is what they cost.
      --exclude <PAT>  with compress/add: skip what matches. Same patterns as
                       --file, and repeatable: --exclude node_modules --exclude '*.tmp'
      --file <PATTERN> with extract/list: only what matches. An exact path, a
                       directory (everything under it), or a wildcard like '*.log'.
                       Only the frames holding those files are decompressed, so
                       pulling one file out of a huge archive costs seconds. How many
                       seconds depends on the frame size: with the default (64 MiB)
                       it decompresses up to 64 MiB per file; with --no-solid, up to 8.
      --name <X>       name of the snapshot inside the archive
      --stdin          read the input from a pipe instead of a file or directory
      --progress       print progress to stderr even when it is not a terminal.
                       For a GUI or a wrapper reading it from a pipe; off by
                       default so it does not fill logs with repainted bars.
  -h, --help           this help
  -V, --version        version

Spanish names are still accepted as aliases: comprimir, descomprimir, anadir/añadir,
verificar, montar, --nivel, --sin-jpeg, --sin-agrupar, --nombre, --precio, --retencion.
)HELP";

}  // namespace

// The raw literal opens with a newline so the text lines up in the source.
const std::string& help_text() {
    static const std::string text(kHelp.substr(1));
    return text;
}

const std::string& version_line() {
    static const std::string text = "zundra 0.1.0\n";
    return text;
}

EarlyAnswer early_answer(const std::vector<std::string>& args) {
    auto any = [&](std::string_view a, std::string_view b) {
        return std::any_of(args.begin(), args.end(),
                           [&](const std::string& s) { return s == a || s == b; });
    };
    if (args.empty() || any("--help", "-h")) return EarlyAnswer::Help;
    if (any("--version", "-V")) return EarlyAnswer::Version;
    return EarlyAnswer::None;
}

}  // namespace zd::cli
