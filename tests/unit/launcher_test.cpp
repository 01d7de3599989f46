#include "jobs/engine/launcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/fake_platform/fake_platform.h"

namespace {

constexpr char16_t kDefaultList[] =
    u"C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem;";
constexpr char kTools[] = "C:\\tools\\";
constexpr size_t kToolsUnits = sizeof kTools - 1;

// A block from its entries, each followed by its zero, and the last zero.
std::u16string Block(const std::vector<std::u16string>& entries) {
    std::u16string block;
    for (const std::u16string& entry : entries) block += entry + u'\0';
    return block + u'\0';
}

std::vector<std::u16string> Entries(const uint16_t* block) {
    std::vector<std::u16string> entries;
    while (*block != 0) {
        std::u16string entry;
        while (*block != 0) entry += static_cast<char16_t>(*block++);
        entries.push_back(entry);
        ++block;
    }
    return entries;
}

// The composed block's entries; empty when none fits.
std::vector<std::u16string> Compose(const std::u16string& start, const char* folder = kTools) {
    static uint16_t block[kEnvironmentBlockUnits];
    std::memset(block, 0x55, sizeof block);
    if (!ComposeChildBlock(reinterpret_cast<const uint16_t*>(start.c_str()), folder, block)) {
        return {};
    }
    return Entries(block);
}

std::string Printable(const std::vector<std::u16string>& entries) {
    std::string text;
    for (const std::u16string& entry : entries) {
        for (char16_t unit : entry) {
            text += unit < 0x80 ? std::string(1, static_cast<char>(unit))
                                : "\\u" + std::to_string(static_cast<unsigned>(unit));
        }
        text += " | ";
    }
    return text;
}

struct BlockCase {
    const char* name;
    std::vector<std::u16string> start;
    std::vector<std::u16string> expected;
};

TEST(ComposeChildBlockTest, PutsTheJobFolderAfterThePathAtStart) {
    const std::u16string defaultPath = std::u16string(u"PATH=") + kDefaultList + u"C:\\tools\\";
    const BlockCase cases[] = {
        {"in place, the rest kept in order",
         {u"=C:=C:\\", u"A=1", u"PATH=C:\\Windows", u"PATHEXT=.COM;.EXE", u"Z=2"},
         {u"=C:=C:\\", u"A=1", u"PATH=C:\\Windows;C:\\tools\\", u"PATHEXT=.COM;.EXE", u"Z=2"}},
        {"any case of the name", {u"Path=C:\\bin", u"Z=2"}, {u"PATH=C:\\bin;C:\\tools\\", u"Z=2"}},
        // Windows keeps a block's names in order: one put in goes where
        // they say, a longer name that begins like it after it.
        {"none at start: in its place among the names",
         {u"=C:=C:\\", u"A=1", u"PATHEXT=.COM", u"Z=2"},
         {u"=C:=C:\\", u"A=1", defaultPath, u"PATHEXT=.COM", u"Z=2"}},
        {"none at start, every name before it", {u"A=1", u"OS=x"}, {u"A=1", u"OS=x", defaultPath}},
        {"none at start, lower case names after it",
         {u"pa=1", u"windir=C:\\W"},
         {u"pa=1", defaultPath, u"windir=C:\\W"}},
        {"empty at start: the default list", {u"PATH=", u"Z=2"}, {defaultPath, u"Z=2"}},
        {"a second one dropped",
         {u"PATH=C:\\bin", u"Path=C:\\other"},
         {u"PATH=C:\\bin;C:\\tools\\"}},
        // A name without a value, as a parent may hand over: no value.
        {"a bare name", {u"PATH", u"TEMP=C:\\T"}, {defaultPath, u"TEMP=C:\\T"}},
        {"an empty block: the path alone", {}, {defaultPath}},
        // Values outside every 8-bit code page go through whole.
        {"values in any script kept whole",
         {u"PATH=C:\\Пути", u"TEMP=C:\\Users\\Жанна\\AppData\\Local\\Temp", u"USERNAME=王"},
         {u"PATH=C:\\Пути;C:\\tools\\", u"TEMP=C:\\Users\\Жанна\\AppData\\Local\\Temp",
          u"USERNAME=王"}},
    };
    for (const BlockCase& c : cases) {
        EXPECT_EQ(Printable(Compose(Block(c.start))), Printable(c.expected)) << c.name;
    }
}

// The folder is read in the ANSI code page: in the fake's, Latin-1 with one
// double-byte character.
TEST(ComposeChildBlockTest, TakesTheFolderFromTheAnsiCodePage) {
    std::string folder = std::string("C:\\t\xE9") + fake::kDoubleByteForm + "\\";
    std::u16string expected = u"PATH=C:\\bin;C:\\t\u00E9";
    expected += static_cast<char16_t>(fake::kDoubleByteCharacter);
    expected += u"\\";
    EXPECT_EQ(Printable(Compose(Block({u"PATH=C:\\bin"}), folder.c_str())), Printable({expected}));
}

TEST(ComposeChildBlockTest, KeepsALongPathWholeWhileTheBlockHoldsIt) {
    // The largest value a block of nothing else holds: "PATH=", the value
    // and two zeros in 32,767 units.
    std::u16string fits(kEnvironmentBlockUnits - 5 - 2 - 1 - kToolsUnits, u'p');
    EXPECT_EQ(Compose(Block({u"PATH=" + fits})),
              std::vector<std::u16string>{u"PATH=" + fits + u";C:\\tools\\"});

    std::u16string tooLong = fits + u"p";
    EXPECT_EQ(
        Compose(Block({u"PATH=" + tooLong})),
        std::vector<std::u16string>{std::u16string(u"PATH=") + kDefaultList + u"C:\\tools\\"});
}

TEST(ComposeChildBlockTest, FillsTheBlockToItsLastUnitAndNoFurther) {
    // "PATH=C:\bin;C:\tools\" and its zero take 22 units, the last zero 1,
    // so another variable of 32,744 units with its zero fills the block.
    const std::u16string path = u"PATH=C:\\bin;C:\\tools\\";
    const std::u16string exact =
        u"BIG=" + std::u16string(kEnvironmentBlockUnits - 22 - 1 - 5, u'b');
    EXPECT_EQ(Compose(Block({u"PATH=C:\\bin", exact})), (std::vector<std::u16string>{path, exact}));
    // One unit more: no room for the folder, with the start PATH or the
    // default list.
    EXPECT_EQ(Compose(Block({u"PATH=C:\\bin", exact + u"b"})), std::vector<std::u16string>{});
}

}  // namespace
