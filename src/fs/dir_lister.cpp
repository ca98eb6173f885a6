#include "fs/dir_lister.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace dir_lister {

namespace {

inline bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}
inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

inline int sign_of(int v) {
    return (v > 0) - (v < 0);
}

// Byte-wise, then by length: the ordinary string order.
inline int compare_bytes(std::string_view a, std::string_view b) {
    return sign_of(a.compare(b));
}

// Text after the last dot, unless that dot is the first character or absent.
std::string_view extension_view(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

int compare_extensions(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = fold(static_cast<unsigned char>(a[i]));
        unsigned char cb = fold(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The key comparison of one order, without the parent and folders-first rules; every key falls back to
// the names when its own values are equal.
int compare_by_key(const FsEntry& a, const FsEntry& b, SortKey key) {
    int c = 0;
    switch (key) {
    case SortKey::Name:
        break;
    case SortKey::Size:
        if (!(a.size < 0 && b.size < 0) && a.size != b.size) c = a.size < b.size ? -1 : 1;
        break;
    case SortKey::Modified:
        if (a.mtime != b.mtime) c = a.mtime < b.mtime ? -1 : 1;
        break;
    case SortKey::Created:
        if (a.btime != b.btime) c = a.btime < b.btime ? -1 : 1;
        break;
    case SortKey::Permissions:
        if (a.perm != b.perm) c = a.perm < b.perm ? -1 : 1;
        break;
    case SortKey::Owner:
        c = compare_bytes(a.owner, b.owner);
        break;
    case SortKey::Group:
        c = compare_bytes(a.group, b.group);
        break;
    case SortKey::Kind:
        c = compare_extensions(extension_view(a.name), extension_view(b.name));
        break;
    }
    return c != 0 ? c : natural_compare(a.name, b.name);
}

// Sorting a million rows by moving 168-byte entries around is slow and chases pointers into every name, so
// the sort runs over small records that carry enough of each entry to decide most comparisons, and the
// entries themselves are moved once at the end. 24 bytes of name image: 16 left too many real names (dated
// reports, numbered tracks) to the full comparison; more only makes the records heavier to merge.
constexpr size_t kNameWords = 3;

struct Rec {
    uint64_t primary;                      // order-preserving image of the key's value (or its first bytes)
    std::array<uint64_t, kNameWords> name; // start of the name's natural-order image
    uint32_t index;                        // position in the input
    uint8_t rank;                          // 0 parent row, 1 folders when gathered first, 2 the rest
};

inline uint64_t be_bytes(std::string_view s, bool fold_case) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) {
        unsigned char c = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
        v = (v << 8) | (fold_case ? fold(c) : c);
    }
    return v;
}

// Encodes the start of a name so that comparing two encodings byte-wise gives the natural order whenever
// they differ: folded letters as themselves, each digit run as a marker, its length without leading zeros,
// those digits and the full run length. A string's end leaves zeros, which sort below everything, as a
// shorter name does. Equal encodings decide nothing and the full comparison runs.
void encode_name(std::string_view s, std::array<uint64_t, kNameWords>& image) {
    std::array<unsigned char, kNameWords * 8> out{};
    size_t o = 0;
    auto put = [&](unsigned char c) {
        if (o < out.size()) out[o++] = c;
    };
    // A length that does not fit a byte: the rest of the image is left equal for every such name.
    auto saturate = [&] {
        while (o < out.size())
            out[o++] = 0xff;
    };
    size_t i = 0;
    while (i < s.size() && o < out.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!is_digit(c)) {
            put(fold(c));
            ++i;
            continue;
        }
        size_t run = i;
        while (run < s.size() && s[run] == '0')
            ++run;
        size_t start = run;
        while (run < s.size() && is_digit(static_cast<unsigned char>(s[run])))
            ++run;
        size_t stripped = run - start, full = run - i;
        put('0');
        if (stripped >= 0xff) {
            saturate();
            break;
        }
        put(static_cast<unsigned char>(stripped));
        for (size_t k = start; k < run; ++k)
            put(static_cast<unsigned char>(s[k]));
        if (full >= 0xff) {
            saturate();
            break;
        }
        put(static_cast<unsigned char>(full));
        i = run;
    }
    for (size_t w = 0; w < kNameWords; ++w) {
        uint64_t v = 0;
        for (size_t k = 0; k < 8; ++k)
            v = (v << 8) | out[w * 8 + k];
        image[w] = v;
    }
}

inline uint64_t signed_image(int64_t v) {
    return static_cast<uint64_t>(v) ^ (uint64_t{1} << 63);
}

// Whether the primary image decides the key alone, or equal images still need the full key values.
inline bool primary_is_exact(SortKey key) {
    return key != SortKey::Owner && key != SortKey::Group && key != SortKey::Kind;
}

Rec make_rec(const FsEntry& e, uint32_t index, const SortOrder& order) {
    Rec r{};
    r.index = index;
    if (e.kind == FsEntry::Kind::Parent)
        r.rank = 0;
    else if (order.dirs_first && e.is_dir_like())
        r.rank = 1;
    else
        r.rank = 2;
    switch (order.key) {
    case SortKey::Name:
        r.primary = 0;
        break;
    case SortKey::Size:
        // Every negative size counts as the same "unknown", below all real sizes.
        r.primary = e.size < 0 ? 0 : static_cast<uint64_t>(e.size) + 1;
        break;
    case SortKey::Modified:
        r.primary = signed_image(e.mtime);
        break;
    case SortKey::Created:
        r.primary = signed_image(e.btime);
        break;
    case SortKey::Permissions:
        r.primary = e.perm;
        break;
    case SortKey::Owner:
        r.primary = be_bytes(e.owner, false);
        break;
    case SortKey::Group:
        r.primary = be_bytes(e.group, false);
        break;
    case SortKey::Kind:
        r.primary = be_bytes(extension_view(e.name), true);
        break;
    }
    encode_name(e.name, r.name);
    return r;
}

// Applies a permutation in place by following its cycles, so each entry is moved once (plus one per cycle).
void apply_order(std::vector<FsEntry>& entries, std::vector<uint32_t>& from) {
    const uint32_t n = static_cast<uint32_t>(from.size());
    // The rows are visited in random order; fetching a few steps ahead along the cycle hides most of the
    // cache misses that dominate this loop for large folders.
    constexpr int kAhead = 8;
    for (uint32_t start = 0; start < n; ++start) {
        if (from[start] == start) continue;
        FsEntry held = std::move(entries[start]);
        uint32_t cur = start;
        uint32_t ahead = start;
        for (int k = 0; k < kAhead; ++k)
            ahead = from[ahead];
        for (;;) {
            ahead = from[ahead];
            __builtin_prefetch(&entries[ahead]);
            uint32_t next = from[cur];
            from[cur] = cur;
            if (next == start) {
                entries[cur] = std::move(held);
                break;
            }
            entries[cur] = std::move(entries[next]);
            cur = next;
        }
    }
}

} // namespace

int natural_compare(std::string_view a, std::string_view b) {
    const size_t na = a.size(), nb = b.size();
    size_t i = 0, j = 0;
    for (;;) {
        if (i == na) {
            if (j < nb) return -1;
            // Equal under the natural rules: the byte order makes the result deterministic (ABC < abc).
            return compare_bytes(a, b);
        }
        if (j == nb) return 1;
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[j]);
        if (!is_digit(ca) || !is_digit(cb)) {
            ca = fold(ca);
            cb = fold(cb);
            if (ca != cb) return ca < cb ? -1 : 1;
            ++i;
            ++j;
            continue;
        }
        size_t sa = i, sb = j;
        while (sa < na && a[sa] == '0')
            ++sa;
        while (sb < nb && b[sb] == '0')
            ++sb;
        size_t ea = sa, eb = sb;
        while (ea < na && is_digit(static_cast<unsigned char>(a[ea])))
            ++ea;
        while (eb < nb && is_digit(static_cast<unsigned char>(b[eb])))
            ++eb;
        const size_t la = ea - sa, lb = eb - sb;
        // Compared as digit strings, so numbers of any length keep their order.
        if (la != lb) return la < lb ? -1 : 1;
        if (int c = std::memcmp(a.data() + sa, b.data() + sb, la); c != 0) return sign_of(c);
        const size_t ra = ea - i, rb = eb - j;
        if (ra != rb) return ra < rb ? -1 : 1; // 7 < 07 < 007
        i = ea;
        j = eb;
    }
}

std::string permission_string(const FsEntry& entry) {
    if (entry.kind == FsEntry::Kind::Parent) return {};
    std::string s(10, '-');
    switch (entry.kind) {
    case FsEntry::Kind::Dir:
        s[0] = 'd';
        break;
    case FsEntry::Kind::Symlink:
    case FsEntry::Kind::SymlinkDir:
    case FsEntry::Kind::BrokenSymlink:
        s[0] = 'l';
        break;
    case FsEntry::Kind::Special:
        s[0] = 's';
        break;
    default:
        break;
    }
    static constexpr char kLetters[] = "rwxrwxrwx";
    for (int k = 0; k < 9; ++k)
        if (entry.perm & (0400u >> k)) s[1 + k] = kLetters[k];
    if (entry.perm & 0x800) s[3] = s[3] == 'x' ? 's' : 'S';
    if (entry.perm & 0x400) s[6] = s[6] == 'x' ? 's' : 'S';
    if (entry.perm & 0x200) s[9] = s[9] == 'x' ? 't' : 'T';
    return s;
}

void sort(std::vector<FsEntry>& entries, const SortOrder& order) {
    if (entries.size() < 2) return;
    const uint32_t n = static_cast<uint32_t>(entries.size());
    std::vector<Rec> recs;
    recs.reserve(n);
    for (uint32_t k = 0; k < n; ++k)
        recs.push_back(make_rec(entries[k], k, order));

    const bool exact = primary_is_exact(order.key);
    const bool ascending = order.ascending;
    const SortKey key = order.key;
    auto before = [&](const Rec& a, const Rec& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        int c;
        if (a.primary != b.primary)
            c = a.primary < b.primary ? -1 : 1;
        else if (!exact)
            c = compare_by_key(entries[a.index], entries[b.index], key);
        else if (a.name != b.name)
            c = a.name < b.name ? -1 : 1;
        else
            c = natural_compare(entries[a.index].name, entries[b.index].name);
        return ascending ? c < 0 : c > 0;
    };
    std::stable_sort(recs.begin(), recs.end(), before);

    std::vector<uint32_t> from(n);
    for (uint32_t k = 0; k < n; ++k)
        from[k] = recs[k].index;
    recs.clear();
    recs.shrink_to_fit();
    apply_order(entries, from);
}

} // namespace dir_lister
