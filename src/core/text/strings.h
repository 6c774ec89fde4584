#pragma once
// Shared text operations. Text in memory is UTF-8; positions are 1-based where the
// callers' conventions say so (textBetween/textBefore start), as in the rest of the program.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vigilo {

// Text between the first `left` found from `start` and the first `right` after it; "" when
// either marker is missing. In both markers "#引号" stands for one double-quote character.
std::string textBetween(std::string_view text, std::string_view left, std::string_view right, long start = 1,
                        bool ignoreCase = false);

// Text left of the first `separator` found from `start`; a negative start -n searches
// backwards from position length - n + 1. "" when the separator is missing.
std::string textBefore(std::string_view text, std::string_view separator, long start = 1, bool ignoreCase = false);

// Blanks are the ASCII space and the ideographic space U+3000.
std::string trimBlanks(std::string_view text);
std::string headerName(std::string_view line);
std::string headerValue(std::string_view line);

// Applies each (find, replace) pair in turn as a plain replacement of every occurrence.
std::string replacePairs(std::string text, const std::vector<std::pair<std::string_view, std::string_view>>& pairs);

// Text from the service on one line of a log, a cell or a file: a CR LF pair and every other
// control character (C0, DEL) become one space, so a line break can never forge a line.
std::string oneLine(std::string_view text);

// Length of the valid UTF-8 sequence at text[i] (1 to 4) and its code point; 0 when the byte
// there starts no valid sequence (overlong, surrogate, past U+10FFFF or cut short).
std::size_t utf8SequenceAt(std::string_view text, std::size_t i, char32_t& cp);

// Text on its way to a terminal: every control character (C0 but the tab, DEL, C1) and every
// byte that is not part of valid UTF-8 is printed as an escape ("\x1B", "\u009B", "\xFF"),
// so a service text can never clear the screen, set the title or write the clipboard.
std::string visibleControls(std::string_view text);

// Texts from the service are cut to these lengths (at a character boundary) before they reach
// a cell, a log line or a file: real ones are far shorter, and a hostile one would otherwise be
// copied into every cell and log line each cycle.
inline constexpr std::size_t kMaxNicknameBytes = 1024;
inline constexpr std::size_t kMaxDescriptionBytes = 8192;
// Ids, counts and addresses.
inline constexpr std::size_t kMaxServiceFieldBytes = 4096;
std::string cutServiceText(std::string_view text, std::size_t maxBytes);

// Splits at each CR LF: every delimiter ends an element; the remainder counts only when
// not empty. "" gives no element.
std::vector<std::string> splitCrLf(std::string_view text);

// A number as text: shortest form with at most 13 significant digits ("%.13g").
std::string numberText(double value);
// Text to number the way the program reads counts: the value of the leading numeric part
// (sign, digits, point, exponent), 0 when there is none.
double textToNumber(std::string_view text);
// Text to number the way JavaScript's Number(text) reads it: surrounding white space ignored,
// a whole decimal or "0x" hexadecimal literal or Infinity, empty text 0, anything else NaN.
double jsNumberFromText(std::string_view text);
// The text without JavaScript white space and line terminators at either end.
std::string_view trimJsSpace(std::string_view text);

std::string toLowerAscii(std::string_view text);
bool containsNoCase(std::string_view haystack, std::string_view needle);
bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);

}  // namespace vigilo
