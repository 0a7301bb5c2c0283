// Record file of korvan-sim: every read() from the host becomes one entry of
//   8 bytes  CLOCK_MONOTONIC time in nanoseconds (uint64, native byte order)
//   4 bytes  length (uint32, native byte order)
//   length bytes as received.
// The writer appends each entry with one write(), so a reader may look while the sim runs;
// a trailing entry that is not complete yet is left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RecordChunk {
    uint64_t t_ns;
    std::string bytes;
};

// Reads every complete entry of the record at `path`. False when the file cannot be read.
bool record_load(const char *path, std::vector<RecordChunk> &out);

// Writer side, used by the simulator.
bool record_open(const char *path);
void record_append(uint64_t t_ns, const char *p, size_t n);
void record_close();
