#include "fs/dir_lister.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using dir_lister::SortKey;
using dir_lister::SortOrder;
using Kind = FsEntry::Kind;

namespace {

FsEntry make(const std::string& name, Kind kind, int64_t size = 0, int64_t mtime = 0, int64_t btime = 0,
             uint32_t perm = 0644, const std::string& owner = "root", const std::string& group = "root") {
    FsEntry e;
    e.name = name;
    e.kind = kind;
    e.size = size;
    e.mtime = mtime;
    e.btime = btime;
    e.perm = perm;
    e.owner = owner;
    e.group = group;
    return e;
}

std::vector<std::string> names_of(const std::vector<FsEntry>& v) {
    std::vector<std::string> out;
    for (const auto& e : v)
        out.push_back(e.name);
    return out;
}

std::vector<std::string> sorted_names(std::vector<FsEntry> v, SortOrder order) {
    dir_lister::sort(v, order);
    return names_of(v);
}

const char* key_name(SortKey k) {
    static const char* kNames[] = {"Name",        "Size",  "Modified", "Kind",
                                   "Permissions", "Owner", "Created",  "Group"};
    return kNames[int(k)];
}

std::string describe(const SortOrder& o) {
    return std::string(key_name(o.key)) + (o.ascending ? " ascending" : " descending") +
           (o.dirs_first ? ", folders first" : ", folders mixed");
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

} // namespace

TEST(NaturalCompare, Table) {
    struct Case {
        std::string a, b;
        int expected;
    };
    const std::string forty_ones(40, '1');
    const std::vector<Case> cases = {
        {"img2.png", "img10.png", -1},
        {"img1.png", "img2.png", -1},
        {"file9", "file10", -1},
        {"A", "a", -1}, // equal when folded: the byte order decides
        {"ABC", "abc", -1},
        {"abc", "abc", 0},
        {"", "", 0},
        {"", "a", -1},
        {"Abc", "abd", -1}, // case is ignored before the tie-break
        {"b", "A", 1},
        {"x7", "x07", -1},
        {"x07", "x007", -1},
        {"0", "00", -1},
        {"x0", "x", 1},
        {"abc", "abcd", -1},
        {"1a", "a1", -1}, // digit byte 0x31 below letter 0x61
        {"a-1", "a1", -1},
        {"a_1", "a1", 1},
        {"_", "a", -1},
        {"Z", "_", 1}, // Z folds to z (0x7a), above _ (0x5f)
        {"x2y10", "x2y9", 1},
        {"x02y1", "x2y9", 1}, // leading zeros decide before the rest is looked at
        {"a1b", "a01a", -1},
        {"v" + forty_ones, "v" + std::string(39, '9'), 1},
        {"v" + forty_ones + "2", "v" + forty_ones + "10", -1},
        {"v" + forty_ones, "v00" + forty_ones, -1},
        {"v" + std::string(300, '5'), "v" + std::string(299, '9'), 1},
        {"caf\xc3\xa9", "cafz", 1}, // non-ASCII bytes compare as unsigned bytes
        {"\xc3\x89", "\xc3\xa9", -1},
        {"10", "9a", 1},
        {"file 10", "file 9", 1},
        {"007", "7", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(dir_lister::natural_compare(c.a, c.b)), c.expected)
            << "'" << c.a << "' vs '" << c.b << "'";
        EXPECT_EQ(sign(dir_lister::natural_compare(c.b, c.a)), -c.expected)
            << "'" << c.b << "' vs '" << c.a << "'";
    }
}

// One folder's worth of rows with values chosen so that every key orders them differently.
class SortTable : public ::testing::Test {
protected:
    std::vector<FsEntry> input = {
        //    name          kind               size  mtime btime perm   owner    group
        make("img10.png", Kind::File, 300, 250, 40, 0640, "root", "users"),
        make("src", Kind::Dir, -1, 300, 30, 0755, "root", "staff"),
        make("b.C", Kind::File, 2000, 100, 60, 0600, "alice", "staff"),
        make("..", Kind::Parent, -1, 0, 0, 0, "", ""),
        make("broken", Kind::BrokenSymlink, 7, 50, 0, 0777, "bob", "staff"),
        make("Makefile", Kind::File, 10, 400, 0, 0644, "root", "root"),
        make("Docs", Kind::Dir, -1, 100, 50, 0700, "alice", "users"),
        make("a.c", Kind::File, 10, 500, 10, 0644, "bob", "wheel"),
        make("link2dir", Kind::SymlinkDir, -1, 200, 20, 0777, "bob", "users"),
        make("img2.png", Kind::File, 5, 250, 40, 0640, "alice", "users"),
    };
};

TEST_F(SortTable, EveryKeyBothDirectionsWithAndWithoutFoldersFirst) {
    struct Case {
        SortKey key;
        bool ascending, dirs_first;
        std::vector<std::string> expected;
    };
    using V = std::vector<std::string>;
    const std::vector<Case> cases = {
        {SortKey::Name, true, true,
         V{"..", "Docs", "link2dir", "src", "a.c", "b.C", "broken", "img2.png", "img10.png", "Makefile"}},
        {SortKey::Name, true, false,
         V{"..", "a.c", "b.C", "broken", "Docs", "img2.png", "img10.png", "link2dir", "Makefile", "src"}},
        {SortKey::Name, false, true,
         V{"..", "src", "link2dir", "Docs", "Makefile", "img10.png", "img2.png", "broken", "b.C", "a.c"}},
        {SortKey::Name, false, false,
         V{"..", "src", "Makefile", "link2dir", "img10.png", "img2.png", "Docs", "broken", "b.C", "a.c"}},

        {SortKey::Size, true, true,
         V{"..", "Docs", "link2dir", "src", "img2.png", "broken", "a.c", "Makefile", "img10.png", "b.C"}},
        {SortKey::Size, true, false,
         V{"..", "Docs", "link2dir", "src", "img2.png", "broken", "a.c", "Makefile", "img10.png", "b.C"}},
        {SortKey::Size, false, true,
         V{"..", "src", "link2dir", "Docs", "b.C", "img10.png", "Makefile", "a.c", "broken", "img2.png"}},
        {SortKey::Size, false, false,
         V{"..", "b.C", "img10.png", "Makefile", "a.c", "broken", "img2.png", "src", "link2dir", "Docs"}},

        {SortKey::Modified, true, true,
         V{"..", "Docs", "link2dir", "src", "broken", "b.C", "img2.png", "img10.png", "Makefile", "a.c"}},
        {SortKey::Modified, true, false,
         V{"..", "broken", "b.C", "Docs", "link2dir", "img2.png", "img10.png", "src", "Makefile", "a.c"}},
        {SortKey::Modified, false, true,
         V{"..", "src", "link2dir", "Docs", "a.c", "Makefile", "img10.png", "img2.png", "b.C", "broken"}},
        {SortKey::Modified, false, false,
         V{"..", "a.c", "Makefile", "src", "img10.png", "img2.png", "link2dir", "Docs", "b.C", "broken"}},

        {SortKey::Kind, true, true,
         V{"..", "Docs", "link2dir", "src", "broken", "Makefile", "a.c", "b.C", "img2.png", "img10.png"}},
        {SortKey::Kind, true, false,
         V{"..", "broken", "Docs", "link2dir", "Makefile", "src", "a.c", "b.C", "img2.png", "img10.png"}},
        {SortKey::Kind, false, true,
         V{"..", "src", "link2dir", "Docs", "img10.png", "img2.png", "b.C", "a.c", "Makefile", "broken"}},
        {SortKey::Kind, false, false,
         V{"..", "img10.png", "img2.png", "b.C", "a.c", "src", "Makefile", "link2dir", "Docs", "broken"}},

        {SortKey::Permissions, true, true,
         V{"..", "Docs", "src", "link2dir", "b.C", "img2.png", "img10.png", "a.c", "Makefile", "broken"}},
        {SortKey::Permissions, true, false,
         V{"..", "b.C", "img2.png", "img10.png", "a.c", "Makefile", "Docs", "src", "broken", "link2dir"}},
        {SortKey::Permissions, false, true,
         V{"..", "link2dir", "src", "Docs", "broken", "Makefile", "a.c", "img10.png", "img2.png", "b.C"}},
        {SortKey::Permissions, false, false,
         V{"..", "link2dir", "broken", "src", "Docs", "Makefile", "a.c", "img10.png", "img2.png", "b.C"}},

        {SortKey::Owner, true, true,
         V{"..", "Docs", "link2dir", "src", "b.C", "img2.png", "a.c", "broken", "img10.png", "Makefile"}},
        {SortKey::Owner, true, false,
         V{"..", "b.C", "Docs", "img2.png", "a.c", "broken", "link2dir", "img10.png", "Makefile", "src"}},
        {SortKey::Owner, false, true,
         V{"..", "src", "link2dir", "Docs", "Makefile", "img10.png", "broken", "a.c", "img2.png", "b.C"}},
        {SortKey::Owner, false, false,
         V{"..", "src", "Makefile", "img10.png", "link2dir", "broken", "a.c", "img2.png", "Docs", "b.C"}},

        {SortKey::Created, true, true,
         V{"..", "link2dir", "src", "Docs", "broken", "Makefile", "a.c", "img2.png", "img10.png", "b.C"}},
        {SortKey::Created, true, false,
         V{"..", "broken", "Makefile", "a.c", "link2dir", "src", "img2.png", "img10.png", "Docs", "b.C"}},
        {SortKey::Created, false, true,
         V{"..", "Docs", "src", "link2dir", "b.C", "img10.png", "img2.png", "a.c", "Makefile", "broken"}},
        {SortKey::Created, false, false,
         V{"..", "b.C", "Docs", "img10.png", "img2.png", "src", "link2dir", "a.c", "Makefile", "broken"}},

        {SortKey::Group, true, true,
         V{"..", "src", "Docs", "link2dir", "Makefile", "b.C", "broken", "img2.png", "img10.png", "a.c"}},
        {SortKey::Group, true, false,
         V{"..", "Makefile", "b.C", "broken", "src", "Docs", "img2.png", "img10.png", "link2dir", "a.c"}},
        {SortKey::Group, false, true,
         V{"..", "link2dir", "Docs", "src", "a.c", "img10.png", "img2.png", "broken", "b.C", "Makefile"}},
        {SortKey::Group, false, false,
         V{"..", "a.c", "link2dir", "img10.png", "img2.png", "Docs", "src", "broken", "b.C", "Makefile"}},
    };
    for (const auto& c : cases) {
        SortOrder order{c.key, c.ascending, c.dirs_first};
        EXPECT_EQ(sorted_names(input, order), c.expected) << describe(order);
    }
}

TEST(Sort, SmallRuleCases) {
    struct Case {
        const char* what;
        SortOrder order;
        std::vector<FsEntry> input;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"numbers by value",
         {},
         {make("img2.png", Kind::File), make("img10.png", Kind::File), make("img1.png", Kind::File)},
         {"img1.png", "img2.png", "img10.png"}},
        {"leading zeros",
         {},
         {make("x007", Kind::File), make("x7", Kind::File), make("x07", Kind::File)},
         {"x7", "x07", "x007"}},
        {"case tie-break",
         {},
         {make("a", Kind::File), make("B", Kind::File), make("A", Kind::File), make("b", Kind::File)},
         {"A", "a", "B", "b"}},
        {"case tie-break descending",
         {SortKey::Name, false, true},
         {make("a", Kind::File), make("A", Kind::File)},
         {"a", "A"}},
        {"40-digit numbers",
         {},
         {make("n" + std::string(40, '9'), Kind::File), make("n" + std::string(39, '9') + "8", Kind::File),
          make("n1" + std::string(40, '0'), Kind::File), make("n9", Kind::File)},
         {"n9", "n" + std::string(39, '9') + "8", "n" + std::string(40, '9'), "n1" + std::string(40, '0')}},
        {"prefix first", {}, {make("abcd", Kind::File), make("abc", Kind::File)}, {"abc", "abcd"}},
        {"a broken link or a link to a file is not a folder",
         {},
         {make("z", Kind::Symlink), make("y", Kind::BrokenSymlink), make("x", Kind::SymlinkDir),
          make("w", Kind::Special)},
         {"x", "w", "y", "z"}},
        {"unknown sizes are equal to folders' and ordered by name",
         {SortKey::Size, true, false},
         {make("f", Kind::File, 0), make("c", Kind::Special, -1), make("d", Kind::Dir, -1),
          make("b", Kind::Dir, -1)},
         {"b", "c", "d", "f"}},
        {"kind: no extension first, extensions compared folded",
         {SortKey::Kind, true, false},
         {make("a.c", Kind::File), make("z.TAR.gz", Kind::File), make("b.C", Kind::File),
          make("Makefile", Kind::File), make(".bashrc", Kind::File), make("y.gz", Kind::File),
          make("name.", Kind::File), make("x.cc", Kind::File)},
         {".bashrc", "Makefile", "name.", "a.c", "b.C", "x.cc", "y.gz", "z.TAR.gz"}},
        {"owner byte-wise, shorter first",
         {SortKey::Owner, true, false},
         {make("1", Kind::File, 0, 0, 0, 0, "bobby"), make("2", Kind::File, 0, 0, 0, 0, "alice"),
          make("3", Kind::File, 0, 0, 0, 0, "Zed"), make("4", Kind::File, 0, 0, 0, 0, "bob"),
          make("5", Kind::File, 0, 0, 0, 0, "alicealicealice1"),
          make("6", Kind::File, 0, 0, 0, 0, "alicealicealice0")},
         {"3", "2", "6", "5", "4", "1"}},
        {"permissions as numbers, set-id bits above",
         {SortKey::Permissions, true, false},
         {make("a", Kind::File, 0, 0, 0, 04000), make("b", Kind::File, 0, 0, 0, 0777),
          make("c", Kind::File, 0, 0, 0, 0)},
         {"c", "b", "a"}},
        {"times before the epoch",
         {SortKey::Modified, true, false},
         {make("a", Kind::File, 0, 5), make("b", Kind::File, 0, -5), make("c", Kind::File, 0, 0)},
         {"b", "c", "a"}},
        {"parent row on top even among folders, descending",
         {SortKey::Size, false, true},
         {make("d", Kind::Dir, -1), make("f", Kind::File, 1), make("..", Kind::Parent, -1)},
         {"..", "d", "f"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sorted_names(c.input, c.order), c.expected) << c.what;
}

TEST(Sort, EqualEntriesKeepTheirOrderInBothDirections) {
    // Same name and same key value: only stability tells them apart; mtime carries the input position.
    std::vector<FsEntry> input;
    for (int i = 0; i < 300; ++i) {
        FsEntry e = make(i % 3 == 0 ? "dup" : (i % 3 == 1 ? "other" : "Dup"), Kind::File, 42, i);
        input.push_back(e);
    }
    for (SortKey key : {SortKey::Name, SortKey::Size, SortKey::Owner, SortKey::Kind}) {
        for (bool asc : {true, false}) {
            SortOrder order{key, asc, true};
            auto v = input;
            dir_lister::sort(v, order);
            for (size_t i = 1; i < v.size(); ++i) {
                if (v[i].name == v[i - 1].name) {
                    ASSERT_LT(v[i - 1].mtime, v[i].mtime) << describe(order) << " at " << i;
                }
            }
        }
    }
}

TEST(Sort, EntriesAreMovedNotCopied) {
    std::vector<FsEntry> v;
    for (int i = 0; i < 200; ++i)
        v.push_back(make("a rather long file name number " + std::to_string((i * 37) % 200), Kind::File));
    std::vector<const char*> buffers;
    for (const auto& e : v)
        buffers.push_back(e.name.data());
    dir_lister::sort(v, SortOrder{});
    std::vector<const char*> after;
    for (const auto& e : v)
        after.push_back(e.name.data());
    std::sort(buffers.begin(), buffers.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(buffers, after); // the same heap buffers, only rearranged
    EXPECT_EQ(v.front().name, "a rather long file name number 0");
    EXPECT_EQ(v.back().name, "a rather long file name number 199");

    std::vector<FsEntry> empty;
    dir_lister::sort(empty, SortOrder{});
    EXPECT_TRUE(empty.empty());
}

// An independent reading of the ordering rules, checked against the sort on many random rows.
namespace reference {

struct Token {
    bool number;
    unsigned char ch;   // folded byte, or the first digit of a number
    std::string digits; // without leading zeros
    size_t run = 0;     // with them
};

unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}
bool digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

std::vector<Token> tokens(const std::string& s) {
    std::vector<Token> out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        if (!digit(c)) {
            out.push_back({false, fold(c), "", 0});
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && digit(s[j]))
            ++j;
        std::string run = s.substr(i, j - i);
        size_t nz = run.find_first_not_of('0');
        out.push_back({true, c, nz == std::string::npos ? "" : run.substr(nz), run.size()});
        i = j;
    }
    return out;
}

int natural(const std::string& a, const std::string& b) {
    auto ta = tokens(a), tb = tokens(b);
    for (size_t k = 0; k < std::min(ta.size(), tb.size()); ++k) {
        const Token &x = ta[k], &y = tb[k];
        if (x.number && y.number) {
            if (x.digits.size() != y.digits.size()) return x.digits.size() < y.digits.size() ? -1 : 1;
            if (x.digits != y.digits) return x.digits < y.digits ? -1 : 1;
            if (x.run != y.run) return x.run < y.run ? -1 : 1;
        } else if (x.ch != y.ch) {
            return x.ch < y.ch ? -1 : 1;
        }
    }
    if (ta.size() != tb.size()) return ta.size() < tb.size() ? -1 : 1;
    return a == b ? 0 : (a < b ? -1 : 1);
}

std::string ext(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    std::string e = name.substr(dot + 1);
    for (auto& c : e)
        c = fold(c);
    return e;
}

template <typename T> int cmp(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int key_compare(const FsEntry& a, const FsEntry& b, SortKey key) {
    int c = 0;
    switch (key) {
    case SortKey::Name:
        break;
    case SortKey::Size:
        c = (a.size < 0 && b.size < 0) ? 0 : cmp(a.size, b.size);
        break;
    case SortKey::Modified:
        c = cmp(a.mtime, b.mtime);
        break;
    case SortKey::Created:
        c = cmp(a.btime, b.btime);
        break;
    case SortKey::Permissions:
        c = cmp(a.perm, b.perm);
        break;
    case SortKey::Owner:
        c = cmp(a.owner, b.owner);
        break;
    case SortKey::Group:
        c = cmp(a.group, b.group);
        break;
    case SortKey::Kind:
        c = cmp(ext(a.name), ext(b.name));
        break;
    }
    return c ? c : natural(a.name, b.name);
}

// -1: a first, +1: b first, 0: equal (input order stays).
int order(const FsEntry& a, const FsEntry& b, const SortOrder& o) {
    bool pa = a.kind == Kind::Parent, pb = b.kind == Kind::Parent;
    if (pa != pb) return pa ? -1 : 1;
    if (o.dirs_first && a.is_dir_like() != b.is_dir_like()) return a.is_dir_like() ? -1 : 1;
    int c = key_compare(a, b, o.key);
    return o.ascending ? c : -c;
}

} // namespace reference

TEST(Sort, AgreesWithTheRulesOnRandomRows) {
    std::mt19937 rng(12345);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    const std::vector<std::string> pieces = {"a",
                                             "A",
                                             "b",
                                             "B",
                                             "z",
                                             ".",
                                             "_",
                                             "-",
                                             " ",
                                             "\xc3\xa9",
                                             "0",
                                             "00",
                                             "7",
                                             "07",
                                             "10",
                                             "9",
                                             "123456789012345678901234567890"};
    const std::vector<std::string> owners = {"root",   "alice", "Zed",
                                             "alicea", "bob",   "averyveryverylongname"};
    const Kind kinds[] = {Kind::File,    Kind::File,          Kind::File,    Kind::Dir,   Kind::SymlinkDir,
                          Kind::Symlink, Kind::BrokenSymlink, Kind::Special, Kind::Parent};
    std::vector<FsEntry> input;
    for (int i = 0; i < 2500; ++i) {
        std::string name;
        int parts = 1 + pick(5);
        for (int p = 0; p < parts; ++p)
            name += pieces[pick(int(pieces.size()))];
        if (pick(40) == 0)
            name += std::string(size_t(250 + pick(20)), char('1' + pick(9)));           // very long numbers
        if (pick(60) == 0) name = "x" + std::string(size_t(250 + pick(20)), '0') + "5"; // very long zero runs
        FsEntry e = make(name, kinds[pick(9)], pick(5) - 1, pick(4) - 1, pick(3), uint32_t(pick(4) * 0111),
                         owners[pick(int(owners.size()))], owners[pick(int(owners.size()))]);
        e.ctime = i; // the input position, to check stability
        input.push_back(std::move(e));
    }
    for (int k = 0; k < 8; ++k) {
        for (int flags = 0; flags < 4; ++flags) {
            SortOrder o{SortKey(k), (flags & 1) != 0, (flags & 2) != 0};
            auto v = input;
            dir_lister::sort(v, o);
            ASSERT_EQ(v.size(), input.size());
            std::vector<int64_t> seen;
            for (const auto& e : v)
                seen.push_back(e.ctime);
            std::sort(seen.begin(), seen.end());
            for (size_t i = 0; i < seen.size(); ++i)
                ASSERT_EQ(seen[i], int64_t(i)) << describe(o);
            for (size_t i = 1; i < v.size(); ++i) {
                int c = reference::order(v[i - 1], v[i], o);
                ASSERT_LE(c, 0) << describe(o) << ": '" << v[i - 1].name << "' before '" << v[i].name << "'";
                if (c == 0) {
                    ASSERT_LT(v[i - 1].ctime, v[i].ctime) << describe(o) << ": stability";
                }
            }
        }
    }
}
