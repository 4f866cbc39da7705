// The layering rule of the sources: the format and codec files (entry
// headers, CRC, decoder, extraction driver, encoders) include nothing but
// the standard library and each other, and their headers export no
// mutable variables. Commands, progress, the debug log and options sit
// above them and reach them only through parameters and sinks. This test
// reads the sources, so a stray #include fails the build's tests at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Base-name prefixes of the format and codec modules.
const char *const kCodec[] = {"tmb_header", "tmb_crc",  "tmb_codec", "tmb_decode", "tmb_method",
                              "tmb_compress", "tmb_enc_", "tmb_opt_", "huf",       "bitio",
                              "crcio",      "maketree", "slide_opt", "tmb_log",   "tmb_encoder"};

bool is_codec(const std::string &file)
{
    for (const char *p : kCodec)
        if (file.rfind(p, 0) == 0)
            return true;
    return false;
}

std::vector<fs::path> codec_files()
{
    std::vector<fs::path> out;
    for (const auto &e : fs::directory_iterator(fs::path(TMB_SOURCE_DIR) / "src")) {
        std::string name = e.path().filename().string();
        std::string ext = e.path().extension().string();
        if ((ext == ".cpp" || ext == ".h") && is_codec(name))
            out.push_back(e.path());
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

TEST(Layering, CodecFilesIncludeOnlyCodecHeaders)
{
    std::vector<fs::path> files = codec_files();
    std::set<std::string> names;
    for (const fs::path &p : files)
        names.insert(p.filename().string());
    // The scan must see the modules it guards.
    for (const char *must : {"tmb_header.cpp", "tmb_crc.cpp", "tmb_decode.cpp", "tmb_method.cpp"})
        ASSERT_TRUE(names.count(must)) << must;

    const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
    for (const fs::path &p : files)
        for (const std::string &l : lines_of(p)) {
            std::smatch m;
            if (std::regex_search(l, m, include)) {
                EXPECT_TRUE(is_codec(m[1].str()))
                    << p.filename().string() << " includes \"" << m[1].str() << "\", above its layer";
            }
        }
}

TEST(Layering, CodecHeadersExportNoMutableVariables)
{
    const std::regex mutable_extern(R"(^\s*extern\s+(?!const\b|"C"))");
    int headers = 0;
    for (const fs::path &p : codec_files()) {
        if (p.extension() != ".h")
            continue;
        headers++;
        for (const std::string &l : lines_of(p))
            EXPECT_FALSE(std::regex_search(l, mutable_extern)) << p.filename().string() << ": " << l;
    }
    EXPECT_GE(headers, 4);
}

} // namespace
