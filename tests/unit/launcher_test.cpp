#include "jobs/launcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kDefaultList[] = "C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem;";
constexpr char kTools[] = "C:\\tools\\";

// A block from its entries, each followed by its zero, and the last zero.
std::string Block(const std::vector<std::string>& entries) {
    std::string block;
    for (const std::string& entry : entries) block += entry + '\0';
    return block + '\0';
}

std::vector<std::string> Entries(const char* block) {
    std::vector<std::string> entries;
    for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
        entries.push_back(entry);
    }
    return entries;
}

// The composed block's entries; empty when none fits.
std::vector<std::string> Compose(const std::string& start, const std::string& startPath) {
    static char block[kEnvironmentBlockSize];
    std::memset(block, 'x', sizeof block);
    if (!ComposeChildBlock(start.c_str(), startPath.c_str(), kTools, block)) return {};
    return Entries(block);
}

struct BlockCase {
    const char* name;
    std::vector<std::string> start;
    std::string startPath;
    std::vector<std::string> expected;
};

TEST(ComposeChildBlockTest, PutsTheJobFolderAfterThePathAtStart) {
    const std::string defaultPath = std::string("PATH=") + kDefaultList + kTools;
    const BlockCase cases[] = {
        {"in place, the rest kept in order",
         {"=C:=C:\\", "A=1", "PATH=C:\\Windows", "PATHEXT=.COM;.EXE", "Z=2"},
         "C:\\Windows",
         {"=C:=C:\\", "A=1", "PATH=C:\\Windows;C:\\tools\\", "PATHEXT=.COM;.EXE", "Z=2"}},
        {"any case of the name", {"Path=C:\\bin", "Z=2"}, "C:\\bin",
         {"PATH=C:\\bin;C:\\tools\\", "Z=2"}},
        {"none at start: a last one", {"A=1"}, "", {"A=1", defaultPath}},
        {"empty at start: the default list", {"PATH=", "Z=2"}, "", {defaultPath, "Z=2"}},
        {"a second one dropped", {"PATH=C:\\bin", "Path=C:\\other"}, "C:\\bin",
         {"PATH=C:\\bin;C:\\tools\\"}},
        {"an empty block: the path alone", {}, "", {defaultPath}},
    };
    for (const BlockCase& c : cases) {
        EXPECT_EQ(Compose(Block(c.start), c.startPath), c.expected) << c.name;
    }
}

TEST(ComposeChildBlockTest, KeepsALongPathWholeWhileTheBlockHoldsIt) {
    // The largest value a block of nothing else holds: "PATH=", the value
    // and two zeros in 32,768 bytes.
    std::string fits(kEnvironmentBlockSize - 5 - 2 - 1 - std::strlen(kTools), 'p');
    EXPECT_EQ(Compose(Block({"PATH=" + fits}), fits),
              std::vector<std::string>{"PATH=" + fits + ";" + kTools});

    std::string tooLong = fits + "p";
    EXPECT_EQ(Compose(Block({"PATH=" + tooLong}), tooLong),
              std::vector<std::string>{std::string("PATH=") + kDefaultList + kTools});
}

TEST(ComposeChildBlockTest, FillsTheBlockToItsLastByteAndNoFurther) {
    // "PATH=C:\bin;C:\tools\" and its zero take 22 bytes, the last zero 1,
    // so another variable of 32,745 bytes with its zero fills the block.
    const std::string path = "PATH=C:\\bin;C:\\tools\\";
    const std::string exact = "BIG=" + std::string(kEnvironmentBlockSize - 22 - 1 - 5, 'b');
    EXPECT_EQ(Compose(Block({"PATH=C:\\bin", exact}), "C:\\bin"),
              (std::vector<std::string>{path, exact}));
    // One byte more: no room for the folder, with the start PATH or the
    // default list.
    EXPECT_EQ(Compose(Block({"PATH=C:\\bin", exact + "b"}), "C:\\bin"),
              std::vector<std::string>{});
}

}  // namespace
