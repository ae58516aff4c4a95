#include "toolkit/TFString.h"
#include "toolkit/TFStringScanner.h"

#include <QString>
#include <gtest/gtest.h>
#include <vector>

using namespace TFString;

TEST(TFString, AbbreviatesAcrossUnits) {
    EXPECT_EQ(abbreviatedStringForBytes(0), "0 B");
    EXPECT_EQ(abbreviatedStringForBytes(1023), "1023 B");
    EXPECT_EQ(abbreviatedStringForBytes(1024), "1.0 KB");
    EXPECT_EQ(abbreviatedStringForBytes(4096), "4.0 KB");
    EXPECT_EQ(abbreviatedStringForBytes(1536), "1.5 KB");
    EXPECT_EQ(abbreviatedStringForBytes(150ULL << 30), "150 GB");
    EXPECT_EQ(abbreviatedStringForBytes((1ULL << 20) - 1), "1.0 MB"); // no "1024 KB"
    EXPECT_EQ(abbreviatedStringForBytes(~0ULL), "16.0 EB");
}

TEST(TFString, SpacesPrefixesAndCharacters) {
    EXPECT_EQ(spacesOfLength(0), "");
    EXPECT_EQ(spacesOfLength(3), "   ");
    EXPECT_EQ(stringByRemovingPrefix("com.apple.pkg.Foo", "com.apple.pkg."), "Foo");
    EXPECT_EQ(stringByRemovingPrefix("local.Bar", "com.apple.pkg."), "local.Bar");
    EXPECT_EQ(stringWithCharacter(8), "\b");
    EXPECT_EQ(stringWithCharacter(0xE9), "\xC3\xA9");
    EXPECT_EQ(stringWithCharacter(0x1F600), "\xF0\x9F\x98\x80");
}

TEST(TFString, Utf8DecodingReplacesOnlyInvalidBytes) {
    EXPECT_TRUE(isValidUTF8("\xC3\xA9mile"));
    EXPECT_FALSE(isValidUTF8("caf\xE9"));
    EXPECT_FALSE(isValidUTF8("\xC0\xAF"));     // overlong
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80")); // surrogate
    EXPECT_EQ(stringWithDataUTF8("a\xFF"
                                 "b\n"),
              "a\xEF\xBF\xBD"
              "b\n");
    EXPECT_EQ(stringWithDataUTF8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD"); // truncated
}

TEST(TFString, NamesThatAreNotUtf8StayDistinctAndComeBack) {
    const std::string a = "caf\xe9", b = "caf\xe8", c = "caf\xc3\xa9";
    EXPECT_NE(stringForName(a), stringForName(b));
    EXPECT_EQ(stringForName(c), QString::fromUtf8("caf\xc3\xa9"));
    EXPECT_EQ(displayStringForName(a), "caf\\xE9");
    EXPECT_EQ(displayStringForName(c), QString::fromUtf8("caf\xc3\xa9"));
    // An encoded surrogate and an overlong slash are not UTF-8 either.
    EXPECT_EQ(displayStringForName("\xed\xa0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(displayStringForName("a\xc0\xafz"), "a\\xC0\\xAFz");
    // Text made from a name gives its bytes back, a character beyond the
    // first plane included (its low half looks like an escaped byte).
    for (const std::string& name :
         {a, c, std::string("\xf0\x9f\x92\x80 x\xff\x80"), std::string("\xed\xa0\x80")})
        EXPECT_EQ(nameForString(stringForName(name)), name);
}

TEST(TFString, NamesOrderTotallyAndEscapeApart) {
    // Folded alike, then by bytes: no two names tie, whatever the start order.
    EXPECT_EQ(compareNames("README", "readme"), 0);
    EXPECT_EQ(compareNamesThenBytes("README", "readme"), -1);
    EXPECT_EQ(compareNamesThenBytes("readme", "README"), 1);
    EXPECT_EQ(compareNamesThenBytes("b", "A"), 1); // the fold comes first
    EXPECT_EQ(compareNamesThenBytes("z\xff", "Z\xff"), 1);
    EXPECT_EQ(compareNamesThenBytes("same", "same"), 0);
    // Each escaped name is its own: a backslash written doubled, other
    // bytes as \xNN, U+FFFE and U+FFFF (not XML) as their bytes.
    EXPECT_EQ(escapedStringForName("a\\xFF"), "a\\\\xFF");
    EXPECT_EQ(escapedStringForName("a\xff"), "a\\xFF");
    EXPECT_EQ(escapedStringForName("t\tn\n\x7f"), "t\\x09n\\x0A\\x7F");
    EXPECT_EQ(escapedStringForName("\xef\xbf\xbe\xef\xbf\xbf\xef\xbf\xbd"),
              "\\xEF\\xBF\\xBE\\xEF\\xBF\\xBF\xef\xbf\xbd");
    EXPECT_EQ(escapedStringForName("caf\xc3\xa9 \xf0\x9f\x92\x80"), "caf\xc3\xa9 \xf0\x9f\x92\x80");
}

TEST(TFStringScanner, ReadsLinesWithAnyTerminator) {
    TFStringScanner scanner("a\n\nb\r\nc\rd");
    std::vector<std::string> lines;
    while (auto line = scanner.readLine())
        lines.emplace_back(*line);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b", "c", "d"}));
    EXPECT_FALSE(scanner.readLine());
    TFStringScanner empty("");
    EXPECT_FALSE(empty.readLine());
    TFStringScanner trailing("x\n");
    EXPECT_EQ(*trailing.readLine(), "x");
    EXPECT_FALSE(trailing.readLine());
}
