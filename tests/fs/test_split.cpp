// Splitting into parts, the sidecar, joining with verification and the
// auto-join, called directly with the settings set by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cerrno>
#include <cstring>
#include <glob.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "tmb_header.h"
#include "tmb_split.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::TempDir;
using testkit::file_exists;
using testkit::read_file;
using testkit::read_text;
using testkit::write_file;
using testkit::write_text;

namespace {

Bytes pattern_bytes(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(i * 131 + (i >> 8) * 7 + 1);
    return b;
}

std::string crc_hex(const Bytes &b)
{
    char s[8];
    snprintf(s, sizeof s, "%04X", tmb_crc16(b.data(), b.size(), 0));
    return s;
}

std::string sidecar_text(const std::string &name, size_t size, unsigned long parts,
                         const std::string &crc)
{
    return "TAMBRIXSPLIT 1\nname=" + name + "\nsize=" + std::to_string(size) +
           "\nparts=" + std::to_string(parts) + "\ncrc16=" + crc + "\n";
}

// Redirects stdout and stderr into files while a call runs.
class Captured {
public:
    Captured()
    {
        fflush(stdout);
        fflush(stderr);
        for (int i = 0; i < 2; i++) {
            files_[i] = tmpfile();
            saved_[i] = dup(i + 1);
            dup2(fileno(files_[i]), i + 1);
        }
    }
    ~Captured() { finish(); }
    void finish()
    {
        if (done_)
            return;
        done_ = true;
        fflush(stdout);
        fflush(stderr);
        for (int i = 0; i < 2; i++) {
            dup2(saved_[i], i + 1);
            close(saved_[i]);
            std::string &dst = i == 0 ? out : err;
            rewind(files_[i]);
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, files_[i])) > 0)
                dst.append(buf, n);
            fclose(files_[i]);
        }
    }
    std::string out, err;

private:
    FILE *files_[2] = {};
    int saved_[2] = {-1, -1};
    bool done_ = false;
};

// The sink the program gives split and join: their messages go to the
// standard streams, where Captured collects them.
void to_stdio(void *, int stream, const char *bytes, size_t n)
{
    fwrite(bytes, 1, n, stream == MSG_ERR ? stderr : stdout);
}

void flush_stdio(void *, int stream) { fflush(stream == MSG_ERR ? stderr : stdout); }

class SplitTest : public ::testing::Test {
protected:
    SplitTest()
    {
        set.msg.out = to_stdio;
        set.msg.flush = flush_stdio;
    }
    SplitSettings set;
    TempDir dir;
};

// ------------------------------------------------------------------ split

TEST_F(SplitTest, PartLayoutAndSidecarForEverySizeShape)
{
    struct Case {
        size_t size;
        uint64_t kb;
        std::vector<size_t> parts;
    };
    const Case cases[] = {
        {1, 1, {1}},                        // smaller than one part
        {1023, 1, {1023}},
        {1024, 1, {1024}},                  // exact multiple: no empty last part
        {1025, 1, {1024, 1}},
        {2500, 1, {1024, 1024, 452}},
        {6144, 2, {2048, 2048, 2048}},
        {200000, 64, {65536, 65536, 65536, 3392}},  // parts larger than the copy buffer
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        TempDir d;
        std::string path = d / "a.tmb";
        Bytes data = pattern_bytes(c.size);
        write_file(path, data);
        Captured cap;
        ASSERT_EQ(split_file(set, path.c_str(), c.kb, 0), 0);
        cap.finish();
        EXPECT_EQ(cap.err, "");

        Bytes joined;
        for (size_t k = 0; k < c.parts.size(); k++) {
            char name[32];
            snprintf(name, sizeof name, ".%03zu", k + 1);
            Bytes part = read_file(path + name);
            EXPECT_EQ(part.size(), c.parts[k]) << "part " << k + 1;
            joined.insert(joined.end(), part.begin(), part.end());
        }
        char next[32];
        snprintf(next, sizeof next, ".%03zu", c.parts.size() + 1);
        EXPECT_FALSE(file_exists(path + next));
        EXPECT_EQ(joined, data);
        EXPECT_EQ(read_text(path + ".info"),
                  sidecar_text("a.tmb", c.size, c.parts.size(), crc_hex(data)));
        EXPECT_TRUE(file_exists(path)) << "split without remove keeps the file";
    }
}

TEST_F(SplitTest, ExactMessagesAndQuiet)
{
    std::string path = dir / "a.tmb";
    Bytes data = pattern_bytes(2500);
    write_file(path, data);
    const std::string crc = crc_hex(data);
    const std::string head = "Splitting: " + path + " (2500 bytes) into 1KB parts\n";
    const std::string tail =
        "\nDone. 3 part(s) written, CRC16=" + crc + "\nInfo file: " + path + ".info\n";
    {
        Captured cap;
        ASSERT_EQ(split_file(set, path.c_str(), 1, 0), 0);
        cap.finish();
        EXPECT_EQ(cap.out, head + "  writing: " + path + ".001\n  writing: " + path +
                               ".002\n  writing: " + path + ".003\n" + tail);
    }
    set.quiet = 1;
    {
        Captured cap;
        ASSERT_EQ(split_file(set, path.c_str(), 1, 1), 0);
        cap.finish();
        EXPECT_EQ(cap.out, head + tail + "Removed original: " + path + "\n");
        EXPECT_EQ(cap.err, "");
    }
    EXPECT_FALSE(file_exists(path));
}

TEST_F(SplitTest, EmptyFileGivesNoPartsButASidecar)
{
    std::string path = dir / "empty";
    write_text(path, "");
    Captured cap;
    ASSERT_EQ(split_file(set, path.c_str(), 880, 0), 0);
    cap.finish();
    EXPECT_EQ(cap.out, "Splitting: " + path + " (0 bytes) into 880KB parts\n\nDone. 0 part(s) "
                       "written, CRC16=0000\nInfo file: " + path + ".info\n");
    EXPECT_FALSE(file_exists(path + ".001"));
    EXPECT_EQ(read_text(path + ".info"), sidecar_text("empty", 0, 0, "0000"));
}

TEST_F(SplitTest, SidecarNameIsTheBaseNameAfterSlashOrColon)
{
    ASSERT_EQ(mkdir((dir / "RAM:x").c_str(), 0755), 0);
    std::string path = dir / "RAM:x/b.lzh";
    write_text(path, "abc");
    Captured cap;
    ASSERT_EQ(split_file(set, path.c_str(), 1, 0), 0);
    cap.finish();
    EXPECT_NE(read_text(path + ".info").find("\nname=b.lzh\n"), std::string::npos);

    // A colon after the last slash wins too.
    std::string dev = dir / "DF0:c.tmb";
    write_text(dev, "abc");
    Captured cap2;
    ASSERT_EQ(split_file(set, dev.c_str(), 1, 0), 0);
    cap2.finish();
    EXPECT_NE(read_text(dev + ".info").find("\nname=c.tmb\n"), std::string::npos);
}

TEST_F(SplitTest, InvalidPartSizesTouchNothing)
{
    std::string path = dir / "a.tmb";
    write_file(path, pattern_bytes(100));
    // 0, a negative count widened with its sign, and the first count whose
    // byte size no longer fits in 64 bits.
    for (uint64_t kb : {uint64_t{0}, (uint64_t)(int64_t)-5, UINT64_MAX / 1024 + 1}) {
        SCOPED_TRACE(kb);
        Captured cap;
        EXPECT_EQ(split_file(set, path.c_str(), kb, 1), 1);
        cap.finish();
        EXPECT_EQ(cap.err, "Invalid part size: 0\n");
        EXPECT_EQ(cap.out, "");
        EXPECT_FALSE(file_exists(path + ".001"));
        EXPECT_FALSE(file_exists(path + ".info"));
        EXPECT_TRUE(file_exists(path));
    }
    // The largest valid count is accepted: one part holds everything.
    Captured cap;
    EXPECT_EQ(split_file(set, path.c_str(), UINT64_MAX / 1024, 0), 0);
    cap.finish();
    EXPECT_EQ(read_file(path + ".001").size(), 100u);
}

TEST_F(SplitTest, MissingFileOrDirectoryIsReported)
{
    ASSERT_EQ(mkdir((dir / "d.tmb").c_str(), 0755), 0);
    for (const char *name : {"nope.tmb", "d.tmb"}) {
        SCOPED_TRACE(name);
        std::string path = dir / name;
        Captured cap;
        EXPECT_EQ(split_file(set, path.c_str(), 1, 1), 1);
        cap.finish();
        EXPECT_EQ(cap.err, "Cannot open: " + path + "\n");
        EXPECT_EQ(cap.out, "");
        EXPECT_FALSE(file_exists(path + ".info"));
        EXPECT_FALSE(file_exists(path + ".001"));
    }
    EXPECT_TRUE(file_exists(dir / "d.tmb"));
}

// A part that cannot be put in place (a directory holds its name): the
// split fails, takes back the parts it made, writes no sidecar, and the
// original survives even when it was to be removed. (Parts that cannot be
// written are a fault-injection test.)
TEST_F(SplitTest, FailedPartKeepsTheOriginalAndRemovesTheParts)
{
    for (const char *bad_part : {".001", ".002"}) {
        SCOPED_TRACE(bad_part);
        TempDir d;
        std::string path = d / "a.tmb";
        Bytes data = pattern_bytes(2500);
        write_file(path, data);
        std::string bad = path + bad_part;
        ASSERT_EQ(mkdir(bad.c_str(), 0755), 0);
        Captured cap;
        EXPECT_EQ(split_file(set, path.c_str(), 1, 1), 1);
        cap.finish();
        EXPECT_EQ(cap.err, "Cannot create: " + bad + "\n");
        EXPECT_EQ(cap.out.find("Done."), std::string::npos);
        ASSERT_EQ(rmdir(bad.c_str()), 0);
        for (const char *ext : {".001", ".002", ".003", ".info"})
            EXPECT_FALSE(file_exists(path + ext)) << ext;
        EXPECT_EQ(read_file(path), data);
        std::vector<std::string> left;
        glob_t g;
        if (glob((d.path() + "/*").c_str(), 0, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; i++)
                left.push_back(g.gl_pathv[i]);
        globfree(&g);
        EXPECT_EQ(left, std::vector<std::string>{path}) << "no temporary stays";
    }
}

// Links planted at the names of parts and of the sidecar, as another user
// could in a shared directory: the split replaces them with its own files
// and never writes through them, whether they lead to a file or nowhere.
TEST_F(SplitTest, LinksAtPartAndSidecarNamesAreReplacedNotFollowed)
{
    std::string path = dir / "a.tmb";
    Bytes data = pattern_bytes(2500);
    write_file(path, data);
    std::string victim = dir / "victim", nowhere = dir / "nowhere";
    write_text(victim, "precious");
    const struct {
        const char *ext;
        std::string target;
    } links[] = {{".001", victim}, {".003", nowhere}, {".info", victim}};
    for (const auto &l : links)
        ASSERT_EQ(symlink(l.target.c_str(), (path + l.ext).c_str()), 0);
    {
        Captured cap;
        ASSERT_EQ(split_file(set, path.c_str(), 1, 0), 0) << cap.err;
    }
    EXPECT_EQ(read_text(victim), "precious");
    EXPECT_FALSE(file_exists(nowhere));
    for (const char *ext : {".001", ".002", ".003", ".info"}) {
        struct stat st;
        ASSERT_EQ(lstat((path + ext).c_str(), &st), 0) << ext;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << ext;
    }
    EXPECT_EQ(read_text(path + ".info"), sidecar_text("a.tmb", 2500, 3, crc_hex(data)));
    Captured cap;
    ASSERT_EQ(join_parts(set, (path + ".001").c_str(), (dir / "back").c_str()), 0);
    EXPECT_EQ(read_file(dir / "back"), data);
}

TEST_F(SplitTest, StalePartsOfAnEarlierLongerSplitAreRemoved)
{
    std::string path = dir / "a.tmb";
    write_file(path, pattern_bytes(5000));
    {
        Captured cap;
        ASSERT_EQ(split_file(set, path.c_str(), 1, 0), 0);
    }
    ASSERT_TRUE(file_exists(path + ".005"));
    Bytes small = pattern_bytes(1500);
    write_file(path, small);
    Captured cap;
    ASSERT_EQ(split_file(set, path.c_str(), 1, 0), 0);
    cap.finish();
    EXPECT_NE(cap.out.find("Removed stale part: " + path + ".003\n"), std::string::npos);
    EXPECT_FALSE(file_exists(path + ".003"));
    EXPECT_FALSE(file_exists(path + ".005"));

    // A directory in the way is not removed: the split fails instead.
    ASSERT_EQ(mkdir((path + ".003").c_str(), 0755), 0);
    {
        Captured cap3;
        EXPECT_EQ(split_file(set, path.c_str(), 1, 1), 1);
        cap3.finish();
        EXPECT_NE(cap3.err.find("Cannot remove stale part: " + path + ".003\n"),
                  std::string::npos);
        EXPECT_TRUE(file_exists(path));
        // The failed split took back the parts it had made.
        EXPECT_FALSE(file_exists(path + ".001"));
        EXPECT_FALSE(file_exists(path + ".002"));
    }
    ASSERT_EQ(rmdir((path + ".003").c_str()), 0);
    {
        Captured cap4;
        ASSERT_EQ(split_file(set, path.c_str(), 1, 0), 0);
    }

    remove(path.c_str());
    Captured cap2;
    EXPECT_EQ(join_parts(set, (path + ".001").c_str(), path.c_str()), 0);
    cap2.finish();
    EXPECT_EQ(read_file(path), small);
}

TEST_F(SplitTest, NamesThatWouldBeCutAreRefused)
{
    // A path of 252 characters fits, but "path.001" (256) does not: cutting
    // it would make every part the same name.
    std::string path = dir.path() + "/";
    path += std::string(252 - path.size(), 'n');
    write_file(path, pattern_bytes(10));
    Captured cap;
    EXPECT_EQ(split_file(set, path.c_str(), 1, 1), 1);
    cap.finish();
    EXPECT_EQ(cap.err, "Name too long: " + path + ".info\n");
    EXPECT_TRUE(file_exists(path));
}

// ------------------------------------------------------------------- join

class JoinTest : public SplitTest {
protected:
    // Writes arc.tmb of `n` bytes split into 1 KB parts, then removes it.
    Bytes make_parts(size_t n)
    {
        Bytes data = pattern_bytes(n);
        write_file(base, data);
        Captured cap;
        EXPECT_EQ(split_file(set, base.c_str(), 1, 1), 0);
        return data;
    }
    std::string base = dir / "arc.tmb";
};

TEST_F(JoinTest, JoinsFromPartOneWhicheverPartIsNamed)
{
    Bytes data = make_parts(2500);
    const std::string crc = crc_hex(data);
    for (const char *named : {".001", ".002", ".003"}) {
        SCOPED_TRACE(named);
        remove(base.c_str());
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + named).c_str(), base.c_str()), 0);
        cap.finish();
        EXPECT_EQ(read_file(base), data);
        EXPECT_EQ(cap.err, "");
        EXPECT_EQ(cap.out, "Joining: " + base + " -> " + base + "\n  reading: " + base +
                               ".001\n  reading: " + base + ".002\n  reading: " + base +
                               ".003\n\nJoined 3 part(s), 2500 bytes total, CRC16=" + crc +
                               "\nVerified OK against " + base +
                               ".info (size and CRC16 match)\n");
    }
    // Quiet: nothing on stdout.
    remove(base.c_str());
    set.quiet = 1;
    Captured cap;
    EXPECT_EQ(join_parts(set, (base + ".001").c_str(), base.c_str()), 0);
    cap.finish();
    EXPECT_EQ(cap.out + cap.err, "");
}

TEST_F(JoinTest, SidecarDecidesTheResult)
{
    Bytes data = make_parts(2500);
    const std::string crc = crc_hex(data);
    std::string lower = crc;
    for (char &ch : lower)
        ch = (char)tolower((unsigned char)ch);
    const std::string bad_crc = crc == "1234" ? "4321" : "1234";
    struct Case {
        const char *what;
        std::string sidecar;  // empty: no sidecar file
        int result;
        std::string out_tail;  // end of stdout
        std::string err;
    };
    const std::string failed_size = "VERIFICATION FAILED: expected size=2499 crc16=" + crc +
                                    ", got size=2500 crc16=" + crc + "\n";
    const std::string failed_crc = "VERIFICATION FAILED: expected size=2500 crc16=" + bad_crc +
                                   ", got size=2500 crc16=" + crc + "\n";
    const std::string removing = "Removing corrupted output: " + dir / "out" + "\n";
    const Case cases[] = {
        {"lower-case hex parses as a number", "size=2500\ncrc16=" + lower + "\n", 0,
         "(size and CRC16 match)\n", ""},
        {"keys without magic line, extra lines ignored", "junk\nsize=2500\nparts=9\ncrc16=" + crc,
         0, "(size and CRC16 match)\n", ""},
        {"only the low 16 bits of the CRC count", "size=2500\ncrc16=1" + crc + "\n", 0,
         "(size and CRC16 match)\n", ""},
        {"wrong size", "TAMBRIXSPLIT 1\nsize=2499\ncrc16=" + crc + "\n", 1, "CRC16=" + crc + "\n",
         failed_size + removing},
        {"wrong CRC", "size=2500\ncrc16=" + bad_crc + "\n", 1, "CRC16=" + crc + "\n",
         failed_crc + removing},
        {"the later of two keys counts", "size=2500\ncrc16=" + crc + "\ncrc16=" + bad_crc + "\n",
         1, "CRC16=" + crc + "\n", failed_crc + removing},
        {"a key missing: no verification, no message", "TAMBRIXSPLIT 1\nname=arc.tmb\n", 0,
         "CRC16=" + crc + "\n", ""},
        {"no sidecar: said on standard error", "", 0, "CRC16=" + crc + "\n",
         "No .info sidecar found (" + base + ".info) -- cannot verify integrity\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = dir / "out";
        remove(out.c_str());
        if (c.sidecar.empty())
            remove((base + ".info").c_str());
        else
            write_text(base + ".info", c.sidecar);
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + ".001").c_str(), out.c_str()), c.result);
        cap.finish();
        EXPECT_EQ(cap.err, c.err);
        std::string tail = c.out_tail;
        ASSERT_GE(cap.out.size(), tail.size());
        EXPECT_EQ(cap.out.substr(cap.out.size() - tail.size()), tail);
        if (c.result == 0)
            EXPECT_EQ(read_file(out), data);
        else
            EXPECT_FALSE(file_exists(out));
    }
    // Failed verification is reported under -q as well.
    write_text(base + ".info", "size=1\ncrc16=0\n");
    remove((dir / "out").c_str());
    set.quiet = 1;
    Captured cap;
    EXPECT_EQ(join_parts(set, (base + ".001").c_str(), (dir / "out").c_str()), 1);
    cap.finish();
    EXPECT_EQ(cap.out, "");
    // The join stops soon after the declared size instead of reading on.
    EXPECT_EQ(cap.err.rfind("VERIFICATION FAILED: expected size=1 crc16=0000, got size=1024 ", 0),
              0u);
}

TEST_F(JoinTest, AGapEndsThePartSequence)
{
    Bytes data = make_parts(2500);
    ASSERT_EQ(remove((base + ".002").c_str()), 0);
    std::string out = dir / "out";
    {
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + ".003").c_str(), out.c_str()), 1);
        cap.finish();
        EXPECT_NE(cap.out.find("Joined 1 part(s), 1024 bytes total"), std::string::npos);
        EXPECT_EQ(cap.err.rfind("VERIFICATION FAILED: expected size=2500", 0), 0u);
        EXPECT_FALSE(file_exists(out));
    }
    // Without a sidecar nothing can tell the join is short.
    remove((base + ".info").c_str());
    Captured cap;
    EXPECT_EQ(join_parts(set, (base + ".003").c_str(), out.c_str()), 0);
    cap.finish();
    EXPECT_EQ(read_file(out), Bytes(data.begin(), data.begin() + 1024));
}

TEST_F(JoinTest, RefusalsAndMissingParts)
{
    Bytes data = make_parts(1500);
    std::string out = dir / "out";
    write_text(out, "keep me");
    struct Case {
        const char *what;
        std::string input;
        std::string output;
        int force;
        std::string err;
    };
    const Case cases[] = {
        {"not a part name", base, out, 0,
         "Expected a part filename ending in .NNN (e.g. archive.tmb.001), got: " + base + "\n"},
        {"two digits", base + ".01", out, 0,
         "Expected a part filename ending in .NNN (e.g. archive.tmb.001), got: " + base +
             ".01\n"},
        {"existing output without -o", base + ".001", out, 0,
         "Output file already exists: " + out + " (use -o to overwrite)\n"},
        {"output is a part, even with -o", base + ".001", base + ".002", 1,
         "Output would overwrite its own input: " + base + ".002\n"},
        {"output is the sidecar", base + ".001", base + ".info", 1,
         "Output would overwrite its own input: " + base + ".info\n"},
        {"output in a missing directory", base + ".001", dir / "no/such", 1,
         "Cannot create: " + dir / "no/such" + "\n"},
        // A member's name reached by another path is still that member; a
        // part not there yet would lengthen the series.
        {"a part by another path", base + ".001", dir / "./arc.tmb.002", 1,
         "Output would overwrite its own input: " + dir / "./arc.tmb.002" + "\n"},
        {"the next part by another path", base + ".001", dir / "sub/../arc.tmb.003", 1,
         "Output would overwrite its own input: " + dir / "sub/../arc.tmb.003" + "\n"},
        {"the sidecar by another path", base + ".001", dir / "sub/../arc.tmb.info", 1,
         "Output would overwrite its own input: " + dir / "sub/../arc.tmb.info" + "\n"},
    };
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    const Bytes part2 = read_file(base + ".002");
    const std::string info = read_text(base + ".info");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        set.force_overwrite = c.force;
        Captured cap;
        EXPECT_EQ(join_parts(set, c.input.c_str(), c.output.c_str()), 1);
        cap.finish();
        EXPECT_EQ(cap.err, c.err);
        EXPECT_EQ(cap.out, "");
        EXPECT_EQ(read_text(out), "keep me");
        EXPECT_EQ(read_file(base + ".002"), part2);
        EXPECT_EQ(read_text(base + ".info"), info);
        EXPECT_FALSE(file_exists(base + ".003"));
    }

    // The output created under the next part's name would feed itself.
    {
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + ".001").c_str(), (base + ".003").c_str()), 1);
        cap.finish();
        EXPECT_NE(cap.err.find("Output would overwrite its own input: " + base + ".003\n"),
                  std::string::npos);
        EXPECT_FALSE(file_exists(base + ".003"));
    }

    // With -o an existing output is replaced.
    set.force_overwrite = 1;
    {
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + ".002").c_str(), out.c_str()), 0);
        cap.finish();
        EXPECT_EQ(read_file(out), data);
    }

    // Part 1 missing: nothing is left behind.
    remove((base + ".001").c_str());
    remove(out.c_str());
    set.force_overwrite = 0;
    Captured cap;
    EXPECT_EQ(join_parts(set, (base + ".002").c_str(), out.c_str()), 1);
    cap.finish();
    EXPECT_EQ(cap.err, "No parts found matching: " + base + ".001\n");
    EXPECT_FALSE(file_exists(out));
}

// A link at the output name counts as an existing output, even one that
// leads nowhere; with -o it is replaced by the joined file and whatever it
// pointed at stays untouched.
TEST_F(JoinTest, LinkAtTheOutputIsReplacedNotFollowed)
{
    Bytes data = make_parts(2500);
    std::string victim = dir / "victim", nowhere = dir / "nowhere";
    write_text(victim, "precious");
    for (const std::string &target : {victim, nowhere}) {
        SCOPED_TRACE(target);
        std::string out = dir / "out";
        remove(out.c_str());
        ASSERT_EQ(symlink(target.c_str(), out.c_str()), 0);
        set.force_overwrite = 0;
        {
            Captured cap;
            EXPECT_EQ(join_parts(set, (base + ".001").c_str(), out.c_str()), 1);
            cap.finish();
            EXPECT_EQ(cap.err, "Output file already exists: " + out + " (use -o to overwrite)\n");
        }
        set.force_overwrite = 1;
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + ".001").c_str(), out.c_str()), 0);
        cap.finish();
        struct stat st;
        ASSERT_EQ(lstat(out.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(read_file(out), data);
        EXPECT_EQ(read_text(victim), "precious");
        EXPECT_FALSE(file_exists(nowhere));
    }
}

// With -o the joined file replaces a regular file or a link, never a device,
// a FIFO or a directory, nor a link to one: as root, "-o /dev/null" would
// otherwise put a plain file in the place of the system's device. The
// device here is one of our own, a null device made beside the parts.
TEST_F(JoinTest, SpecialOutputsAreNeverReplaced)
{
    make_parts(2500);
    std::string node = dir / "null";
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node: " << strerror(errno);
    ASSERT_EQ(symlink("null", (dir / "to-null").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    set.force_overwrite = 1;
    for (const char *name : {"null", "to-null", "fifo", "d"}) {
        SCOPED_TRACE(name);
        std::string out = dir / name;
        struct stat before;
        ASSERT_EQ(lstat(out.c_str(), &before), 0);
        Captured cap;
        EXPECT_EQ(join_parts(set, (base + ".001").c_str(), out.c_str()), 1);
        cap.finish();
        EXPECT_EQ(cap.err, "Cannot open/create: " + out + " (not a regular file)\n");
        EXPECT_EQ(cap.out, "");
        struct stat after;
        ASSERT_EQ(lstat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    struct stat st;
    ASSERT_EQ(stat(node.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
    // Nothing else appeared: no temporary beside an output.
    glob_t g;
    ASSERT_EQ(glob((dir / "*").c_str(), 0, nullptr, &g), 0);
    EXPECT_EQ(g.gl_pathc, 8u);  // three parts, sidecar, null, to-null, fifo, d
    globfree(&g);
}

// -------------------------------------------------------------- auto-join

std::vector<std::string> joined_temps()
{
    std::string pat = "/tmp/tambrix_joined_" + std::to_string(getpid()) + "_*";
    glob_t g;
    std::vector<std::string> v;
    if (glob(pat.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++)
            v.push_back(g.gl_pathv[i]);
    globfree(&g);
    return v;
}

TEST(SplitPartName, RecognisesPointAndThreeDigits)
{
    const struct {
        const char *name;
        int part;
    } cases[] = {
        {"a.001", 1}, {"arc.tmb.999", 1}, {"x.000", 1}, {"dir.002/a.1234", 0}, {".001", 0},
        {"a.01", 0},  {"a.00x", 0},   {"a_001", 0}, {"a.tmb", 0},          {"", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(looks_like_split_part(c.name), c.part) << c.name;
    }
}

TEST_F(JoinTest, AutoJoinMakesAPrivateTemporaryAndReleasesIt)
{
    Bytes data = make_parts(2500);
    std::string archive = base + ".002";
    StandIn in;
    std::string tmp;
    {
        Captured cap;
        const char *p = maybe_join_for_read(&in, set, archive.c_str());
        cap.finish();
        ASSERT_NE(p, nullptr) << cap.err;
        tmp = p;
        EXPECT_EQ(std::string(tmb_archive_read(in, archive.c_str())), tmp);
        EXPECT_EQ(std::string(tmb_archive_shown(in, archive.c_str())), archive);
        EXPECT_EQ(cap.out.rfind("Detected split parts -- joining before extraction.\nJoining: " +
                                    base + " -> " + tmp + "\n",
                                0),
                  0u)
            << cap.out;
        JoinedReadGuard guard(&in, p);
        EXPECT_EQ(tmp.rfind("/tmp/tambrix_joined_", 0), 0u);
        EXPECT_EQ(tmp.substr(tmp.size() - 4), ".tmp");
        EXPECT_EQ(read_file(tmp), data);
        struct stat st;
        ASSERT_EQ(stat(tmp.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        release_joined_for_read(&in, p);  // by hand, then again by the guard
        EXPECT_FALSE(file_exists(tmp));
    }
    EXPECT_TRUE(joined_temps().empty());

    // Two joins in one process get different names.
    archive = base + ".001";
    set.quiet = 1;
    Captured cap;
    const char *p1 = maybe_join_for_read(&in, set, archive.c_str());
    std::string first = p1 ? p1 : "";
    release_joined_for_read(&in, p1);
    const char *p2 = maybe_join_for_read(&in, set, archive.c_str());
    std::string second = p2 ? p2 : "";
    release_joined_for_read(&in, p2);
    cap.finish();
    EXPECT_EQ(cap.out, "");
    EXPECT_FALSE(first.empty());
    EXPECT_NE(first, second);
    EXPECT_TRUE(joined_temps().empty());
}

TEST_F(JoinTest, FailedAutoJoinLeavesNothingAndKeepsTheArchiveName)
{
    make_parts(2500);
    struct Case {
        const char *what;
        const char *damage;  // file to overwrite with junk, or to remove
        bool remove;
        std::string err_start;
    };
    const Case cases[] = {
        {"corrupted part", ".002", false, "VERIFICATION FAILED: "},
        {"missing part 1", ".001", true, "No parts found matching: " + base + ".001\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string victim = base + c.damage;
        if (c.remove)
            remove(victim.c_str());
        else
            write_text(victim, std::string(1024, 'x'));
        std::string named = base + ".002";
        StandIn in;
        Captured cap;
        EXPECT_EQ(maybe_join_for_read(&in, set, named.c_str()), nullptr);
        cap.finish();
        EXPECT_EQ(cap.err.rfind(c.err_start, 0), 0u) << cap.err;
        EXPECT_EQ(std::string(tmb_archive_read(in, named.c_str())), named);
        EXPECT_TRUE(joined_temps().empty());
    }
    // Not a part name: nothing happens at all.
    StandIn in;
    Captured cap;
    EXPECT_EQ(maybe_join_for_read(&in, set, base.c_str()), nullptr);
    cap.finish();
    EXPECT_EQ(cap.out + cap.err, "");
}

} // namespace
