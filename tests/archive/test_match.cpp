// Name patterns ('?', '*', '#?') and entry selection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmb_match.h"

namespace {

TEST(MatchSimple, Patterns)
{
    struct Case {
        const char *pattern, *name;
        int expect;
    } cases[] = {
        {"*.txt", "a.txt", 1},      {"#?.txt", "a.txt", 1},    {"*.txt", ".txt", 1},
        {"#?.txt", ".txt", 1},      {"*.txt", "a.txt.bak", 0}, {"*.txt", "A.TXT", 0},
        {"A.TXT", "a.txt", 0},      {"a#b", "a#b", 1},         {"a#b", "ab", 0},
        {"a#b", "axb", 0},          {"a#", "a#", 1},           {"x#?y", "xaby", 1},
        {"x#?y", "xy", 1},          {"?", "", 0},              {"", "", 1},
        {"", "a", 0},               {"??", "a", 0},            {"*?", "a", 1},
        {"*.txt", "docs/a.txt", 1}, {"d?cs/*", "docs/x/y", 1}, {"*/*", "noslash", 0},
        // With the name used up, only '*'s followed by '#?' pairs may remain.
        {"a*", "a", 1},             {"a#?", "a", 1},           {"a*#?", "a", 1},
        {"a**#?#?", "a", 1},        {"a#?*", "a", 0},          {"a#?*", "ab", 1},
        {"*a*b*c", "xaybzc", 1},    {"*a*b*c", "xaybz", 0},    {"a?c", "abc", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(match_simple(c.pattern, c.name), c.expect) << c.pattern << " vs " << c.name;
}

struct FileWanted : ::testing::Test {
    std::vector<std::string> storage;
    std::vector<char *> ptrs;
    void use(std::vector<std::string> patterns)
    {
        storage = std::move(patterns);
        ptrs.clear();
        for (std::string &s : storage)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
        sel = file_selection(ptrs.data(), (int)storage.size());
    }
    Selection sel;
};

TEST_F(FileWanted, FullNameOrBaseName)
{
    struct Case {
        std::vector<std::string> patterns;
        const char *name;
        int expect;
    } cases[] = {
        {{}, "anything/at/all", 1},
        {{""}, "docs/a.txt", 1},
        {{"x/y"}, "z/x/y", 0},
        {{"y"}, "z/x/y", 1},
        {{"*.txt"}, "docs/a.txt", 1},
        {{"a.txt"}, "docs/a.txt", 1},
        {{"a.txt"}, "docs\\a.txt", 1},
        {{"docs/*"}, "docs/sub/a.txt", 1},
        {{"b.txt", "c.txt"}, "docs/a.txt", 0},
        {{"b.txt", "#?a.txt"}, "docs/a.txt", 1},
        {{"docs"}, "docs/", 0},
        {{"docs/"}, "docs/", 1},
    };
    for (const Case &c : cases) {
        use(c.patterns);
        EXPECT_EQ(file_wanted(sel, c.name), c.expect)
            << (c.patterns.empty() ? "(none)" : c.patterns[0]) << " vs " << c.name;
    }
}

TEST_F(FileWanted, GoesByCountNotByTerminator)
{
    use({"a.txt", "b.txt"});
    sel = file_selection(ptrs.data(), 1);
    EXPECT_EQ(file_wanted(sel, "b.txt"), 0);
    EXPECT_EQ(file_wanted(sel, "a.txt"), 1);
}

TEST(StrCaseCmp, FoldsAsciiLettersOnly)
{
    EXPECT_EQ(tmb_strcasecmp(".TMB", ".tmb"), 0);
    EXPECT_EQ(tmb_strcasecmp(".lzh", ".LzH"), 0);
    EXPECT_NE(tmb_strcasecmp(".tmb", ".tm"), 0);
    EXPECT_NE(tmb_strcasecmp("\xe4", "\xc4"), 0); // no folding beyond a to z
    EXPECT_NE(tmb_strcasecmp("[", "{"), 0);
}

} // namespace
