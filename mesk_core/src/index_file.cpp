// Writing an index to its file and mapping it back; see index_file.hpp for the layout.
#include "index_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "failure.hpp"
#include "peptide_store.hpp"
#include "thread_pool.hpp"

namespace mesk {

namespace {

// ---- the hash ----

constexpr uint64_t P1 = 11400714785074694791ull, P2 = 14029467366897019727ull, P3 = 1609587929392839161ull,
                   P4 = 9650029242287828579ull, P5 = 2870177450012600261ull;

inline uint64_t read64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline uint32_t read32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t hash_round(uint64_t acc, uint64_t input) { return std::rotl(acc + input * P2, 31) * P1; }
inline uint64_t hash_merge(uint64_t acc, uint64_t value) { return (acc ^ hash_round(0, value)) * P1 + P4; }

// ---- the layout ----

constexpr char MAGIC[8] = {'T', 'M', 'S', 'K', 'I', 'D', 'X', '\n'};
constexpr uint32_t ORDER_MARK = 0x01020304u;
constexpr size_t PAGE = 4096, SECTION_ALIGN = 64;
constexpr size_t BLOCK_BYTES = size_t{4} << 20;  // payload bytes per checksum

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t byte_order;
    uint64_t file_bytes;
    uint64_t payload_offset;
    uint64_t section_count;
    uint64_t block_bytes;
    uint64_t block_count;
    uint64_t header_hash;  // over the header region with this field zero
};
static_assert(sizeof(Header) == 64);

struct SectionEntry {
    uint32_t id;
    uint32_t element_bytes;
    uint64_t offset;  // from the start of the file
    uint64_t count;   // elements
};
static_assert(sizeof(SectionEntry) == 24);

enum Section : uint32_t {
    METADATA = 1, SCALARS, DECOY_TAG, ION_KINDS, FRAGMENTS, MINIMA, FENCES, MASSES, RESIDUE_START, RESIDUES,
    MOD_START, MODS, PROTEIN_LIST, FLAGS, MISSED, ACCESSION_START, ACCESSION_TEXT, LIST_START, LIST_ITEMS,
    SECTION_END
};
constexpr size_t SECTION_COUNT = SECTION_END - 1;

// SCALARS: bucket_size, min_ion_index, generate_decoys, built_from_peptides, fragment_list.
constexpr size_t SCALAR_COUNT = 5;
constexpr uint32_t NO_ACCESSION = UINT32_MAX;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

size_t header_region(size_t blocks) {
    return round_up(sizeof(Header) + SECTION_COUNT * sizeof(SectionEntry) + blocks * sizeof(uint64_t), PAGE);
}

struct Piece {
    uint32_t id;
    uint32_t element_bytes;
    const void *data;
    uint64_t count;
};

template <class T>
Piece piece(uint32_t id, const T *data, size_t count) {
    return Piece{id, static_cast<uint32_t>(sizeof(T)), data, count};
}

std::string system_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void write_all(int fd, const void *data, size_t bytes, uint64_t offset, const std::string &path) {
    const char *p = static_cast<const char *>(data);
    while (bytes > 0) {
        const ssize_t n = ::pwrite(fd, p, std::min<size_t>(bytes, size_t{1} << 30), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Failure(system_error("cannot write", path));
        }
        p += n;
        bytes -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// A read-only mapping of a whole file, unmapped when the last column viewing it goes.
struct Mapping {
    void *address = MAP_FAILED;
    size_t bytes = 0;
    ~Mapping() {
        if (address != MAP_FAILED) ::munmap(address, bytes);
    }
    const unsigned char *at(uint64_t offset) const { return static_cast<const unsigned char *>(address) + offset; }
};

[[noreturn]] void damaged(const std::string &path, const std::string &why) {
    throw IndexFileError(IndexFileError::Damaged, path + ": " + why);
}

}  // namespace

uint64_t hash64(const void *bytes, size_t size, uint64_t seed) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    const unsigned char *const end = p + size;
    uint64_t h;
    if (size >= 32) {
        uint64_t v1 = seed + P1 + P2, v2 = seed + P2, v3 = seed, v4 = seed - P1;
        for (const unsigned char *limit = end - 32; p <= limit; p += 32) {
            v1 = hash_round(v1, read64(p));
            v2 = hash_round(v2, read64(p + 8));
            v3 = hash_round(v3, read64(p + 16));
            v4 = hash_round(v4, read64(p + 24));
        }
        h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        h = hash_merge(h, v1);
        h = hash_merge(h, v2);
        h = hash_merge(h, v3);
        h = hash_merge(h, v4);
    } else {
        h = seed + P5;
    }
    h += static_cast<uint64_t>(size);
    for (; p + 8 <= end; p += 8) h = std::rotl(h ^ hash_round(0, read64(p)), 27) * P1 + P4;
    if (p + 4 <= end) {
        h = std::rotl(h ^ (static_cast<uint64_t>(read32(p)) * P1), 23) * P2 + P3;
        p += 4;
    }
    for (; p < end; ++p) h = std::rotl(h ^ (static_cast<uint64_t>(*p) * P5), 11) * P1;
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P3;
    h ^= h >> 32;
    return h;
}

void IndexFile::write(const std::string &path, const IndexedDatabase &db, std::string_view metadata) {
    const PeptideStore &store = db.peptides;
    // The protein lists as accession numbers: each distinct accession text object once.
    std::vector<uint64_t> accession_start{0};
    std::string accession_text;
    std::vector<uint64_t> list_start{0};
    std::vector<uint32_t> list_items;
    {
        std::vector<std::pair<const std::string *, uint32_t>> seen;  // sorted by address
        std::vector<const std::string *> order;
        for (const auto &list : store.protein_lists_)
            for (const SharedText &text : list)
                if (text) order.push_back(text.get());
        std::sort(order.begin(), order.end());
        order.erase(std::unique(order.begin(), order.end()), order.end());
        auto id_of = [&](const std::string *text) {
            return static_cast<uint32_t>(std::lower_bound(order.begin(), order.end(), text) - order.begin());
        };
        if (order.size() >= NO_ACCESSION) throw Failure("too many accessions for an index file");
        for (const std::string *text : order) {
            accession_text += *text;
            accession_start.push_back(accession_text.size());
        }
        for (const auto &list : store.protein_lists_) {
            for (const SharedText &text : list) list_items.push_back(text ? id_of(text.get()) : NO_ACCESSION);
            list_start.push_back(list_items.size());
        }
    }
    const uint64_t scalars[SCALAR_COUNT] = {db.bucket_size, db.min_ion_index, db.generate_decoys,
                                            db.built_from_peptides, db.fragment_list};
    std::vector<uint8_t> kinds;
    for (Kind k : db.ion_kinds) kinds.push_back(static_cast<uint8_t>(k));

    const Piece pieces[SECTION_COUNT] = {
        piece(METADATA, metadata.data(), metadata.size()),
        piece(SCALARS, scalars, SCALAR_COUNT),
        piece(DECOY_TAG, db.decoy_tag.data(), db.decoy_tag.size()),
        piece(ION_KINDS, kinds.data(), kinds.size()),
        piece(FRAGMENTS, db.fragments.data(), db.fragments.size()),
        piece(MINIMA, db.bucket_minima.data(), db.bucket_minima.size()),
        piece(FENCES, db.bucket_fences.data(), db.bucket_fences.size()),
        piece(MASSES, store.masses_.data(), store.masses_.size()),
        piece(RESIDUE_START, store.residue_start_.data(), store.residue_start_.size()),
        piece(RESIDUES, store.residues_.data(), store.residues_.size()),
        piece(MOD_START, store.mod_start_.data(), store.mod_start_.size()),
        piece(MODS, store.mods_.data(), store.mods_.size()),
        piece(PROTEIN_LIST, store.protein_list_.data(), store.protein_list_.size()),
        piece(FLAGS, store.flags_.data(), store.flags_.size()),
        piece(MISSED, store.missed_.data(), store.missed_.size()),
        piece(ACCESSION_START, accession_start.data(), accession_start.size()),
        piece(ACCESSION_TEXT, accession_text.data(), accession_text.size()),
        piece(LIST_START, list_start.data(), list_start.size()),
        piece(LIST_ITEMS, list_items.data(), list_items.size()),
    };
    size_t payload = 0;
    std::vector<SectionEntry> table;
    for (const Piece &p : pieces) {
        payload = round_up(payload, SECTION_ALIGN);
        table.push_back(SectionEntry{p.id, p.element_bytes, payload, p.count});
        payload += p.count * p.element_bytes;
    }
    payload = round_up(payload, SECTION_ALIGN);
    const size_t blocks = (payload + BLOCK_BYTES - 1) / BLOCK_BYTES;
    const size_t offset = header_region(blocks);
    for (SectionEntry &e : table) e.offset += offset;
    const size_t file_bytes = offset + payload;

    Fd file;
    file.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file.fd < 0) throw Failure(system_error("cannot create", path));
    if (::ftruncate(file.fd, static_cast<off_t>(file_bytes)) != 0) throw Failure(system_error("cannot size", path));
    for (size_t i = 0; i < SECTION_COUNT; ++i)
        write_all(file.fd, pieces[i].data, pieces[i].count * pieces[i].element_bytes, table[i].offset, path);

    // The block checksums, read back from what was written (it is in the page cache).
    std::vector<uint64_t> block_hashes(blocks);
    if (blocks > 0) {
        Mapping written;
        written.bytes = file_bytes;
        written.address = ::mmap(nullptr, file_bytes, PROT_READ, MAP_SHARED, file.fd, 0);
        if (written.address == MAP_FAILED) throw Failure(system_error("cannot map", path));
        global_pool().parallel_for(blocks, 1, [&](size_t b, size_t e) {
            for (size_t k = b; k < e; ++k) {
                const size_t begin = offset + k * BLOCK_BYTES;
                block_hashes[k] = hash64(written.at(begin), std::min(BLOCK_BYTES, file_bytes - begin), k);
            }
        });
    }
    std::vector<unsigned char> head(offset, 0);
    Header h{};
    std::memcpy(h.magic, MAGIC, sizeof MAGIC);
    h.version = INDEX_FILE_VERSION;
    h.byte_order = ORDER_MARK;
    h.file_bytes = file_bytes;
    h.payload_offset = offset;
    h.section_count = SECTION_COUNT;
    h.block_bytes = BLOCK_BYTES;
    h.block_count = blocks;
    std::memcpy(head.data() + sizeof(Header), table.data(), table.size() * sizeof(SectionEntry));
    std::memcpy(head.data() + sizeof(Header) + table.size() * sizeof(SectionEntry), block_hashes.data(),
                blocks * sizeof(uint64_t));
    std::memcpy(head.data(), &h, sizeof h);
    h.header_hash = hash64(head.data(), head.size());
    std::memcpy(head.data(), &h, sizeof h);
    write_all(file.fd, head.data(), head.size(), 0, path);
    if (::close(std::exchange(file.fd, -1)) != 0) throw Failure(system_error("cannot write", path));
}

MappedIndex IndexFile::map(const std::string &path) {
    Fd file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) throw IndexFileError(IndexFileError::Unreadable, system_error("cannot open", path));
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) throw IndexFileError(IndexFileError::Unreadable, system_error("cannot read", path));
    const auto size = static_cast<size_t>(info.st_size);
    if (size < sizeof(Header)) damaged(path, "truncated (" + std::to_string(size) + " bytes)");
    auto mapping = std::make_shared<Mapping>();
    mapping->bytes = size;
    // Every byte is read by the checksums: fault the pages in at once.
    mapping->address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
    if (mapping->address == MAP_FAILED) throw IndexFileError(IndexFileError::Unreadable, system_error("cannot map", path));

    Header h;
    std::memcpy(&h, mapping->at(0), sizeof h);
    if (std::memcmp(h.magic, MAGIC, sizeof MAGIC) != 0) damaged(path, "not an index file");
    if (h.version != INDEX_FILE_VERSION || h.byte_order != ORDER_MARK)
        throw IndexFileError(IndexFileError::OtherVersion,
                             path + ": index file format " + std::to_string(h.version) + ", this version reads " +
                                 std::to_string(INDEX_FILE_VERSION));
    if (h.file_bytes != size) damaged(path, "truncated or extended: " + std::to_string(size) + " bytes, the header says " + std::to_string(h.file_bytes));
    if (h.section_count != SECTION_COUNT || h.block_bytes == 0 || h.block_bytes > (size_t{1} << 40) ||
        h.payload_offset > size || h.payload_offset < sizeof(Header) ||
        h.block_count != (size - h.payload_offset + h.block_bytes - 1) / h.block_bytes ||
        sizeof(Header) + SECTION_COUNT * sizeof(SectionEntry) + h.block_count * sizeof(uint64_t) > h.payload_offset)
        damaged(path, "inconsistent header");
    {
        std::vector<unsigned char> head(mapping->at(0), mapping->at(h.payload_offset));
        Header zeroed = h;
        zeroed.header_hash = 0;
        std::memcpy(head.data(), &zeroed, sizeof zeroed);
        if (hash64(head.data(), head.size()) != h.header_hash) damaged(path, "header checksum mismatch");
    }
    std::vector<SectionEntry> table(SECTION_COUNT);
    std::memcpy(table.data(), mapping->at(sizeof(Header)), SECTION_COUNT * sizeof(SectionEntry));
    std::vector<uint64_t> block_hashes(h.block_count);
    std::memcpy(block_hashes.data(), mapping->at(sizeof(Header) + SECTION_COUNT * sizeof(SectionEntry)),
                h.block_count * sizeof(uint64_t));
    std::atomic<size_t> bad_block{SIZE_MAX};
    global_pool().parallel_for(h.block_count, 1, [&](size_t b, size_t e) {
        for (size_t k = b; k < e; ++k) {
            const size_t begin = h.payload_offset + k * h.block_bytes;
            if (hash64(mapping->at(begin), std::min<size_t>(h.block_bytes, size - begin), k) != block_hashes[k])
                bad_block.store(k, std::memory_order_relaxed);
        }
    });
    if (bad_block.load() != SIZE_MAX)
        damaged(path, "checksum mismatch in payload block " + std::to_string(bad_block.load()));

    // Each section: known, within the file, aligned for its elements.
    const unsigned char *section_data[SECTION_END] = {};
    uint64_t section_count[SECTION_END] = {};
    for (size_t i = 0; i < SECTION_COUNT; ++i) {
        const SectionEntry &e = table[i];
        if (e.id != i + 1 || e.element_bytes == 0 || e.offset % SECTION_ALIGN != 0 || e.offset < h.payload_offset ||
            e.offset > size || e.count > (size - e.offset) / e.element_bytes)
            damaged(path, "bad section table");
        section_data[e.id] = mapping->at(e.offset);
        section_count[e.id] = e.count;
    }
    auto expect = [&](Section id, size_t element_bytes) {
        if (table[id - 1].element_bytes != element_bytes) damaged(path, "bad section element size");
        return section_count[id];
    };
    std::shared_ptr<const void> keeper = mapping;
    auto column = [&]<class T>(Section id, const T *) {
        const size_t n = expect(id, sizeof(T));
        return IndexArray<T>(reinterpret_cast<const T *>(section_data[id]), n, keeper);
    };
    auto text = [&](Section id) {
        return std::string(reinterpret_cast<const char *>(section_data[id]), expect(id, 1));
    };

    MappedIndex out;
    out.metadata = text(METADATA);
    out.file_bytes = size;
    auto db = std::make_shared<IndexedDatabase>();
    if (expect(SCALARS, 8) != SCALAR_COUNT) damaged(path, "bad scalars");
    uint64_t scalars[SCALAR_COUNT];
    std::memcpy(scalars, section_data[SCALARS], sizeof scalars);
    db->bucket_size = scalars[0];
    db->min_ion_index = scalars[1];
    db->generate_decoys = scalars[2] != 0;
    db->built_from_peptides = scalars[3] != 0;
    db->fragment_list = scalars[4] != 0;
    db->decoy_tag = text(DECOY_TAG);
    for (size_t i = 0, n = expect(ION_KINDS, 1); i < n; ++i) {
        const uint8_t k = section_data[ION_KINDS][i];
        if (k > static_cast<uint8_t>(Kind::Z)) damaged(path, "bad ion kind");
        db->ion_kinds.push_back(static_cast<Kind>(k));
    }
    db->fragments = column(FRAGMENTS, static_cast<const Theoretical *>(nullptr));
    db->bucket_minima = column(MINIMA, static_cast<const float *>(nullptr));
    db->bucket_fences = column(FENCES, static_cast<const uint32_t *>(nullptr));
    if (db->bucket_size == 0) damaged(path, "bucket size 0");
    const size_t buckets = db->fragments.size() / db->bucket_size + (db->fragments.size() % db->bucket_size != 0);
    if (db->bucket_minima.size() != buckets ||
        (!db->bucket_fences.empty() && db->bucket_fences.size() != buckets * BUCKET_FENCES))
        damaged(path, "bucket tables do not match the fragment list");

    PeptideStore &store = db->peptides;
    store.masses_ = column(MASSES, static_cast<const float *>(nullptr));
    store.residue_start_ = column(RESIDUE_START, static_cast<const uint64_t *>(nullptr));
    store.residues_ = column(RESIDUES, static_cast<const char *>(nullptr));
    store.mod_start_ = column(MOD_START, static_cast<const uint64_t *>(nullptr));
    store.mods_ = column(MODS, static_cast<const ModEntry *>(nullptr));
    store.protein_list_ = column(PROTEIN_LIST, static_cast<const uint32_t *>(nullptr));
    store.flags_ = column(FLAGS, static_cast<const uint8_t *>(nullptr));
    store.missed_ = column(MISSED, static_cast<const uint8_t *>(nullptr));

    // The accessions and protein lists, made as shared text again.
    const auto *accession_start = reinterpret_cast<const uint64_t *>(section_data[ACCESSION_START]);
    const size_t accession_starts = expect(ACCESSION_START, 8);
    const size_t text_bytes = expect(ACCESSION_TEXT, 1);
    if (accession_starts == 0 || accession_start[0] != 0 || accession_start[accession_starts - 1] != text_bytes)
        damaged(path, "bad accession table");
    std::vector<SharedText> accessions;
    accessions.reserve(accession_starts - 1);
    const char *chars = reinterpret_cast<const char *>(section_data[ACCESSION_TEXT]);
    for (size_t i = 0; i + 1 < accession_starts; ++i) {
        if (accession_start[i] > accession_start[i + 1]) damaged(path, "bad accession table");
        accessions.push_back(std::make_shared<const std::string>(chars + accession_start[i], chars + accession_start[i + 1]));
    }
    const auto *list_start = reinterpret_cast<const uint64_t *>(section_data[LIST_START]);
    const size_t list_starts = expect(LIST_START, 8);
    const auto *items = reinterpret_cast<const uint32_t *>(section_data[LIST_ITEMS]);
    const size_t item_count = expect(LIST_ITEMS, 4);
    if (list_starts == 0 || list_start[0] != 0 || list_start[list_starts - 1] != item_count)
        damaged(path, "bad protein lists");
    store.protein_lists_.resize(list_starts - 1);
    for (size_t i = 0; i + 1 < list_starts; ++i) {
        if (list_start[i] > list_start[i + 1]) damaged(path, "bad protein lists");
        auto &list = store.protein_lists_[i];
        for (uint64_t k = list_start[i]; k < list_start[i + 1]; ++k) {
            if (items[k] == NO_ACCESSION)
                list.emplace_back();
            else if (items[k] < accessions.size())
                list.push_back(accessions[items[k]]);
            else
                damaged(path, "bad protein lists");
        }
    }

    // The peptide columns agree with each other, so that no read goes out of bounds.
    const size_t n = store.masses_.size();
    if (store.residue_start_.size() != n + 1 || store.mod_start_.size() != n + 1 || store.protein_list_.size() != n ||
        store.flags_.size() != n || store.missed_.size() != n || store.residue_start_[0] != 0 ||
        store.residue_start_[n] != store.residues_.size() || store.mod_start_[0] != 0 ||
        store.mod_start_[n] != store.mods_.size())
        damaged(path, "peptide columns disagree");
    // Offsets ascend, protein lists exist, each peptide holds its special entries, and
    // every modification lies within its peptide's list: checked in chunks on the pool.
    constexpr size_t CHECK_CHUNK = 1 << 16;
    std::atomic<size_t> bad_peptide{SIZE_MAX};
    const uint64_t *residue_start = store.residue_start_.data(), *mod_start = store.mod_start_.data();
    const uint32_t *protein_list = store.protein_list_.data();
    const uint8_t *flags = store.flags_.data();
    const ModEntry *mods = store.mods_.data();
    const size_t lists = store.protein_lists_.size();
    global_pool().parallel_for((n + CHECK_CHUNK - 1) / CHECK_CHUNK, 1, [&](size_t cb, size_t ce) {
        for (size_t i = cb * CHECK_CHUNK, end = std::min(n, ce * CHECK_CHUNK); i < end; ++i) {
            const uint64_t begin = mod_start[i], stop = mod_start[i + 1];
            const uint8_t f = flags[i];
            const size_t special = ((f & PeptideStore::NTERM) != 0) + ((f & PeptideStore::CTERM) != 0) +
                                   ((f & PeptideStore::ODD_MOD_COUNT) != 0);
            bool ok = residue_start[i] <= residue_start[i + 1] && begin <= stop && protein_list[i] < lists &&
                      special <= stop - begin;
            if (ok) {
                const uint64_t count = (f & PeptideStore::ODD_MOD_COUNT) ? mods[begin + special - 1].position
                                                                          : residue_start[i + 1] - residue_start[i];
                for (uint64_t k = begin + special; k < stop; ++k) ok &= mods[k].position < count;
            }
            if (!ok) {
                bad_peptide.store(i, std::memory_order_relaxed);
                return;
            }
        }
    });
    if (bad_peptide.load() != SIZE_MAX)
        damaged(path, "peptide columns disagree at peptide " + std::to_string(bad_peptide.load()));
    out.db = std::move(db);
    return out;
}

void write_index_file(const std::string &path, const IndexedDatabase &db, std::string_view metadata) {
    IndexFile::write(path, db, metadata);
}

MappedIndex map_index_file(const std::string &path) { return IndexFile::map(path); }

}  // namespace mesk
