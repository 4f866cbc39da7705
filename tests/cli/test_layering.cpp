// The layering rule of the sources. src/ holds one folder per layer, from
// the lowest up: lzh (the codec), archive (the format), fs (the file-system
// helpers), sfx (the self-extracting archive builder), lib (the library
// API) and cli (the program). A source includes the headers of its own
// layer and of the layers below it, never one above; the headers below the
// program export no mutable variables; and nothing below the program
// prints or ends the process: those layers report through results and
// sinks. This test reads the sources, so a stray #include fails at once;
// scripts/check-layers.sh checks the same order between the built
// libraries (the test Layering.LibrariesLinkOnlyDownward).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The layers from the lowest up. lib is optional here: the folder may not
// be there yet.
const char *const kLayers[] = {"lzh", "archive", "fs", "sfx", "lib", "cli"};
constexpr int kProgram = 5;

struct Source {
    fs::path path;
    int layer;
};

std::vector<Source> sources()
{
    std::vector<Source> out;
    for (int k = 0; k < (int)std::size(kLayers); k++) {
        fs::path dir = fs::path(TMB_SOURCE_DIR) / "src" / kLayers[k];
        if (!fs::is_directory(dir))
            continue;
        for (const auto &e : fs::directory_iterator(dir)) {
            std::string ext = e.path().extension().string();
            if (ext == ".cpp" || ext == ".h")
                out.push_back({e.path(), k});
        }
    }
    return out;
}

std::vector<std::string> lines_of(const fs::path &p)
{
    std::ifstream in(p);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

bool is_comment(const std::string &line)
{
    size_t i = line.find_first_not_of(" \t");
    return i != std::string::npos && line.compare(i, 2, "//") == 0;
}

TEST(Layering, EveryLayerHasItsFolder)
{
    for (const char *layer : {"lzh", "archive", "fs", "sfx", "cli"})
        EXPECT_TRUE(fs::is_directory(fs::path(TMB_SOURCE_DIR) / "src" / layer)) << layer;
    // Nothing is left outside the folders.
    for (const auto &e : fs::directory_iterator(fs::path(TMB_SOURCE_DIR) / "src"))
        EXPECT_TRUE(e.is_directory()) << e.path().filename() << " lies outside the layer folders";
}

TEST(Layering, IncludesGoOnlyDownward)
{
    std::vector<Source> files = sources();
    std::map<std::string, int> layer_of; // header name to its layer
    for (const Source &s : files) {
        if (s.path.extension() != ".h")
            continue;
        std::string name = s.path.filename().string();
        EXPECT_FALSE(layer_of.count(name)) << name << " is in two layers";
        layer_of[name] = s.layer;
    }
    // The scan must see the modules it guards.
    for (const char *must : {"tmb_decode.h", "tmb_header.h", "tmb_io.h", "tmb_sfx.h", "options.h"})
        ASSERT_TRUE(layer_of.count(must)) << must;

    const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
    for (const Source &s : files)
        for (const std::string &l : lines_of(s.path)) {
            std::smatch m;
            if (!std::regex_search(l, m, include))
                continue;
            std::string name = m[1].str();
            auto it = layer_of.find(name);
            if (it == layer_of.end()) {
                ADD_FAILURE() << s.path.filename().string() << " includes \"" << name
                              << "\", which no layer holds";
                continue;
            }
            EXPECT_LE(it->second, s.layer) << kLayers[s.layer] << "/" << s.path.filename().string()
                                           << " includes \"" << name << "\" of the layer above, "
                                           << kLayers[it->second];
        }
}

TEST(Layering, HeadersBelowTheProgramExportNoMutableVariables)
{
    const std::regex mutable_extern(R"(^\s*extern\s+(?!const\b|"C"))");
    int headers = 0;
    for (const Source &s : sources()) {
        if (s.layer >= kProgram || s.path.extension() != ".h")
            continue;
        headers++;
        for (const std::string &l : lines_of(s.path))
            EXPECT_FALSE(std::regex_search(l, mutable_extern)) << s.path.filename().string() << ": " << l;
    }
    EXPECT_GE(headers, 20);
}

// Nothing below the program says anything itself or ends the process:
// what the codec and the format have to tell goes back through results and
// sinks, and the file-system helpers, the self-extractor builder and the
// library reach the user only through the MessageSink the program (or the
// library's caller) gives them. The codec and the format use no stdio
// output at all; the layers above them write files through stdio, so for
// them only the standard streams and the printing calls that imply them
// are refused.
TEST(Layering, CodecAndFormatNeitherPrintNorExit)
{
    const std::regex silent(
        R"(\b(printf|vprintf|fprintf|vfprintf|puts|fputs|fputc|putchar|perror|exit|_exit|abort)\s*\(|\b(stdout|stderr)\b)");
    const std::regex no_user_stream(
        R"(\b(printf|vprintf|puts|putchar|perror|exit|_exit|abort)\s*\(|\b(stdout|stderr)\b|\bstd::(cout|cerr|clog)\b)");
    struct Rule {
        const char *layer;
        const std::regex &talk;
        int min_files;  // the scan must see the modules it guards
    };
    const Rule rules[] = {
        {"lzh", silent, 20},
        {"archive", silent, 10},
        {"fs", no_user_stream, 20},
        {"sfx", no_user_stream, 2},
        {"lib", no_user_stream, 0},  // optional folder
    };
    for (const Rule &r : rules) {
        int files = 0;
        for (const Source &s : sources()) {
            if (std::string(kLayers[s.layer]) != r.layer)
                continue;
            files++;
            for (const std::string &l : lines_of(s.path)) {
                if (!is_comment(l)) {
                    EXPECT_FALSE(std::regex_search(l, r.talk))
                        << r.layer << "/" << s.path.filename().string() << ": " << l;
                }
            }
        }
        EXPECT_GE(files, r.min_files) << r.layer;
    }
}

} // namespace
