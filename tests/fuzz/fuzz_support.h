// What the harnesses share: the input as a file, guarded memory, and a limit
// on the size of the JPEG images they decode.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include "guarded_memory.h"

#include <cstddef>
#include <cstdint>

// Puts the input in an in-memory file and writes a path that opens it into
// path; the file's descriptor, to close after the input, or -1.
int open_input_file(const uint8_t *data, std::size_t size, char *path, std::size_t path_size);

// True when the data's frame header asks for at most FUZZ_MAX_PIXELS pixels:
// bigger pictures only cost time. Also true for a header libjpeg refuses:
// the code under test is to refuse it too.
constexpr uint64_t FUZZ_MAX_PIXELS = uint64_t(1) << 20;
bool jpeg_within_budget(const uint8_t *data, std::size_t size);

#endif
