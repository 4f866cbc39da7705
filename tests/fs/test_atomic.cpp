// The one way files are put in place: a commit places the whole file under
// its name, an abort leaves nothing, and whatever already bears the name (a
// link, a FIFO, a directory) is replaced or kept, never written through.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testkit.h"
#include "tmb_atomic.h"

namespace {

enum class Old { kNone, kFile, kLink, kFifo, kDir };
enum class Make { kAt, kBeside };

struct Case {
    const char *what;
    Old old;
    Make make;
    bool commit;       // place it, or give up
    bool placed;       // the new bytes bear the name afterwards
};

constexpr Case kCases[] = {
    {"new file placed (at)", Old::kNone, Make::kAt, true, true},
    {"new file placed (beside)", Old::kNone, Make::kBeside, true, true},
    {"old file replaced", Old::kFile, Make::kAt, true, true},
    {"old file kept on abort", Old::kFile, Make::kBeside, false, false},
    {"nothing made on abort", Old::kNone, Make::kAt, false, false},
    {"link replaced, its target untouched", Old::kLink, Make::kAt, true, true},
    {"link replaced (beside)", Old::kLink, Make::kBeside, true, true},
    {"fifo replaced, never opened", Old::kFifo, Make::kAt, true, true},
    {"directory kept: the rename fails", Old::kDir, Make::kAt, true, false},
    {"directory kept (beside)", Old::kDir, Make::kBeside, true, false},
};

std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            out.push_back(e->d_name);
    if (d)
        closedir(d);
    return out;
}

TEST(Atomic, PlacesWholeOrNothingAndNeverWritesThrough)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        testkit::TempDir tmp;
        std::string root = tmp.path();
        std::string dir = root + "/d";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        std::string name = dir + "/out";
        std::string outside = root + "/outside";
        testkit::write_text(outside, "outside");
        switch (c.old) {
        case Old::kNone: break;
        case Old::kFile: testkit::write_text(name, "old"); break;
        case Old::kLink: ASSERT_EQ(symlink(outside.c_str(), name.c_str()), 0); break;
        case Old::kFifo: ASSERT_EQ(mkfifo(name.c_str(), 0644), 0); break;
        case Old::kDir:
            ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
            testkit::write_text(name + "/inner", "inner");
            break;
        }

        int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dirfd, 0);
        AtomicFile a;
        int fd = -1;
        if (c.make == Make::kAt) {
            fd = tmb_atomic_create_at(&a, dirfd, "out", 0644);
        } else {
            FILE *fp = tmb_atomic_create_beside(&a, name.c_str(), 0644);
            ASSERT_NE(fp, nullptr);
            fd = dup(fileno(fp));
            fclose(fp);
        }
        ASSERT_GE(fd, 0);
        ASSERT_FALSE(a.tmp.empty());
        ASSERT_EQ(write(fd, "new", 3), 3);
        EXPECT_EQ(tmb_atomic_sync(fd), 1);
        close(fd);
        int placed = c.commit ? tmb_atomic_place(&a) : (tmb_atomic_abort(&a), 0);
        EXPECT_EQ(placed, c.placed ? 1 : 0);
        EXPECT_TRUE(a.tmp.empty());

        // No temporary is ever left beside the target.
        std::vector<std::string> want = c.old == Old::kNone && !c.placed ? std::vector<std::string>{}
                                                                         : std::vector<std::string>{"out"};
        EXPECT_EQ(names_in(dir), want);
        struct stat st;
        if (c.placed) {
            ASSERT_EQ(lstat(name.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(testkit::read_text(name), "new");
        } else if (c.old == Old::kFile) {
            EXPECT_EQ(testkit::read_text(name), "old");
        } else if (c.old == Old::kDir) {
            ASSERT_EQ(lstat(name.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(testkit::read_text(name + "/inner"), "inner");
        }
        EXPECT_EQ(testkit::read_text(outside), "outside");
        close(dirfd);
    }
}

} // namespace
