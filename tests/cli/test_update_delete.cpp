// Update, freshen and delete end to end: what is kept, replaced and added,
// headers of every level copied byte for byte, and an old archive that
// stays untouched whenever the new one cannot be made whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <unistd.h>

#include "archive_entries.h"
#include "lzh_builder.h"
#include "testkit.h"

using namespace testkit;

namespace {

bool contains(const std::string &hay, const std::string &needle)
{
    return hay.find(needle) != std::string::npos;
}

RunResult run_in(const TempDir &t, std::vector<std::string> args, long fsize_limit = -1)
{
    RunOptions o;
    o.cwd = t.path();
    o.file_size_limit = fsize_limit;
    return run_tambrix(args, o);
}

void set_mtime(const std::string &path, time_t when)
{
    struct timespec ts[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

constexpr uint32_t kOld = 1500000000;   // 2017
constexpr time_t kNewer = 1600000000;   // 2020

// One entry of each header level, the level-0 and level-1 names as a
// foreign archiver would store them.
Bytes lv0_entry() { return build_lv0(stored("OLD0.TXT", "level zero", dos_stamp(2001, 2, 3, 4, 5, 6))); }
Bytes lv1_entry()
{
    LzhEntry e = stored("one.txt", "level one", dos_stamp(2002, 3, 4, 5, 6, 8));
    e.dir = "docs/";
    return build_lv1(e);
}
Bytes lv2_entry(const std::string &name, const std::string &data, uint32_t time = kOld)
{
    return build_lv2(stored(name, data, time));
}

Bytes concat(std::vector<Bytes> parts)
{
    Bytes out;
    for (auto &p : parts)
        append(out, p);
    return out;
}

} // namespace

TEST(Update, ReplacesNewerKeepsOlderAndAddsUnknown)
{
    TempDir t;
    write_file(t / "arc.tmb",
               make_archive({lv0_entry(), lv2_entry("readme.txt", "old text"), lv1_entry(),
                             lv2_entry("same.txt", "same")}));
    write_text(t / "README.TXT", "new text");  // case-insensitive match
    set_mtime(t / "README.TXT", kNewer);
    write_text(t / "same.txt", "same on disk");
    set_mtime(t / "same.txt", kOld);  // as old as its entry: skipped
    write_text(t / "fresh.txt", "brand new");

    RunResult r = run_in(t, {"u", "-lh0", "arc.tmb", "README.TXT", "same.txt", "fresh.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "  updating: README.TXT\n[4] adding:  README.TXT")) << r.out;
    EXPECT_TRUE(contains(r.out, "  adding:   fresh.txt\n[5] adding:  fresh.txt")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nDone. Updated: 2  Kept: 3  Skipped: 1  Errors: 0\n")) << r.out;

    auto e = read_entries(t / "arc.tmb");
    ASSERT_EQ(e.size(), 5u);
    // Kept entries in their old order with their bytes unchanged, then the
    // new ones in argument order.
    EXPECT_EQ(e[0].raw, lv0_entry());
    EXPECT_EQ(e[1].raw, lv1_entry());
    EXPECT_EQ(e[2].raw, lv2_entry("same.txt", "same"));
    EXPECT_EQ(e[3].name, "README.TXT");
    EXPECT_EQ(e[3].mtime, kNewer);
    EXPECT_EQ(e[4].name, "fresh.txt");
    Bytes arc = read_file(t / "arc.tmb");
    EXPECT_EQ(arc[arc.size() - 1], 0);
    EXPECT_EQ(arc[arc.size() - 2], 0);
}

TEST(Update, FreshenOnlyReplaces)
{
    TempDir t;
    Bytes original = make_archive({lv2_entry("a.txt", "old a")});
    write_file(t / "arc.tmb", original);
    write_text(t / "b.txt", "not in the archive");
    RunResult r = run_in(t, {"f", "arc.tmb", "b.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "\nDone. Updated: 0  Kept: 1  Skipped: 1  Errors: 0\n")) << r.out;
    EXPECT_EQ(read_file(t / "arc.tmb"), original);

    // f on an archive that does not exist leaves just the end mark.
    RunResult none = run_in(t, {"f", "new.tmb", "b.txt"});
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(contains(none.out, "Updated: 0  Kept: 0  Skipped: 1  Errors: 0")) << none.out;
    EXPECT_EQ(read_file(t / "new.tmb"), (Bytes{0, 0}));
}

TEST(Update, OldEntryStaysWhenItsNewerFileCannotBeAdded)
{
    for (std::string cmd : {"u", "f"}) {
        TempDir t;
        write_file(t / "arc.tmb",
                   make_archive({lv2_entry("pipe", "old data"), lv2_entry("x.txt", "x")}));
        // Newer than the entry, but a FIFO cannot become an entry.
        ASSERT_EQ(mkfifo((t / "pipe").c_str(), 0644), 0);
        set_mtime(t / "pipe", kNewer);
        RunResult r = run_in(t, {cmd, "arc.tmb", "pipe"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_TRUE(contains(r.err, "Not a regular file: pipe")) << r.err;
        EXPECT_TRUE(contains(r.out, "Updated: 0  Kept: 2  Skipped: 0  Errors: 1")) << r.out;
        auto e = read_entries(t / "arc.tmb");
        ASSERT_EQ(e.size(), 2u) << cmd;
        EXPECT_EQ(e[0].raw, lv2_entry("x.txt", "x"));
        EXPECT_EQ(e[1].raw, lv2_entry("pipe", "old data"));
    }
}

// The tree src: a.c, sub/b.c, sub/deeper/f.txt and the empty directory e,
// every time kOld; the archive is what a -r makes of it.
void make_src_tree(const TempDir &t)
{
    for (const char *d : {"src", "src/sub", "src/sub/deeper", "src/e"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    write_text(t / "src/a.c", "a");
    write_text(t / "src/sub/b.c", "b");
    write_text(t / "src/sub/deeper/f.txt", "f");
    for (const char *p : {"src/a.c", "src/sub/b.c", "src/sub/deeper/f.txt", "src/e", "src/sub/deeper",
                          "src/sub", "src"})
        set_mtime(t / p, kOld);
}

std::string stored_data(const ArchiveEntry &e)
{
    return std::string(e.raw.end() - (long)e.orig_size, e.raw.end());
}

TEST(Update, TreesMeetTheirEntriesByTheNamesAddGivesThem)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> changed;  // files given new text and a newer time
        std::vector<std::string> created;  // new files ('/' at the end: a directory)
        std::string done;
        // Entries that go to the end with the new text, and new entries;
        // both empty: the archive must stay byte for byte as it was.
        std::vector<std::string> replaced, added;
    };
    const Case cases[] = {
        {{"u", "-r", "-lh0", "upd.tmb", "src"}, {}, {}, "Updated: 0  Kept: 4  Skipped: 4  Errors: 0", {}, {}},
        {{"f", "-r", "-lh0", "upd.tmb", "./src"}, {}, {}, "Updated: 0  Kept: 4  Skipped: 4  Errors: 0", {}, {}},
        // Without the empty directory in the walk its entry still stays.
        {{"u", "-r", "-e", "-lh0", "upd.tmb", "src"}, {}, {}, "Updated: 0  Kept: 4  Skipped: 3  Errors: 0", {}, {}},
        {{"f", "-r", "-lh0", "upd.tmb", "src"}, {"src/sub/deeper/f.txt"}, {},
         "Updated: 1  Kept: 3  Skipped: 3  Errors: 0", {"sub/deeper/f.txt"}, {}},
        {{"u", "-r", "-lh0", "upd.tmb", "src"}, {"src/sub/deeper/f.txt", "src/a.c"}, {},
         "Updated: 2  Kept: 2  Skipped: 2  Errors: 0", {"a.c", "sub/deeper/f.txt"}, {}},
        // f adds nothing new; u adds the file and the new empty directory,
        // and a file in the directory that was empty joins the kept e/.
        {{"f", "-r", "-lh0", "upd.tmb", "src"}, {}, {"src/sub/new.c", "src/e2/"},
         "Updated: 0  Kept: 4  Skipped: 6  Errors: 0", {}, {}},
        {{"u", "-r", "-lh0", "upd.tmb", "src"}, {}, {"src/sub/new.c", "src/e2/", "src/e/x"},
         "Updated: 3  Kept: 4  Skipped: 3  Errors: 0", {}, {"e/x", "e2/", "sub/new.c"}},
        // A plain file argument is named by its base name, as a names it:
        // a.c is the entry of the tree, b.c is not (that one is sub/b.c).
        {{"u", "-lh0", "upd.tmb", "src/a.c", "src/sub/b.c"}, {"src/a.c", "src/sub/b.c"}, {},
         "Updated: 2  Kept: 3  Skipped: 0  Errors: 0", {"a.c"}, {"b.c"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.done);
        TempDir t;
        make_src_tree(t);
        ASSERT_EQ(run_in(t, {"a", "-q", "-r", "-lh0", "upd.tmb", "src"}).status, 0);
        const Bytes original = read_file(t / "upd.tmb");
        const auto before = read_entries(t / "upd.tmb");
        ASSERT_EQ(before.size(), 4u);
        for (const std::string &f : c.changed) {
            write_text(t / f, "new " + f);
            set_mtime(t / f, kNewer);
        }
        for (const std::string &f : c.created) {
            if (f.back() == '/')
                ASSERT_EQ(mkdir((t / f).c_str(), 0755), 0);
            else
                write_text(t / f, "new " + f);
        }

        // Twice: a second run on what the first left changes nothing more.
        for (int run = 0; run < 2; run++) {
            RunResult r = run_in(t, c.args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            if (run == 0) {
                EXPECT_TRUE(contains(r.out, "\nDone. " + c.done + "\n")) << r.out;
            }
        }
        if (c.replaced.empty() && c.added.empty()) {
            EXPECT_EQ(read_file(t / "upd.tmb"), original);
            continue;
        }
        // Kept entries in their old order, byte for byte; then the replaced
        // and the new ones.
        auto after = read_entries(t / "upd.tmb");
        ASSERT_EQ(after.size(), before.size() + c.added.size());
        size_t k = 0;
        for (const ArchiveEntry &e : before)
            if (std::find(c.replaced.begin(), c.replaced.end(), e.name) == c.replaced.end()) {
                EXPECT_EQ(after[k++].raw, e.raw) << e.name;
            }
        std::vector<std::string> tail, expected_tail = c.replaced;
        expected_tail.insert(expected_tail.end(), c.added.begin(), c.added.end());
        std::sort(expected_tail.begin(), expected_tail.end());
        for (size_t i = k; i < after.size(); i++) {
            tail.push_back(after[i].name);
            if (after[i].name.back() == '/')
                continue;
            std::string file = c.args.back() == "src" ? "src/" + after[i].name : "";
            for (const std::string &f : c.changed)
                if (f == file || (file.empty() && f.substr(f.rfind('/') + 1) == after[i].name))
                    file = f;
            EXPECT_EQ(stored_data(after[i]), "new " + file) << after[i].name;
        }
        std::sort(tail.begin(), tail.end());
        EXPECT_EQ(tail, expected_tail);
    }
}

TEST(Delete, SelectsByNameOrBaseNameAndCopiesTheRestUnchanged)
{
    const Bytes dir_entry = lv2_entry("docs/", "");
    const Bytes a = lv2_entry("docs/a.txt", "aaa");
    const Bytes b = lv2_entry("b.bin", "bbb");
    struct Case {
        std::vector<std::string> patterns;
        Bytes expected;
        std::string done;
        std::string err = "";  // a name that selects nothing fails the command
    };
    const Case cases[] = {
        // docs/one.txt of the level-1 entry goes too; OLD0.TXT differs in case.
        {{"*.txt"}, make_archive({lv0_entry(), dir_entry, b}), "Deleted: 2  Kept: 3"},
        {{"nothing"}, make_archive({lv0_entry(), lv1_entry(), dir_entry, a, b}), "Deleted: 0  Kept: 5",
         "No entry matches: nothing\n"},
        {{"docs*"}, make_archive({lv0_entry(), b}), "Deleted: 3  Kept: 2"},
        {{"*"}, Bytes{0, 0}, "Deleted: 5  Kept: 0"},
    };
    for (const Case &c : cases) {
        TempDir t;
        write_file(t / "arc.tmb", make_archive({lv0_entry(), lv1_entry(), dir_entry, a, b}));
        std::vector<std::string> args = {"d", "-q", "arc.tmb"};
        args.insert(args.end(), c.patterns.begin(), c.patterns.end());
        RunResult r = run_in(t, args);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.patterns[0] << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(contains(r.out, "\n" + c.done + "\n")) << r.out;
        EXPECT_EQ(read_file(t / "arc.tmb"), c.expected) << c.patterns[0];
        EXPECT_EQ(list_dir(t.path()), std::vector<std::string>{"arc.tmb"});
    }
}

TEST(Delete, ArchiveWithoutEndMarkIsNotDamage)
{
    TempDir t;
    write_file(t / "arc.tmb", concat({lv2_entry("a.txt", "a"), lv2_entry("b.txt", "b")}));
    RunResult r = run_in(t, {"d", "arc.tmb", "a.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / "arc.tmb"), make_archive({lv2_entry("b.txt", "b")}));
}

TEST(Rewrite, DamagedArchiveIsLeftUntouched)
{
    Bytes good = lv2_entry("a.txt", "aaaa");
    Bytes second = lv2_entry("b.txt", "bbbbbbbb");
    Bytes truncated_data(second.begin(), second.end() - 3);
    Bytes truncated_header(second.begin(), second.begin() + 10);
    Bytes garbage = {0x41, 0x42, 0x43};
    // A byte of the name changed after the header's check value was made.
    auto renamed = [](Bytes entry, size_t name_at) {
        entry[name_at] ^= 0x01;
        return entry;
    };
    LzhEntry b = stored("b.txt", "bbbbbbbb");
    const std::vector<Bytes> damaged = {
        concat({good, truncated_data}),    // data runs past the end of the file
        concat({good, truncated_header}),  // the header itself is cut short
        concat({good, garbage}),           // bytes that are no header
        make_archive({good, renamed(build_lv0(b), 22)}),  // checksum does not match
        make_archive({good, renamed(build_lv1(b), 22)}),
        make_archive({good, renamed(build_lv2(b), 27)}),  // header CRC does not match
    };
    for (size_t i = 0; i < damaged.size(); i++) {
        for (std::string cmd : {"d", "u", "f"}) {
            TempDir t;
            write_file(t / "arc.tmb", damaged[i]);
            write_text(t / "a.txt", "newer a");
            set_mtime(t / "a.txt", kNewer + 1000000000);
            std::vector<std::string> args = {cmd, "arc.tmb", cmd == "d" ? "zzz" : "a.txt"};
            RunResult r = run_in(t, args);
            EXPECT_EQ(r.status, 1) << cmd << i;
            EXPECT_TRUE(contains(r.err, "Damaged archive: arc.tmb")) << cmd << i << r.err;
            if (i >= 3) {
                EXPECT_EQ(r.err, "Damaged archive: arc.tmb (entry header checksum mismatch at offset " +
                                     std::to_string(good.size()) + "); archive left unchanged\n")
                    << cmd << i;
            }
            EXPECT_EQ(read_file(t / "arc.tmb"), damaged[i]) << cmd << i;
            EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"a.txt", "arc.tmb"})) << cmd << i;
        }
    }
}

// The rewritten archive ends at its own end mark, so what followed the old
// one would be lost: padding (zero bytes, or the 0x1A bytes of old
// transfer protocols) may go, anything else is damage and the archive
// stays as it was.
TEST(Rewrite, OnlyPaddingAfterTheEndMarkMayBeDropped)
{
    const Bytes arc = make_archive({lv2_entry("a.txt", "aaaa"), lv2_entry("b.txt", "bbbbbbbb")});
    const Bytes kept = make_archive({lv2_entry("b.txt", "bbbbbbbb")});
    const std::string mark_end = std::to_string(arc.size());
    struct Case {
        const char *what;
        Bytes after;
        std::string err;  // "": rewritten
    };
    const Case cases[] = {
        {"zero bytes", Bytes(700, 0), ""},
        {"0x1A bytes", Bytes(127, 0x1A), ""},
        {"both", concat({Bytes(5, 0x1A), Bytes(300, 0), Bytes(2, 0x1A)}), ""},
        {"text", Bytes{'n', 'o', 't', 'e'},
         "Damaged archive: arc.tmb (data after the end mark at offset " + mark_end +
             "); archive left unchanged\n"},
        {"a second archive", make_archive({lv2_entry("c.txt", "c")}),
         "Damaged archive: arc.tmb (data after the end mark at offset " + mark_end +
             "); archive left unchanged\n"},
        {"padding, then a byte", concat({Bytes(4000, 0), Bytes{0x1A, 7}}),
         "Damaged archive: arc.tmb (data after the end mark at offset " +
             std::to_string(arc.size() + 4001) + "); archive left unchanged\n"},
    };
    for (const Case &c : cases) {
        for (std::string cmd : {"d", "u", "f"}) {
            SCOPED_TRACE(std::string(c.what) + ", " + cmd);
            TempDir t;
            Bytes old = concat({arc, c.after});
            write_file(t / "arc.tmb", old);
            write_text(t / "a.txt", "newer a");
            set_mtime(t / "a.txt", kNewer);
            RunResult r = run_in(t, {cmd, "-q", "-lh0", "arc.tmb", "a.txt"});
            if (c.err.empty()) {
                EXPECT_EQ(r.status, 0) << r.err;
                Bytes now = read_file(t / "arc.tmb");
                if (cmd == "d") {
                    EXPECT_EQ(now, kept);
                } else {
                    EXPECT_EQ(entry_names(t / "arc.tmb"), (std::vector<std::string>{"b.txt", "a.txt"}));
                    EXPECT_EQ(Bytes(now.end() - 2, now.end()), (Bytes{0, 0}));
                    EXPECT_EQ(now.size(), kept.size() + 34 + 5 + 7);
                }
            } else {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, c.err);
                EXPECT_EQ(read_file(t / "arc.tmb"), old);
            }
            EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"a.txt", "arc.tmb"}));
        }
    }
}

TEST(Rewrite, WriteFailureKeepsTheOldArchive)
{
    // The new archive outgrows the file size limit; the old one must stay.
    Bytes original = make_archive({lv2_entry("big.bin", std::string(6000, 'q')),
                                   lv2_entry("a.txt", "old")});
    TempDir t;
    write_file(t / "arc.tmb", original);
    write_file(t / "add.bin", Bytes(3000, 'z'));
    RunResult r = run_in(t, {"u", "-lh0", "arc.tmb", "add.bin"}, 7000);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Write error")) << r.err;
    EXPECT_EQ(read_file(t / "arc.tmb"), original);
    EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"add.bin", "arc.tmb"}));
}

TEST(Rewrite, MissingArgumentsAndMissingArchive)
{
    TempDir t;
    RunResult d = run_in(t, {"d", "arc.tmb"});
    EXPECT_EQ(d.status, 1);
    EXPECT_EQ(d.err, "No files specified for deletion.\n");
    RunResult d2 = run_in(t, {"d", "arc.tmb", "x"});
    EXPECT_EQ(d2.status, 1);
    EXPECT_EQ(d2.err, "Cannot open: arc.tmb\n");
    RunResult u = run_in(t, {"u", "arc.tmb"});
    EXPECT_EQ(u.status, 1);
    EXPECT_EQ(u.err, "No files specified.\n");
    EXPECT_TRUE(list_dir(t.path()).empty());
}

// An archive name that is a FIFO, a directory or a link to a device is
// refused at once, by u, f and d as by a: the open must not wait for a
// writer, and nothing may be renamed over the device (a temporary beside
// the link's target would replace it). The device is a null device of our
// own; the alarm turns a wait into a failed case.
TEST(Rewrite, SpecialFilesAtTheArchiveNameAreRefusedAtOnce)
{
    TempDir t;
    write_text(t / "f.txt", "data");
    ASSERT_EQ(mkfifo((t / "pipe.tmb").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((t / "dir.tmb").c_str(), 0755), 0);
    std::vector<std::string> names = {"pipe.tmb", "dir.tmb"};
    bool have_node = mknod((t / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (have_node) {
        ASSERT_EQ(symlink("null", (t / "link.tmb").c_str()), 0);
        names.push_back("link.tmb");
    }
    const std::vector<std::string> before = list_dir(t.path());
    for (const char *cmd : {"u", "f", "d", "a"}) {
        for (const std::string &name : names) {
            SCOPED_TRACE(std::string(cmd) + " " + name);
            RunOptions o;
            o.cwd = t.path();
            o.close_stdin = true;
            o.wall_limit_seconds = 10;
            RunResult r = run_tambrix({cmd, name, "f.txt"}, o);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "Cannot open/create: " + name + " (not a regular file)\n");
            EXPECT_EQ(list_dir(t.path()), before);
        }
    }
    if (have_node) {
        struct stat st;
        ASSERT_EQ(lstat((t / "null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_rdev, makedev(1, 3));
    }
}

TEST(Update, TheArchiveItselfIsNeverStoredInTheNewOne)
{
    // '*' names the archive; a tree walk over '.' meets both the archive and
    // the temporary archive being written beside it.
    struct Case {
        std::vector<std::string> args;
        std::string skip_line;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{"u", "-lh0", "arc.tmb", "*"}, "  skipping the archive itself:  ./arc.tmb\n",
         {"a.txt", "g.txt"}},
        {{"f", "-lh0", "arc.tmb", "*"}, "  skipping the archive itself:  ./arc.tmb\n", {"a.txt"}},
        // a.txt of the tree is the unchanged entry a.txt: it is not added twice.
        {{"u", "-r", "-lh0", "arc.tmb", "."}, "  skipping the archive itself:  ./arc.tmb\n",
         {"a.txt", "g.txt"}},
    };
    for (const Case &c : cases) {
        TempDir t;
        write_file(t / "arc.tmb", make_archive({lv2_entry("a.txt", "old a")}));
        write_text(t / "a.txt", "old a");
        set_mtime(t / "a.txt", kOld);
        write_text(t / "g.txt", "g");
        RunResult r = run_in(t, c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        EXPECT_TRUE(contains(r.out, c.skip_line)) << r.out;
        std::vector<std::string> names = entry_names(t / "arc.tmb");
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.names) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"a.txt", "arc.tmb", "g.txt"}));
    }
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer's shadow memory needs more address space
// The map of the old archive holds only entries that some argument names,
// so 200000 entries with one argument fit in a 30 MB address space. With
// 200000 arguments (a file list naming every entry) the map cannot be had
// there: the command stops before it writes anything.
TEST(Update, NoMemoryForTheMapLeavesTheArchiveAlone)
{
    TempDir t;
    std::vector<Bytes> entries;
    std::string list;
    for (int i = 0; i < 200000; i++) {
        char name[16];
        snprintf(name, sizeof name, "f%d", i);
        entries.push_back(lv2_entry(name, ""));
        list += std::string(name) + "\n";
    }
    Bytes original = make_archive(entries);
    write_file(t / "big.tmb", original);
    write_text(t / "x.txt", "x");
    write_text(t / "list.txt", list);
    RunOptions o;
    o.cwd = t.path();
    auto limited = [&](const std::string &args) {
        return run_program({"/bin/sh", "-c", "ulimit -v 30000; exec " + std::string(TAMBRIX_BIN) + " " + args}, o);
    };

    RunResult r = limited("u -q big.tmb -i list.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Out of memory.\n");
    EXPECT_EQ(read_file(t / "big.tmb"), original);
    EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"big.tmb", "list.txt", "x.txt"}));

    r = limited("u -q big.tmb x.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Updated: 1  Kept: 200000  Skipped: 0  Errors: 0")) << r.out;
    std::vector<std::string> names = entry_names(t / "big.tmb");
    ASSERT_EQ(names.size(), 200001u);
    EXPECT_EQ(names[199999], "f199999");
    EXPECT_EQ(names[200000], "x.txt");
}
#endif
