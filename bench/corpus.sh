#!/usr/bin/env bash
# Builds the benchmark corpora from real files of this machine, deterministically:
# the same files in the same order every run. Corpora live in a cache folder
# outside the repository ($ZD_BENCH_CACHE, default ~/.cache/zundra-bench).
#   text   ~200 MB of sources, headers and docs
#   mixed  ~400 MB of text, ELF binaries and already-compressed files
#   mixed-v2  mixed with ~2 % of its files changed, a few removed, a few added
set -eu
cache=${ZD_BENCH_CACHE:-$HOME/.cache/zundra-bench}
mkdir -p "$cache"

# Copies the sorted list of files on stdin into $1 until $2 bytes are in.
fill() {
  local dest=$1 budget=$2 total=0 f size rel
  mkdir -p "$dest"
  while IFS= read -r f; do
    size=$(stat -c %s "$f")
    [ $((total + size)) -gt "$budget" ] && continue
    rel=${f#/}
    mkdir -p "$dest/$(dirname "$rel")"
    cp -p "$f" "$dest/$rel"
    total=$((total + size))
    [ "$total" -ge "$budget" ] && break
  done
  echo "$dest: $total bytes" >&2
}

list_files() { find "$@" -type f -size +0 -readable 2>/dev/null | LC_ALL=C sort; }

if [ ! -d "$cache/text" ]; then
  list_files /usr/include /usr/share/doc /usr/share/man /usr/share/perl5 /usr/lib/python3* \
    | grep -v -E '\.(gz|png|jpg|pdf|jar|zip|so[.0-9]*|pyc)$' | fill "$cache/text.tmp" 200000000
  mv "$cache/text.tmp" "$cache/text"
fi

if [ ! -d "$cache/mixed" ]; then
  # Each kind gets its own share, so the mixture does not depend on sort order.
  list_files /usr/include /usr/share/doc | grep -v -E '\.gz$' | fill "$cache/mixed.tmp" 150000000
  list_files /usr/bin /usr/lib/x86_64-linux-gnu | grep -E '(/bin/|\.so)' | fill "$cache/mixed.tmp" 170000000
  { find /usr/share -type f \( -name '*.gz' -o -name '*.png' \) -size +0 2>/dev/null | LC_ALL=C sort
    find / -xdev -type f \( -name '*.jar' -o -name '*.jpg' -o -name '*.pdf' \) -size +0 2>/dev/null | LC_ALL=C sort
  } | fill "$cache/mixed.tmp" 80000000
  mv "$cache/mixed.tmp" "$cache/mixed"
fi

if [ ! -d "$cache/mixed-v2" ]; then
  cp -a "$cache/mixed" "$cache/mixed-v2.tmp"
  # A seeded, repeatable change: every 50th file gets bytes appended, every
  # 400th is removed, and a few new files appear.
  i=0
  while IFS= read -r f; do
    i=$((i + 1))
    if [ $((i % 400)) -eq 0 ]; then rm -f "$f"
    elif [ $((i % 50)) -eq 0 ]; then printf 'changed %d\n' "$i" >> "$f"
    fi
  done < <(find "$cache/mixed-v2.tmp" -type f | LC_ALL=C sort)
  mkdir -p "$cache/mixed-v2.tmp/added"
  for n in 1 2 3 4 5; do head -c $((n * 100000)) /usr/share/common-licenses/GPL-3 > "$cache/mixed-v2.tmp/added/new$n.txt" 2>/dev/null || true; done
  mv "$cache/mixed-v2.tmp" "$cache/mixed-v2"
fi
du -sb "$cache"/text "$cache"/mixed "$cache"/mixed-v2
