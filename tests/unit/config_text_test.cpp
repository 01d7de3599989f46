#include "jobs/config/config_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/unit/config_bytes.h"

namespace {

// The fake platform's ANSI code page is Latin-1 with one double-byte
// character, U+4E00 (0x81 0x40); 'Ω' (U+03A9) has no form there.

struct Piece {
    std::string text;
    int32_t line;
    bool lost;
    bool operator==(const Piece& other) const {
        return text == other.text && line == other.line && lost == other.lost;
    }
};

std::ostream& operator<<(std::ostream& out, const Piece& piece) {
    return out << "{line " << piece.line << (piece.lost ? ", lost" : "") << ", "
               << testing::PrintToString(piece.text) << "}";
}

struct PieceCase {
    const char* name;
    std::string bytes;
    ConfigEncoding encoding;
    std::vector<Piece> pieces;
};

void PrintTo(const PieceCase& c, std::ostream* out) { *out << c.name; }

class ConfigTextTest : public testing::TestWithParam<PieceCase> {};

TEST_P(ConfigTextTest, ReadsPiecesWithTheirLineAndLostMark) {
    const PieceCase& c = GetParam();
    ConfigText text;
    OpenConfigText(&text, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(text.encoding, c.encoding);
    std::vector<Piece> pieces;
    char line[kTextSize];
    ConfigPiece piece;
    while (ReadConfigPiece(&text, line, sizeof line, &piece)) {
        pieces.push_back(Piece{line, piece.line, piece.lostCharacter});
    }
    EXPECT_EQ(pieces, c.pieces);
}

// 254 bytes: a piece holds 255, so the 255th byte of a line is its last.
const std::string kLong = "1,C:\\" + std::string(249, 'a');
constexpr char kOmega[] = "\xCE\xA9";  // U+03A9 in UTF-8

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigTextTest,
    testing::Values(
        // A line ends at LF only; a blank line and the pieces of a long one
        // count as an editor counts them.
        PieceCase{"LineNumbers",
                  "1,a\r\n\nx\r2,b\n" + std::string(300, 'c') + "\n3,c",
                  ConfigEncoding::kAnsi,
                  {{"1,a\n", 1, false},
                   {"\n", 2, false},
                   {"x\r2,b\n", 3, false},
                   {std::string(255, 'c'), 4, false},
                   {std::string(45, 'c') + "\n", 4, false},
                   {"3,c", 5, false}}},
        PieceCase{"CrLfAtAPieceEnd",
                  kLong + "\r\n2,C:\\b.exe\n",
                  ConfigEncoding::kAnsi,
                  {{kLong + "\n", 1, false}, {"2,C:\\b.exe\n", 2, false}}},
        // The look-ahead past a lone CR decodes the next character: its mark
        // belongs to the next piece, not to this one.
        PieceCase{"LoneCrAtAPieceEndBeforeALostCharacter",
                  kLong + "\r" + kOmega + ",C:\\b.exe\n",
                  ConfigEncoding::kUtf8,
                  {{kLong + "\r", 1, false}, {"?,C:\\b.exe\n", 1, true}}},
        PieceCase{"LostCharacterLastInAPiece",
                  kLong + kOmega + ",C:\\b.exe\n",
                  ConfigEncoding::kUtf8,
                  {{kLong + "?", 1, true}, {",C:\\b.exe\n", 1, false}}},
        PieceCase{"LostCharacterFirstInAPiece",
                  kLong + "a" + kOmega + ",C:\\b.exe\n",
                  ConfigEncoding::kUtf8,
                  {{kLong + "a", 1, false}, {"?,C:\\b.exe\n", 1, true}}},
        // A double-byte form split by the piece's end goes on in the next
        // piece, as in the same text saved in ANSI.
        PieceCase{"DoubleByteFormAcrossPieces",
                  kLong + "\xE4\xB8\x80" + "5,C:\\b.exe\n",
                  ConfigEncoding::kUtf8,
                  {{kLong + "\x81", 1, false},
                   {"\x40"
                    "5,C:\\b.exe\n",
                    1, false}}},
        PieceCase{"DoubleByteFormAcrossPiecesInUtf16",
                  Utf16(std::u16string(kLong.begin(), kLong.end()) + u"\u4E00"
                                                                     u"5,C:\\b.exe\r\n"),
                  ConfigEncoding::kUtf16,
                  {{kLong + "\x81", 1, false},
                   {"\x40"
                    "5,C:\\b.exe\n",
                    1, false}}},
        // Forms that strict UTF-8 refuses: overlong ('/' and '\'), a
        // surrogate, past U+10FFFF. None becomes the character it mimics.
        PieceCase{"OverlongTwoBytes",
                  kUtf8Mark + "1,C:\\a\xC0\xAF.exe\n2,C:\\c.exe\n",
                  ConfigEncoding::kUtf8,
                  {{"1,C:\\a??.exe\n", 1, true}, {"2,C:\\c.exe\n", 2, false}}},
        PieceCase{"OverlongThreeBytes",
                  kUtf8Mark + "1,C:\\a\xE0\x81\x9C.exe\n2,C:\\c.exe\n",
                  ConfigEncoding::kUtf8,
                  {{"1,C:\\a?.exe\n", 1, true}, {"2,C:\\c.exe\n", 2, false}}},
        PieceCase{"EncodedSurrogate",
                  kUtf8Mark + "1,C:\\a\xED\xA0\x80.exe\n2,C:\\c.exe\n",
                  ConfigEncoding::kUtf8,
                  {{"1,C:\\a?.exe\n", 1, true}, {"2,C:\\c.exe\n", 2, false}}},
        PieceCase{"PastTheLastCodePoint",
                  kUtf8Mark + "1,C:\\a\xF4\x90\x80\x80.exe\n2,C:\\c.exe\n",
                  ConfigEncoding::kUtf8,
                  {{"1,C:\\a?.exe\n", 1, true}, {"2,C:\\c.exe\n", 2, false}}}),
    [](const testing::TestParamInfo<PieceCase>& info) { return info.param.name; });

}  // namespace
