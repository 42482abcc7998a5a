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
        // Characters that reorder or end a line without showing: each
        // byte escaped, the text around them kept.
        {"fw\xe2\x80\xaegpj.exe", "$'fw\\xe2\\x80\\xaegpj.exe'"},     // U+202E right-to-left override
        {"a\xe2\x81\xa6" "b\xe2\x81\xa9", "$'a\\xe2\\x81\\xa6b\\xe2\\x81\\xa9'"}, // U+2066 ... U+2069
        {"\xe2\x80\x8e\xe2\x80\x8f", "$'\\xe2\\x80\\x8e\\xe2\\x80\\x8f'"},   // U+200E, U+200F
        {"\xd8\x9c" "1", "$'\\xd8\\x9c1'"},                      // U+061C Arabic letter mark
        {"zw\xe2\x80\x8bsp", "$'zw\\xe2\\x80\\x8bsp'"},             // U+200B zero-width space
        {"\xef\xbb\xbf" "bom", "$'\\xef\\xbb\\xbfbom'"},                // U+FEFF
        {"soft\xc2\xad" "hy", "$'soft\\xc2\\xadhy'"},                // U+00AD soft hyphen
        {"tag\xf3\xa0\x81\x81", "$'tag\\xf3\\xa0\\x81\\x81'"},       // U+E0041 tag letter A
        {"l1\xe2\x80\xa8l2\xe2\x80\xa9", "$'l1\\xe2\\x80\\xa8l2\\xe2\\x80\\xa9'"}, // U+2028, U+2029
        // Their neighbours are ordinary text.
        {"\xe2\x80\x8c\xe2\x80\x8d\xe2\x80\xa7\xe2\x81\xa5\xef\xbb\xbe\xf3\xa0\x82\x80",
         "\xe2\x80\x8c\xe2\x80\x8d\xe2\x80\xa7\xe2\x81\xa5\xef\xbb\xbe\xf3\xa0\x82\x80"},
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
        {"v1\xe2\x80\xae" "2v", "$'v1\\xe2\\x80\\xae2v'"},         // reads "v1v2" on screen
        {"a\xe2\x80\xa8" "b", "$'a\\xe2\\x80\\xa8b'"},
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
        // JSON keeps hidden characters as text but escapes the two that
        // end a line for Unicode-aware readers.
        {"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9", "\"a\\u2028b\\u2029\""},
        {"\xe2\x80\xae" "x\xf3\xa0\x81\x81", "\\xe2\\x80\\xaex\\xf3\\xa0\\x81\\x81", "\"\xe2\x80\xae" "x\xf3\xa0\x81\x81\""},
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
