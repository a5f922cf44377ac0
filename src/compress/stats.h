// The 23 run statistics a compression run returns, in their fixed order.
#pragma once

#include <cstdint>

namespace zd::compress {

struct Estadisticas {
    uint64_t input_bytes = 0;        // regular files stored or reused, and stdin
    uint64_t output_bytes = 0;       // the archive's total size, set at the end
    uint64_t files = 0;              // file records appended by the run
    uint64_t chunks_seen = 0;        // chunks handed to the assembler
    uint64_t unique_chunks = 0;      // chunks that were new
    uint64_t dedup_bytes = 0;        // bytes of chunks already known
    uint64_t frames = 0;             // frames cut
    uint64_t stored_frames = 0;      // frames kept uncompressed, set at the end
    uint64_t symlinks_skipped = 0;   // stays 0: links are records
    uint64_t workers = 0;            // worker count of the run
    uint64_t excluded = 0;           // entries dropped by exclusion patterns
    uint64_t unchanged_files = 0;    // files reused from the previous snapshot
    uint64_t unchanged_bytes = 0;    // their sizes
    uint64_t gz_streams = 0;         // files stored through deflate re-creation
    uint64_t deflate_bytes = 0;      // their compressed totals
    uint64_t plain_bytes = 0;        // their inflated data
    uint64_t correction_bytes = 0;   // their correction data
    uint64_t nested_containers = 0;  // deflate records with an interior
    uint64_t deflate_declined = 0;   // deflate attempts a storing step declined
    uint64_t jpg_files = 0;          // files stored as JPEG XL
    uint64_t jpg_rejected = 0;       // JPEG candidates stored the ordinary way
    uint64_t jpg_bytes = 0;          // JPEG bytes of the transcoded files
    uint64_t jxl_bytes = 0;          // their JPEG XL bytes
};

}  // namespace zd::compress
