// The fuzz seed corpus (fuzz/corpus/, which also keeps every input that
// once found a fault) run through the built program, so the regressions are
// checked by every build of the tests, with or without clang: archives are
// listed and tested, packed streams are wrapped into an entry and tested,
// round-trip inputs are packed and unpacked again.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lzh_builder.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;

namespace {

std::vector<std::string> corpus(const std::string &target)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(
             std::string(TMB_SOURCE_DIR) + "/fuzz/corpus/" + target, ec))
        if (e.is_regular_file())
            files.push_back(e.path().string());
    return files;
}

class FuzzCorpus : public ::testing::Test {
protected:
    RunResult run(const std::vector<std::string> &args)
    {
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.cpu_limit_seconds = 30;
        RunResult r = testkit::run_tambrix(args, o);
        EXPECT_LT(r.status, 2) << args[0] << " " << args[1] << ": killed or crashed\n" << r.err;
        return r;
    }
    TempDir dir;
};

TEST_F(FuzzCorpus, ArchivesListAndTest)
{
    std::vector<std::string> files = corpus("header");
    for (const std::string &f : corpus("list"))
        files.push_back(f);
    ASSERT_FALSE(files.empty());
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        testkit::write_file(dir / "in.lzh", testkit::read_file(f));
        for (const char *cmd : {"lq", "vq", "tq"})
            run({cmd, "in.lzh"});
    }
}

// Extract inputs: selector byte (method in bits 0-2), 3 bytes of original
// size, then the packed data; see fuzz/fuzz_extract.cpp.
TEST_F(FuzzCorpus, PackedStreamsTest)
{
    static const char *const methods[8] = {"-lh0-", "-lh1-", "-lh4-", "-lh5-",
                                           "-lh6-", "-lh7-", "-lz4-", "-lzs-"};
    std::vector<std::string> files = corpus("extract");
    ASSERT_FALSE(files.empty());
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        Bytes in = testkit::read_file(f);
        if (in.size() < 4)
            continue;
        testkit::LzhEntry e;
        e.name = "entry";
        e.method = methods[in[0] & 7];
        e.orig_size = (in[1] | in[2] << 8 | in[3] << 16) & (in[0] & 0x40 ? 0xFFFFF : 0xFFFF);
        e.packed.assign(in.begin() + 4, in.end());
        testkit::write_file(dir / "in.lzh", testkit::make_archive({testkit::build_lv2(e)}));
        run({"tq", "in.lzh"});
        run({"xqo", "in.lzh", "out/"});
    }
}

TEST_F(FuzzCorpus, RoundTripInputsComeBack)
{
    std::vector<std::string> files = corpus("roundtrip");
    ASSERT_FALSE(files.empty());
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        Bytes in = testkit::read_file(f);
        if (in.empty())
            continue;
        const std::string method = "-lh" + std::to_string(5 + in[0] % 3);
        testkit::write_file(dir / "data", Bytes(in.begin() + 1, in.end()));
        std::remove((dir / "rt.tmb").c_str());
        ASSERT_EQ(run({"aq", method, "rt.tmb", "data"}).status, 0);
        EXPECT_EQ(run({"tq", "rt.tmb"}).status, 0);
        RunResult p = run({"p", "rt.tmb", "data"});
        EXPECT_TRUE(Bytes(p.out.begin(), p.out.end()) == Bytes(in.begin() + 1, in.end()));
    }
}

// Found by fuzzing the listing: a packed size of 4 GB over an original size
// of 10 bytes made the ratio overflow. The quotient wraps as an int would.
TEST_F(FuzzCorpus, RatioOfAHugePackedSizeOverATinyOne)
{
    testkit::LzhEntry e = testkit::stored("odd", "0123456789");
    Bytes b = testkit::build_lv2(e);
    for (int i = 0; i < 4; i++)
        b[7 + i] = 0xFF; // packed size 0xFFFFFFFF
    testkit::reseal(b);
    testkit::write_file(dir / "odd.lzh", testkit::make_archive({b}));
    RunResult r = run({"lq", "odd.lzh"});
    EXPECT_EQ(r.status, 1); // listed, then its data is found missing
    EXPECT_NE(r.err.find("Damaged archive: odd.lzh (entry data runs past the end"), std::string::npos) << r.err;
    // 0xFFFFFFFF * 100 / 10 is 42949672950, which is -10 as an int.
    EXPECT_NE(r.out.find(" -lh0-      10 4294967295 110% "), std::string::npos) << r.out;
}

} // namespace
