// SPDX-License-Identifier: MIT
// How names and labels are shown: one line per name whatever its bytes,
// printable UTF-8 kept readable, a label never read as two fields,
// nothing lost in JSON.
#include "text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace velkor_text;

TEST(Text, QuoteName)
{
    struct { std::string name, shown; } cases[] = {
        {"plain.bgn", "plain.bgn"},
        {"with space and 'quote'", "with space and 'quote'"},
        {"caf\xc3\xa9.bgn", "caf\xc3\xa9.bgn"},          // printable UTF-8 as it is
        {"a\nb", "$'a\\nb'"},
        {"tab\there\r", "$'tab\\there\\r'"},
        {"esc\x1b[2J", "$'esc\\x1b[2J'"},
        {"bad\xff\xfe", "$'bad\\xff\\xfe'"},                 // not UTF-8
        {"c1\xc2\x9b" "1m", "$'c1\\xc2\\x9b1m'"},            // a C1 control
        {"over\xc0\xaflong", "$'over\\xc0\\xaflong'"},       // overlong '/'
        {"sur\xed\xa0\x80", "$'sur\\xed\\xa0\\x80'"},        // a surrogate
        {"nl\n'q'\\", "$'nl\\n\\'q\\'\\\\'"},                // quotes and backslash inside
        {"'starts", "$'\\'starts'"},                         // would read as quoted
        {"$'x'", "$'$\\'x\\''"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(quote_name(c.name), c.shown) << c.name;
}

// A label, sublabel or magic inside a line whose fields are parted by ", ":
// bare only when it cannot be misread, else quoted as names are.
TEST(Text, QuoteText)
{
    struct { std::string text, shown; } cases[] = {
        {"firmware", "firmware"},
        {"caf\xc3\xa9 au lait", "caf\xc3\xa9 au lait"},       // spaces inside
        {"it's \"x\" a\\b", "it's \"x\" a\\b"},              // read as they are
        {"", "''"},
        {"a, sublabel b", "$'a, sublabel b'"},
        {"a,b", "$'a,b'"},
        {" lead", "$' lead'"},
        {"tail ", "$'tail '"},
        {"'q'", "$'\\'q\\''"},
        {"$'x'", "$'$\\'x\\''"},
        {"nl\n,\\", "$'nl\\n,\\\\'"},
        {"bad\xff", "$'bad\\xff'"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(quote_text(c.text), c.shown) << c.text;
}

TEST(Text, PlainTextAndJson)
{
    struct { std::string text, plain, json; } cases[] = {
        {"firmware", "firmware", "\"firmware\""},
        {"caf\xc3\xa9", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {"a\\b\"c", "a\\\\b\"c", "\"a\\\\b\\\"c\""},
        {"\n\t\x01\x7f", "\\x0a\\x09\\x01\\x7f", "\"\\n\\t\\u0001\\u007f\""},
        {"a\rb\bc\fd", "a\\x0db\\x08c\\x0cd", "\"a\\rb\\bc\\fd\""}, // JSON's short escapes
        {"\xc2\x9b", "\\xc2\\x9b", "\"\\u009b\""},
        {"x\xff" "y\xc3", "x\\xffy\\xc3", "\"x\xef\xbf\xbdy\xef\xbf\xbd\""},
        {"\xf0\x9f\x94\x91", "\xf0\x9f\x94\x91", "\"\xf0\x9f\x94\x91\""}, // 4-byte UTF-8
    };
    for (const auto &c : cases) {
        EXPECT_EQ(plain_text(c.text), c.plain) << c.text;
        EXPECT_EQ(json_string(c.text), c.json) << c.text;
    }
    EXPECT_EQ(hex(std::string("\x00\x7f\xff", 3)), "007fff");
}

// What XML 1.0 cannot carry becomes U+FFFD; the five specials are escaped.
TEST(Text, Xml)
{
    struct { std::string text, xml; } cases[] = {
        {"a&b<c>\"d'", "a&amp;b&lt;c&gt;&quot;d&apos;"},
        {"caf\xc3\xa9\ttab\nline", "caf\xc3\xa9\ttab\nline"},
        {std::string("nul\0esc\x1b", 8), "nul\xef\xbf\xbd" "esc\xef\xbf\xbd"},
        {"bad\xff|\xef\xbf\xbe|\xef\xbf\xbf", "bad\xef\xbf\xbd|\xef\xbf\xbd|\xef\xbf\xbd"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(xml_text(c.text), c.xml) << c.text;
}

} // namespace
