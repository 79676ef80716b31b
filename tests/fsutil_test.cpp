#include "fsutil/Ini.h"
#include "fsutil/Paths.h"
#include "fsutil/Utf.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(WildcardTest, MatchesWholeNamesWithoutRegardToCase) {
    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } cases[] = {
        {"TEMP_*.*", "TEMP_abc.ADD", true},
        {"TEMP_*.*", "temp_x.dat", true},
        {"TEMP_*.*", "TEMP_x", false},
        {"*.ZIP", "abc.zip", true},
        {"*.ZIP", "abc.zip.old", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"*", "", true},
        {"*a*b*", "xxaxxbxx", true},
        {"*a*b*", "xxbxxaxx", false},
        {"", "", true},
        {"", "x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fsutil::wildcardMatch(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
}

TEST(ResolveTest, NamesMatchWithoutRegardToCaseWhereTheExactOneIsMissing) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.path() / "Company/abc");
    testsupport::writeFile(dir.path() / "Company/abc/ABC.ADD", "x");
    testsupport::writeFile(dir.path() / "Company/abc/abc.add", "exact");
    EXPECT_EQ(fsutil::resolve(dir / "COMPANY\\ABC\\abc.add"), dir.path() / "Company/abc/abc.add")
        << "the exact name wins";
    EXPECT_EQ(fsutil::resolve(dir / "company/ABC/Abc.Add").parent_path(), dir.path() / "Company/abc");
    EXPECT_EQ(fsutil::resolve(dir / "company/none/x.add"), dir.path() / "Company/none/x.add")
        << "what matches nothing is kept as written";
    EXPECT_TRUE(fsutil::fileExists(dir / "COMPANY/ABC/ABC.ADD"));
    EXPECT_FALSE(fsutil::fileExists(dir / "COMPANY/ABC"));
}

TEST(Utf8Test, DecodingTakesTheShortestFormsOnly) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"abc", u"abc"},
        {"\xC3\xA4", u"\u00E4"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xC0\x80", u"\uFFFD\uFFFD"},           // an overlong NUL
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"}, // an overlong "/"
        {"\xF0\x82\x82\xAC", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // a surrogate
        {"\xC3", u"\uFFFD"},                               // cut short
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
    };
    for (const auto& c : cases)
        EXPECT_EQ(fsutil::toUtf16(c.utf8), c.utf16) << testing::PrintToString(c.utf8);
    EXPECT_EQ(fsutil::toUtf8(u"a\u00E4\u20AC\U0001F600"), "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(fsutil::toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(IniTest, ReadAsTheOriginalPlatformReadsIt) {
    const struct {
        const char* text;
        const char* value;
    } cases[] = {
        {"[BACKUP]\nBACKUP_FOLDER=D:\\AUTO\n", "D:\\AUTO"},
        {"[backup]\nbackup_folder = D:\\AUTO \n", "D:\\AUTO"},
        {"[BACKUP]\nBACKUP_FOLDER=first\nBACKUP_FOLDER=second\n", "first"},
        {"[BACKUP]\nBACKUP_FOLDER=first\n  continued\n", "first"},
        {"[BACKUP]\nBACKUP_FOLDER=D:\\A;B ; not a comment\n", "D:\\A;B ; not a comment"},
        {"[BACKUP]\nBACKUP_FOLDER=\"D:\\With Blanks \"\n", "D:\\With Blanks "},
        {"[BACKUP]\nBACKUP_FOLDER=\"unmatched\n", "\"unmatched"},
        {"; a comment\n[OTHER]\nBACKUP_FOLDER=no\n[BACKUP]\r\nBACKUP_FOLDER=yes\r\n", "yes"},
        {"[BACKUP]\n;BACKUP_FOLDER=commented out\n", "<default>"},
        {"BACKUP_FOLDER=outside any section\n", "<default>"},
        {"", "<default>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fsutil::parseIniString(c.text, "BACKUP", "BACKUP_FOLDER", "<default>"), c.value) << c.text;
    EXPECT_EQ(fsutil::readIniString("/no/such/KORVA.ini", "BACKUP", "BACKUP_FOLDER", "<default>"),
              "<default>");
}

} // namespace
