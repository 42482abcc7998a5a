// SPDX-License-Identifier: MIT
// text.h - showing file names and labels to people and to JSON.
//
// Names and labels are bytes, not necessarily UTF-8, and may hold control
// characters that would forge output lines or move a terminal's cursor, or
// invisible characters that reorder a line or end it for some readers
// (bidirectional controls, zero-width and tag characters, U+2028 and
// U+2029): "hidden" characters below, always shown as escapes.
#pragma once

#include <string>
#include <string_view>

namespace velkor_text {

// A file name on one line of output.  Printable UTF-8 is shown as it is;
// a name with control or hidden characters or invalid UTF-8 (or that
// starts like a quoted one) is shown quoted as a shell would read it back,
// $'...', with \n, \t, \\, \' and \xNN escapes (each byte of a hidden
// character as \xNN).
std::string quote_name(std::string_view name);

// A label, sublabel or magic on a line of output, where fields are parted
// by ", ": shown as it is when it cannot be misread, else quoted as
// quote_name() quotes, and the empty text as ''.  Besides what quote_name()
// quotes, a text with a comma, or with a space at either end, is quoted:
// so a label "a, sublabel b" never reads as two fields, and a bare text is
// always the whole text, as it is.  scan and info both show texts so.
std::string quote_text(std::string_view text);

// A command-line word inside a message: printable UTF-8 as it is, a
// backslash doubled, control and hidden characters and bytes that are not
// valid UTF-8 as \xNN.
std::string plain_text(std::string_view text);

// A JSON string of the text read as UTF-8, each invalid byte becoming
// U+FFFD, control characters, U+2028 and U+2029 escaped (\uXXXX), so that
// a record stays one line for any reader.
std::string json_string(std::string_view text);

// The text read as UTF-8, each invalid byte becoming U+FFFD, nothing
// escaped: what a JSON string of json_string() holds once parsed.
std::string utf8_text(std::string_view text);

// One cell of a CSV record (RFC 4180): a text that a spreadsheet would
// run as a formula (starting with =, +, -, @, TAB or CR) gets a leading ',
// and a cell holding ", a comma, CR or LF is quoted, " doubled.  The text
// is taken as it is: pass utf8_text() of bytes that may not be UTF-8.
std::string csv_cell(std::string_view text);

// Text for an XML document, in an element or an attribute value: & < > "
// and ' escaped, and whatever XML cannot hold (bytes that are not valid
// UTF-8, control characters other than tab and line ends, U+FFFE and
// U+FFFF) as U+FFFD.
std::string xml_text(std::string_view text);

// The bytes as lower-case hexadecimal, two digits each.
std::string hex(std::string_view bytes);

// Whether the text is well-formed UTF-8 throughout: json_string() then
// keeps every byte, and the name needs no hex of its own beside it.
bool is_utf8(std::string_view text);

} // namespace velkor_text
