// Escapes what a terminal would obey or hide in a value from outside before it is printed.
#include "printable.hpp"

namespace {

// The length of the valid UTF-8 character that starts `text`, or 0.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(0);
  const std::size_t length = first < 0x80                     ? 1
                             : first >= 0xC2 && first <= 0xDF ? 2
                             : first >= 0xE0 && first <= 0xEF ? 3
                             : first >= 0xF0 && first <= 0xF4 ? 4
                                                              : 0;
  if (length == 0 || length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80)
      return 0;
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if ((first == 0xE0 && byte(1) < 0xA0) || (first == 0xED && byte(1) > 0x9F) ||
      (first == 0xF0 && byte(1) < 0x90) || (first == 0xF4 && byte(1) > 0x8F)) {
    return 0;
  }
  return length;
}

// The code point of the valid UTF-8 character of `length` bytes that starts `text`.
char32_t code_point(std::string_view text, std::size_t length) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (length == 1)
    return byte(0);
  char32_t code = byte(0) & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    code = code << 6 | (byte(i) & 0x3F);
  return code;
}

// A name that looks like another ("Quillora插件" with a zero-width space behind) must not pass
// for it, so what shows nothing, or only space, is written out too.
bool is_hidden(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x115F || code == 0x1160 ||
         (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2060 && code <= 0x2064) || (code >= 0x2066 && code <= 0x2069) ||
         code == 0x3164 || code == 0xFEFF;
}

constexpr char hex[] = "0123456789abcdef";

}  // namespace

char32_t hidden_character(std::string_view text) {
  if (text.empty())
    return 0;
  const std::size_t length = utf8_length(text);
  if (length < 2)
    return 0;
  const char32_t code = code_point(text, length);
  return is_hidden(code) ? code : 0;
}

std::string printable(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = utf8_length(text);
    const auto c = static_cast<unsigned char>(text[0]);
    if (length > 0 && c >= 0x20 && c != 0x7F) {
      if (const char32_t code = code_point(text, length); is_hidden(code)) {
        safe += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
          safe += hex[(code >> shift) & 15];
      } else {
        safe.append(text.substr(0, length));
      }
      text.remove_prefix(length);
      continue;
    }
    switch (c) {
      case '\n':
        safe += "\\n";
        break;
      case '\t':
        safe += "\\t";
        break;
      case '\r':
        safe += "\\r";
        break;
      default:
        safe += "\\x";
        safe += hex[c >> 4];
        safe += hex[c & 15];
    }
    text.remove_prefix(1);
  }
  return safe;
}
