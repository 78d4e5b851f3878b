// The decoding steps of binary arrays shared by the array decoder and the mzML scanner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bind::native {

// Decodes base64 text into `out`. Whitespace may separate the characters; at most two '='
// may end the text, and the characters other than whitespace must come in whole groups of
// four. False for anything else.
bool decode_base64(const char *text, size_t size, std::vector<uint8_t> &out);

// Inflates a whole zlib stream into exactly `size` bytes at `out`. False when the stream is
// damaged, ends early, holds more than `size` bytes, or the module is built without zlib.
bool inflate_exactly(const std::vector<uint8_t> &compressed, uint8_t *out, size_t size);

}  // namespace bind::native
