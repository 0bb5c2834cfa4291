// Puts a break point (\:) into a Chinese manual page wherever a line may break: groff, given no
// rules of its own for Chinese, breaks lines at spaces and break points alone. A break may come
// between two Chinese characters and between one and a Latin word, never after opening punctuation
// nor before closing punctuation. The NAME section, which whatis(1) reads, is kept as it is.
//
//   zh_breaks PAGE OUTPUT
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

// What a visible character is to line breaking.
enum class kind { other, chinese, opening, closing, latin };

// The code point that starts at `at` in UTF-8 text, and in `length` its length in bytes; a byte
// that starts no character is taken alone, as other text.
char32_t decode(const std::string& text, std::size_t at, std::size_t& length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (at + length > text.size())
    length = 1;
  if (length == 1)
    return lead;
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    c = (c << 6) | (byte(at + i) & 0x3F);
  return c;
}

// The kind of the character `c`: Chinese punctuation that opens or closes, another wide character
// (ideographs, full-width forms), a Latin letter or digit, or anything else.
kind kind_of(char32_t c) {
  static const std::u32string opening = U"“‘（《「『【〈";
  static const std::u32string closing = U"，。、；：！？）”’》」』】〉…";
  if (opening.find(c) != std::u32string::npos)
    return kind::opening;
  if (closing.find(c) != std::u32string::npos)
    return kind::closing;
  if ((c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF))
    return kind::chinese;
  if (c < 0x80 && std::isalnum(static_cast<int>(c)))
    return kind::latin;
  return kind::other;
}

// Whether a line may break between a character of kind `before` and one of kind `after`.
bool may_break(kind before, kind after) {
  if (before == kind::chinese || before == kind::closing)
    return after == kind::chinese || after == kind::opening || after == kind::latin;
  return before == kind::latin && (after == kind::chinese || after == kind::opening);
}

// What an escape sequence prints: a glyph (taken as Latin text), nothing, a space, or a break.
enum class shows { glyph, nothing, space, break_point };

// The length of the escape sequence at `at` (a backslash), and in `what` what it prints.
std::size_t escape(const std::string& text, std::size_t at, shows& what) {
  const std::size_t next = at + 1;
  if (next >= text.size()) {
    what = shows::nothing;
    return 1;
  }
  // The name after \f, \* or \(: one character, two after "(", or up to "]" after "[".
  const auto name_end = [&](std::size_t from) {
    if (from >= text.size())
      return from;
    if (text[from] == '(')
      return std::min(from + 3, text.size());
    if (text[from] == '[') {
      const std::size_t close = text.find(']', from);
      return close == std::string::npos ? text.size() : close + 1;
    }
    return from + 1;
  };
  switch (text[next]) {
    case 'f':
      what = shows::nothing;
      return name_end(next + 1) - at;
    case '*':
      what = shows::glyph;
      return name_end(next + 1) - at;
    case '(':
    case '[':
      what = shows::glyph;
      return name_end(next) - at;
    case '-':
    case 'e':
      what = shows::glyph;
      return 2;
    case ':':
      what = shows::break_point;
      return 2;
    case ' ':
    case '~':
    case '0':
      what = shows::space;
      return 2;
    default:
      what = shows::nothing;
      return 2;
  }
}

// The line with break points put in from byte `from` on: a text line's whole, or a macro's
// arguments.
std::string with_breaks(const std::string& line, std::size_t from) {
  std::string out = line.substr(0, from);
  kind before = kind::other;
  bool broken = false;  // a break point stands since the last visible character
  const auto visible = [&](kind what, std::string_view bytes) {
    if (!broken && may_break(before, what))
      out += "\\:";
    out += bytes;
    before = what;
    broken = false;
  };
  for (std::size_t at = from; at < line.size();) {
    if (line[at] == '\\') {
      shows what;
      const std::size_t length = escape(line, at, what);
      const std::string_view bytes(line.data() + at, length);
      if (what == shows::glyph) {
        visible(kind::latin, bytes);
      } else {
        out += bytes;
        if (what == shows::break_point)
          broken = true;
        else if (what == shows::space)
          before = kind::other;
      }
      at += length;
      continue;
    }
    std::size_t length;
    const char32_t c = decode(line, at, length);
    visible(c == ' ' ? kind::other : kind_of(c), std::string_view(line.data() + at, length));
    at += length;
  }
  return out;
}

// Whether the macro `name` sets its arguments as running text (the font macros).
bool sets_text(const std::string& name) {
  static const char* const macros[] = {"B", "I", "BI", "IB", "BR", "RB", "IR", "RI"};
  for (const char* macro : macros) {
    if (name == macro)
      return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: zh_breaks PAGE OUTPUT\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  std::ofstream out(argv[2]);
  if (!in || !out) {
    std::cerr << "zh_breaks: cannot open " << (in ? argv[2] : argv[1]) << '\n';
    return 1;
  }
  std::string line;
  bool example = false;  // inside .EX and .EE, where lines are kept as they are
  int sections = 0;      // the headings met so far: the first is NAME
  while (std::getline(in, line)) {
    if (line.rfind(".SH", 0) == 0)
      ++sections;
    if (line.rfind(".EX", 0) == 0)
      example = true;
    else if (line.rfind(".EE", 0) == 0)
      example = false;
    if (example || sections < 2 || line.empty()) {
      out << line << '\n';
    } else if (line[0] == '.' || line[0] == '\'') {
      const std::size_t name_end = std::min(line.find(' '), line.size());
      const bool text = sets_text(line.substr(1, name_end - 1));
      out << (text ? with_breaks(line, name_end) : line) << '\n';
    } else {
      out << with_breaks(line, 0) << '\n';
    }
  }
  out.close();
  if (in.bad() || !out) {
    std::cerr << "zh_breaks: cannot write " << argv[2] << '\n';
    return 1;
  }
  return 0;
}
