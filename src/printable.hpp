// Values from outside the program made safe to print on a terminal and in logs read by lines.
#pragma once

#include <string>
#include <string_view>

// A name or value from outside (HOME, a folder, a link's target, a name in the list, a user's
// name, a word or option of the command line) made safe for a terminal and for scripts that read
// the console by lines, as GNU tools quote file names; everything else passes as it is:
// - C0 controls and DEL become \n, \t, \r, or else \x1b (two lowercase hex digits);
// - each byte that is no part of valid UTF-8 (an overlong form, a surrogate, a code point past
//   U+10FFFF, a lone or missing continuation byte) becomes \xff in the same way;
// - the characters that terminals obey or that move or hide text without showing themselves
//   become \u009b (four lowercase hex digits, as in JSON): the C1 controls U+0080 to U+009F
//   (U+009B is a terminal's CSI), the bidirectional controls U+061C, U+200E, U+200F, U+202A to
//   U+202E and U+2066 to U+2069, the line and paragraph separators U+2028 and U+2029, and the
//   characters that show nothing or only space, with which one name passes for another: U+200B
//   to U+200D, U+2060 to U+2064, U+FEFF and the Hangul fillers U+115F, U+1160 and U+3164.
// A backslash passes as it is: the result is for people to read, not to be decoded again.
std::string printable(std::string_view text);

// The code point of the character that starts `text` when printable writes it as \uXXXX (see
// above), else 0; such a character takes two bytes below U+0800 and three above. The JSON
// printer writes the same characters as JSON escapes.
char32_t hidden_character(std::string_view text);
