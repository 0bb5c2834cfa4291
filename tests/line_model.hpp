// The list's line model written the plain way, a whole line at a time, with the add-on's tag
// searched anew: on the well-formed lists that it can edit (no_place where it can't), what the
// rewrite must give byte for byte, for the tests and the fuzz target to check it by.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "addon_list.hpp"
#include "list_reader.hpp"

// What one read of a list tells the editor, for the tests: the reader's verdict and the
// decisions that the editor takes on it.
struct scan_result {
  list_reader::verdict status = list_reader::verdict::ok;
  std::uint64_t line = 0;
  std::string detail;
  bool enabled_entry = false;  // uninstall has something to take out
  bool current_entry = false;  // install has nothing to do
  bool entry = false;          // some element of the add-on
  bool blank = true;
  list_reader::list_facts facts;
};

inline scan_result scan_list(std::istream& in) {
  scan_result r;
  r.facts = list_reader::read_list(in, server_origin());
  r.status = r.facts.status;
  r.line = r.facts.line;
  r.detail = r.facts.detail;
  r.blank = r.facts.blank;
  if (r.status == list_reader::verdict::ok) {
    r.enabled_entry = enabled_somewhere(r.facts);
    r.current_entry = state_of(r.facts) == addon_state::enabled;
    r.entry = !r.facts.addons.empty();
  }
  return r;
}

// The editor's read and rewrite of a seekable stream.
inline rewrite_result rewrite_list(std::istream& in, std::ostream& out, bool install) {
  const std::streampos start = in.tellg();
  const list_reader::list_facts facts = list_reader::read_list(in, server_origin());
  in.clear();
  if (facts.status == list_reader::verdict::ok && !in.seekg(start))
    return {list_reader::verdict::read_failed, 0, {}};
  return rewrite_from(facts, in, out, install);
}

namespace line_model {

inline bool has(std::string_view line, std::string_view needle) {
  return line.find(needle) != std::string_view::npos;
}

inline bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Whether `tag`, a start tag's bytes after its element's name, holds the attribute `name` with
// `value` in either quotes, blanks around its '='.
inline bool has_attribute(std::string_view tag, std::string_view name, std::string_view value) {
  for (std::size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
    std::size_t i = at + name.size();
    if (at == 0 || !blank(tag[at - 1]))
      continue;
    while (i < tag.size() && blank(tag[i]))
      ++i;
    if (i == tag.size() || tag[i] != '=')
      continue;
    for (++i; i < tag.size() && blank(tag[i]);)
      ++i;
    if (i == tag.size() || (tag[i] != '"' && tag[i] != '\''))
      continue;
    const std::size_t end = i + 1 + value.size();
    if (tag.substr(i + 1, value.size()) == value && end < tag.size() && tag[end] == tag[i])
      return true;
  }
  return false;
}

// The first start tag on the line of an add-on whose name attribute is exactly ours, as the lists
// that the tests make spell it (no references, no quotes or '>' in other values): its bytes after
// the element's name, or none.
inline std::optional<std::string_view> entry_tag(std::string_view l) {
  for (std::size_t at = l.find("<jsplugin"); at != std::string_view::npos;
       at = l.find("<jsplugin", at + 1)) {
    std::size_t i = at + 9;
    if (l.substr(i, 6) == "online")
      i += 6;
    if (i == l.size() || !blank(l[i]))
      continue;
    const std::string_view tag = l.substr(i, l.find_first_of("<>", i) - i);
    if (has_attribute(tag, "name", "Quillora插件"))
      return tag;
  }
  return std::nullopt;
}

inline bool entry_line(std::string_view l) {
  return entry_tag(l).has_value();
}
// An entry line whose enable attribute does not say false.
inline bool enabled_line(std::string_view l) {
  const std::optional<std::string_view> tag = entry_tag(l);
  return tag && !has_attribute(*tag, "enable", "false");
}
inline bool closing_line(std::string_view l) {
  return has(l, "</jsplugins>");
}

// "<jsplugins" whose name ends there: the next byte, if any, can't continue an XML name.
inline bool opening_line(std::string_view l) {
  for (std::size_t at = l.find("<jsplugins"); at != std::string_view::npos;
       at = l.find("<jsplugins", at + 1)) {
    const std::size_t after = at + 10;
    if (after == l.size())
      return true;
    const auto c = static_cast<unsigned char>(l[after]);
    if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == ':' || c >= 0x80))
      return true;
  }
  return false;
}

// One element alone on its line, so that dropping the line drops nothing else.
inline bool alone(std::string_view l) {
  while (!l.empty() && blank(l.front()))
    l.remove_prefix(1);
  while (!l.empty() && blank(l.back()))
    l.remove_suffix(1);
  if (l.size() < 3 || l.front() != '<')
    return false;
  const auto name = static_cast<unsigned char>(l[1]);  // an element: not "</", "<!" or "<?"
  char quote = 0;
  int ends = 0;  // '>' outside quoted values
  for (const char c : l) {
    if (quote != 0) {
      quote = c == quote ? 0 : quote;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else {
      ends += c == '>';
    }
  }
  return (std::isalpha(name) || name == '_' || name == ':' || name >= 0x80) &&
         l.substr(l.size() - 2) == "/>" && std::count(l.begin(), l.end(), '<') == 1 && quote == 0 &&
         ends == 1;
}

// A line is the text up to an LF, or up to the end for a last line without one.
inline std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = std::min(text.find('\n'), text.size());
    lines.push_back(text.substr(0, lf));
    text.remove_prefix(std::min(lf + 1, text.size()));
  }
  return lines;
}

inline std::string joined(const std::vector<std::string_view>& lines) {
  std::string text;
  for (const std::string_view l : lines)
    text.append(l).push_back('\n');
  return text;
}

struct rewritten {
  list_reader::verdict status;
  std::uint64_t line;  // the line a refusal names
  std::string bytes;   // the new list, when done
};

// The editor's streamed rewrite of `list`.
inline rewritten rewrite(const std::string& list, bool install) {
  std::istringstream in(list);
  std::ostringstream out;
  const rewrite_result r = rewrite_list(in, out, install);
  return {r.status, r.line, out.str()};
}

// Whether the list starts with an XML declaration that names an encoding other than UTF-8, in
// any of its spellings (one
// that ends in its first 4 KiB: no list has a longer one).
inline bool declares_other_encoding(std::string text) {
  text = text.substr(0, 4096);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0)
    text.erase(0, 3);
  static const std::regex start("<\\?xml[ \t\r\n]");
  static const std::regex encoding(
      "[ \t\r\n]encoding[ \t\r\n]*=[ \t\r\n]*(\"([^\"]*)\"|'([^']*)')");
  const std::size_t end = text.find("?>");
  std::smatch found;
  if (!std::regex_search(text, start, std::regex_constants::match_continuous) ||
      end == std::string::npos)
    return false;
  const std::string declaration = text.substr(0, end);
  if (!std::regex_search(declaration, found, encoding))
    return false;
  std::string name = found[2].matched ? found[2].str() : found[3].str();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* utf8 : {"utf-8", "utf8", "utf_8", "unicode-1-1-utf-8"}) {
    if (name == utf8)
      return false;
  }
  return true;
}

// What the rewrite must give for `list`, with `entry` as the add-on's entry.
inline rewritten expected(const std::vector<std::string_view>& lines, bool install,
                          std::string_view entry) {
  if (declares_other_encoding(joined(lines)))
    return {list_reader::verdict::not_utf8, 1, {}};
  std::string out;
  bool inserted = !install;
  bool opened = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view l = lines[i];
    if (!inserted && closing_line(l)) {
      if (!opened || opening_line(l))
        return {list_reader::verdict::no_place, i + 1, {}};
      const std::size_t first = l.find_first_not_of(" \t\r");
      if (first == std::string_view::npos || l[first] != '<')
        return {list_reader::verdict::no_place, i + 1, {}};
      out.append(entry).push_back('\n');
      inserted = true;
    }
    if (entry_line(l)) {
      if (!alone(l))
        return {list_reader::verdict::no_place, i + 1, {}};
      continue;
    }
    opened = opened || opening_line(l);
    out.append(l).push_back('\n');
  }
  if (!inserted)
    return {list_reader::verdict::no_place, lines.size(), {}};
  return {list_reader::verdict::ok, 0, out};
}

}  // namespace line_model
