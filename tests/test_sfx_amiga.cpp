// Self-extracting files made by `a -sfx`, run as AmigaOS programs on an
// emulated Amiga 500 (68000, the emulator's built-in free Kickstart
// replacement), all in one boot: stored and -lh5-/-lh6-/-lh7- entries, a
// directory tree, existing files with the prompt answered from redirected
// input, a damaged entry, and a hand-made file whose names would leave the
// current directory. Output, return codes and the extracted bytes are
// checked.
//
// The boot drive is a host folder. Its S/Startup-Sequence runs each program
// in RAM: (single-byte writes to the host folder are slow), appends "rc=$RC"
// to the program's output file, copies the results back with a small cat
// program of our own (the ROM's Shell has no Copy) and finally writes
// done.txt. Needs fs-uae and the 68000 cross-compiler (for cat).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testkit.h"
#include "tmb_header.h"
#include "tmb_sfx.h"
#include "tmb_sfx_image.h"

namespace {

using testkit::Bytes;

std::string src(const std::string &rel)
{
    return std::string(TMB_SOURCE_DIR) + "/" + rel;
}

bool have_tool(const std::string &name)
{
    return testkit::run_program({"/bin/sh", "-c", "command -v " + name}).status == 0;
}

// Text with enough repetition to compress, different per seed.
std::string prose(int seed, size_t size)
{
    static const char *words[] = {"amiga", "hunk", "window", "copper", "blitter", "kickstart", "workbench",
                                  "shell", "archive", "floppy", "paula", "denise", "agnus", "chip", "fast"};
    std::string s;
    unsigned x = (unsigned)seed * 2654435761u + 1;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s += words[(x >> 16) % 15];
        s += (x >> 8) % 7 == 0 ? ".\n" : " ";
    }
    s.resize(size);
    return s;
}

// Runs `a` with the given arguments in `dir`; the built .run must exist.
void make_run(const testkit::TempDir &dir, const std::vector<std::string> &args)
{
    std::vector<std::string> full = {"a", "-sfx"};
    full.insert(full.end(), args.begin(), args.end());
    testkit::RunOptions o;
    o.cwd = dir.path();
    auto r = testkit::run_tambrix(full, o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// The method field of the first entry of a .run file built with the
// embedded image (archive at 10984).
std::string first_method(const Bytes &run)
{
    return std::string(run.begin() + 10984 + 2, run.begin() + 10984 + 7);
}

// A .run file made by hand around stored entries with the given names,
// which the builder itself would never write.
void make_handmade_run(const std::string &path, const std::vector<std::string> &names)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *arc = open_memstream(&buf, &len);
    for (const std::string &name : names) {
        std::string data = "written by " + name + "\n";
        EntryHeader h{};
        h.method = 0;
        h.comp_size = h.orig_size = data.size();
        h.mtime = 1700000000;
        h.crc = tmb_crc16(data.data(), data.size(), 0);
        snprintf(h.name, sizeof h.name, "%s", name.c_str());
        ASSERT_EQ(tmb_write_header_lv2(arc, &h), 1);
        fwrite(data.data(), 1, data.size(), arc);
    }
    fputc(0, arc);
    fputc(0, arc);
    fclose(arc);
    Bytes stub(tmb_stub, tmb_stub + tmb_stub_len);
    SfxPlan plan;
    ASSERT_EQ(sfx_patch_image(stub.data(), stub.size(), len, &plan), 1);
    FILE *out = fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(sfx_write_image(out, stub.data(), stub.size(), &plan, (const unsigned char *)buf, len), 1);
    fclose(out);
    free(buf);
}

// Builds cat for the Amiga with the cross-compiler and the converter.
std::string build_cat(const testkit::TempDir &dir)
{
    std::string flags = "-m68000 -Os -ffreestanding -nostdlib -fno-builtin -fomit-frame-pointer -fno-pic "
                        "-fno-jump-tables -fno-expensive-optimizations";
    auto cc = testkit::run_program({"/bin/sh", "-c",
                                    "m68k-linux-gnu-gcc " + flags + " -c '" + src("tests/amiga/cat.c") + "' -o '" +
                                        (dir / "cat.o") + "' && m68k-linux-gnu-ld -T '" +
                                        src("tests/amiga/cat.ld") + "' --emit-relocs -o '" + (dir / "cat.elf") +
                                        "' '" + (dir / "cat.o") + "'"});
    EXPECT_EQ(cc.status, 0) << cc.err;
    auto conv = testkit::run_program({ELF2HUNK_BIN, dir / "cat.elf", dir / "hd/cat"});
    EXPECT_EQ(conv.status, 0) << conv.err;
    return conv.err;
}

// The emulator's reports of a crashed program: an exception, an illegal
// instruction, a guru code. The ROM's own probe at 00F8xxxx is normal.
std::vector<std::string> crashes(const std::string &log)
{
    static const std::regex crash("(Illegal instruction: [^\n]*)|(Exception [0-9]+ [^\n]*)|(Error: 0x8[^\n]*)");
    std::vector<std::string> found;
    for (std::sregex_iterator it(log.begin(), log.end(), crash), end; it != end; ++it)
        if (it->str().find("00F8") == std::string::npos)
            found.push_back(it->str());
    return found;
}

// Boots the emulator on `hd` and waits for hd/done.txt. Returns the log.
std::string boot(const testkit::TempDir &dir, int timeout_s)
{
    std::string log = dir / "fs-uae.log";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // its own process group, ended as a whole below
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        // Settings, sound and caches stay in the scratch directory.
        setenv("HOME", (dir / "base").c_str(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        std::string base = "--base_dir=" + (dir / "base"), drive = "--hard_drive_0=" + (dir / "hd");
        execlp("fs-uae", "fs-uae", base.c_str(), "--amiga_model=A500", drive.c_str(), "--headless=1",
               "--warp_mode=1", "--stdout=1", (char *)nullptr);
        _exit(127);
    }
    setpgid(pid, pid);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (!testkit::file_exists(dir / "hd/done.txt") && std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        // A crashed program stops the boot script for good: stop waiting.
        if (testkit::file_exists(log) && !crashes(testkit::read_text(log)).empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the last write land
    if (pid > 0) {
        kill(-pid, SIGTERM);
        for (int i = 0; i < 50 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return testkit::file_exists(log) ? testkit::read_text(log) : "";
}

// The output after the banner (title, credit, three note lines, credit,
// empty line), with the banner's fixed lines checked.
std::string after_banner(const std::string &out)
{
    static const std::regex banner("TAMBRIX SFX -- 68000 compatible self-extracting archive\n"
                                   "[^\n]+\n"
                                   "Note: this extractor favors maximum 68000 compatibility\n"
                                   "      over raw speed -- extraction may take a while.\n"
                                   "Note: Ctrl\\+C works only when run from Shell/CLI.\n"
                                   "[^\n]+\n"
                                   "\n");
    std::smatch m;
    if (!std::regex_search(out, m, banner, std::regex_constants::match_continuous))
        return "(no banner) " + out;
    return m.suffix().str();
}

TEST(SfxAmiga, RunFilesExtractOnAnEmulated68000)
{
    ASSERT_TRUE(have_tool("fs-uae")) << "fs-uae not found: install fs-uae (scripts/install-deps.sh)";
    ASSERT_TRUE(have_tool("m68k-linux-gnu-gcc"))
        << "m68k-linux-gnu-gcc not found: install gcc-m68k-linux-gnu binutils-m68k-linux-gnu "
           "(scripts/install-deps.sh)";
    testkit::TempDir dir;
    ASSERT_EQ(mkdir((dir / "hd").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "hd/S").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "hd/back").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "base").c_str(), 0755), 0);
    build_cat(dir);

    // Inputs and their .run files, built on the host.
    const std::string stored = prose(1, 900), m5 = prose(5, 1500), m6 = prose(6, 1400), m7 = prose(7, 1300);
    testkit::write_text(dir / "stored.txt", stored);
    testkit::write_text(dir / "m5.txt", m5);
    testkit::write_text(dir / "m6.txt", m6);
    testkit::write_text(dir / "m7.txt", m7);
    make_run(dir, {"-lh0", "hd/stored", "stored.txt"});
    make_run(dir, {"-lh5", "hd/lh5", "m5.txt"});
    make_run(dir, {"-lh6", "hd/lh6", "m6.txt"});
    make_run(dir, {"-lh7", "hd/lh7", "m7.txt"});
    EXPECT_EQ(first_method(testkit::read_file(dir / "hd/stored.run")), "-lh0-");
    EXPECT_EQ(first_method(testkit::read_file(dir / "hd/lh5.run")), "-lh5-");
    EXPECT_EQ(first_method(testkit::read_file(dir / "hd/lh6.run")), "-lh6-");
    EXPECT_EQ(first_method(testkit::read_file(dir / "hd/lh7.run")), "-lh7-");

    // A tree: a file, a file in a subdirectory, an empty directory.
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "tree/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "tree/empty").c_str(), 0755), 0);
    const std::string deep = prose(9, 700);
    testkit::write_text(dir / "tree/sub/deep.txt", deep);
    testkit::write_text(dir / "tree/top.txt", "top of the tree\n");
    make_run(dir, {"-r", "hd/tree", "tree"});

    // Four files; p1 to p3 exist on the Amiga before the run.
    for (const char *n : {"1", "2", "3", "4"})
        testkit::write_text(dir / (std::string("p") + n + ".txt"), std::string("new ") + n + "\n");
    make_run(dir, {"-lh0", "hd/prompt", "p1.txt", "p2.txt", "p3.txt", "p4.txt"});
    testkit::write_text(dir / "hd/answers.txt", "n\ny\nN\n");

    // A stored entry whose data no longer matches its CRC.
    testkit::write_text(dir / "bad.txt", "these bytes will not survive\n");
    make_run(dir, {"-lh0", "hd/bad", "bad.txt"});
    Bytes bad = testkit::read_file(dir / "hd/bad.run");
    bad[10984 + 34 + 7 + 3] ^= 0x20;  // inside the data after the 41-byte header
    testkit::write_file(dir / "hd/bad.run", bad);

    // Names that leave the current directory: a device, the parent, one
    // level up. Each is refused and counted; the last entry is fine.
    make_handmade_run(dir / "hd/escape.run", {"DH0:escaped.txt", "/parent.txt", "x//up.txt", "fine.txt"});

    // Each program's output goes to RAM: as well (the host folder takes
    // every flushed message as a slow single write) and is copied back.
    std::string script = "cd RAM:\n";
    auto run = [&](const std::string &name, const std::string &input) {
        script += "DH0:" + name + ".run " + input + ">RAM:o_" + name + ".txt\n" + "echo \"rc=$RC\" >>RAM:o_" +
                  name + ".txt\n";
    };
    run("stored", "");
    run("lh5", "");
    run("lh6", "");
    run("lh7", "");
    run("tree", "");
    script += "IF EXISTS RAM:empty\necho \"empty directory made\" >>RAM:o_tree.txt\nENDIF\n";
    script += "echo \"old 1\" >RAM:p1.txt\necho \"old 2\" >RAM:p2.txt\necho \"old 3\" >RAM:p3.txt\n";
    run("prompt", "<DH0:answers.txt ");
    run("bad", "");
    run("escape", "");
    for (const char *name : {"o_stored.txt", "o_lh5.txt", "o_lh6.txt", "o_lh7.txt", "o_tree.txt", "o_prompt.txt",
                             "o_bad.txt", "o_escape.txt", "fine.txt", "stored.txt", "m5.txt", "m6.txt", "m7.txt", "top.txt", "sub/deep.txt",
                             "p1.txt", "p2.txt", "p3.txt", "p4.txt"}) {
        std::string flat = name;
        if (flat.find('/') != std::string::npos)
            flat = flat.substr(flat.find('/') + 1);
        script += std::string("DH0:cat <RAM:") + name + " >DH0:back/" + flat + "\n";
    }
    script += "echo done >DH0:done.txt\n";
    testkit::write_text(dir / "hd/S/Startup-Sequence", script);

    std::string log = boot(dir, 240);
    for (const std::string &c : crashes(log))
        ADD_FAILURE() << "emulator reports: " << c;
    ASSERT_TRUE(testkit::file_exists(dir / "hd/done.txt")) << "the Amiga did not finish; emulator log:\n"
                                                           << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);

    auto out = [&](const char *name) { return testkit::read_text(dir / (std::string("hd/back/o_") + name + ".txt")); };
    auto back = [&](const char *name) { return testkit::read_text(dir / (std::string("hd/back/") + name)); };
    const std::string done = "\nDone.\n";

    EXPECT_EQ(after_banner(out("stored")), "  extracted: stored.txt\n" + done + "rc=0\n");
    EXPECT_EQ(back("stored.txt"), stored);

    const struct {
        const char *run, *file;
        const std::string &text;
    } packed[] = {{"lh5", "m5.txt", m5}, {"lh6", "m6.txt", m6}, {"lh7", "m7.txt", m7}};
    for (const auto &p : packed) {
        std::string o = after_banner(out(p.run));
        std::regex want(std::string("  extracting: ") + p.file + "   \\[\\.{1,10}\\] OK\n\nDone.\nrc=0\n");
        EXPECT_TRUE(std::regex_match(o, want)) << p.run << ":\n" << o;
        EXPECT_EQ(back(p.file), p.text) << p.run;
    }

    // Directory entries print nothing; the order is the archive's.
    std::string tree = after_banner(out("tree"));
    EXPECT_NE(tree.find("  extracted: top.txt\n"), std::string::npos) << tree;
    EXPECT_NE(tree.find("  extracting: sub/deep.txt   ["), std::string::npos) << tree;
    EXPECT_NE(tree.find(done + "rc=0\nempty directory made\n"), std::string::npos) << tree;
    EXPECT_EQ(back("top.txt"), "top of the tree\n");
    EXPECT_EQ(back("deep.txt"), deep);

    // n keeps p1, y overwrites p2, N skips p3 and every later existing file,
    // while p4, which did not exist, is still written.
    const std::string ask = "? [y]es [n]o [A]ll [N]one: \n";
    EXPECT_EQ(after_banner(out("prompt")), "  overwrite p1.txt" + ask + "  overwrite p2.txt" + ask +
                                               "  extracted: p2.txt\n" + "  overwrite p3.txt" + ask +
                                               "  extracted: p4.txt\n" + done + "rc=0\n");
    EXPECT_EQ(back("p1.txt"), "old 1\n");
    EXPECT_EQ(back("p2.txt"), "new 2\n");
    EXPECT_EQ(back("p3.txt"), "old 3\n");
    EXPECT_EQ(back("p4.txt"), "new 4\n");

    EXPECT_EQ(after_banner(out("bad")), "  CRC ERROR: bad.txt\n" + done + "rc=5\n");

    const std::string skip = "SFX: Skipped, name leaves the current directory: ";
    EXPECT_EQ(after_banner(out("escape")), skip + "DH0:escaped.txt\n" + skip + "/parent.txt\n" + skip +
                                               "x//up.txt\n  extracted: fine.txt\n" + done + "rc=5\n");
    EXPECT_EQ(back("fine.txt"), "written by fine.txt\n");
    EXPECT_FALSE(testkit::file_exists(dir / "hd/escaped.txt"));

    // For the record: what the Amiga printed.
    for (const char *name : {"stored", "lh5", "tree", "prompt", "bad", "escape"})
        std::cout << "---- " << name << ".run\n" << out(name);
}

} // namespace
