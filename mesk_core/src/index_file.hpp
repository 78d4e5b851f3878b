// The index file: a built IndexedDatabase written in one file of our own layout, and read
// back by mapping that file, its large arrays used in place (no parse, no copy).
//
// Layout (native byte order, recorded and checked): a header (magic, format version,
// sizes, the section table, a hash of each block of the payload, and a hash of the header
// itself), padded to a page; then the payload, one section per array, each aligned to 64
// bytes. Any change of the layout raises INDEX_FILE_VERSION.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "database.hpp"

namespace mesk {

inline constexpr uint32_t INDEX_FILE_VERSION = 1;

// Why a file cannot be used. OtherVersion: a file of another format version or byte
// order, to be ignored; Damaged: truncated, not an index file, or failing a checksum or a
// consistency check; Unreadable: the file cannot be opened or mapped.
struct IndexFileError : std::runtime_error {
    enum Reason { OtherVersion, Damaged, Unreadable };
    IndexFileError(Reason why, const std::string &message) : std::runtime_error(message), reason(why) {}
    Reason reason;
};

// 64-bit hash of `bytes` (the xxHash64 construction): the checksum of index files.
uint64_t hash64(const void *bytes, size_t size, uint64_t seed = 0);

// Writes `db` and the caller's `metadata` bytes to `path`, created or truncated, in the
// index file layout. Throws Failure naming the path and the system's error on a failed write.
void write_index_file(const std::string &path, const IndexedDatabase &db, std::string_view metadata);

struct MappedIndex {
    std::shared_ptr<const IndexedDatabase> db;  // its columns view the mapping, which it keeps
    std::string metadata;
    size_t file_bytes = 0;
};

// Maps the index file at `path`, checks its header, every block checksum (on the global
// pool) and the consistency of its peptide columns, and returns the index over the mapping.
// Throws IndexFileError.
MappedIndex map_index_file(const std::string &path);

// The internals of the layout; PeptideStore lets it fill and read its columns.
struct IndexFile {
    static void write(const std::string &path, const IndexedDatabase &db, std::string_view metadata);
    static MappedIndex map(const std::string &path);
};

}  // namespace mesk
