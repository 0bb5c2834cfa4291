// The list editor's pure part: the entry, the line tests, and the rewrite of a list from one
// stream into another, which touch no file.
#include "addon_list.hpp"

#include <algorithm>
#include <cctype>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "list_reader.hpp"

#ifndef QUILLORA_ORIGIN
#error "QUILLORA_ORIGIN, the publishing server's origin, is set by the build"
#endif

static_assert(max_list_size == list_reader::max_list_size);

namespace {

constexpr std::string_view entry_text =
    "<jspluginonline enable=\"true\" install=\"" QUILLORA_ORIGIN "\" url=\"" QUILLORA_ORIGIN
    "/\" type=\"wps\" name=\"Quillora插件\"/>";

constexpr std::string_view needle_closing = "</jsplugins>";

bool contains(std::string_view hay, std::string_view needle) {
  return hay.find(needle) != std::string_view::npos;
}

// Equal but for the case of ASCII letters, as XML compares encoding names.
bool same_letters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The encoding that an XML declaration at the start of `head` names: `<?xml` and a space, after
// a UTF-8 byte order mark or nothing, up to the first "?>", holding a space, "encoding", '=' and
// a quoted value (spaces allowed around '='). Nothing when there is no such declaration.
std::optional<std::string_view> declared_encoding(std::string_view head) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF")
    head.remove_prefix(3);
  if (head.size() < 6 || head.substr(0, 5) != "<?xml" || !is_xml_space(head[5]))
    return std::nullopt;
  const std::size_t end = head.find("?>");
  if (end == std::string_view::npos)
    return std::nullopt;
  const std::string_view declaration = head.substr(0, end);
  constexpr std::string_view name = "encoding";
  for (std::size_t at = declaration.find(name); at != std::string_view::npos;
       at = declaration.find(name, at + 1)) {
    if (!is_xml_space(declaration[at - 1]))
      continue;
    std::size_t i = at + name.size();
    while (i < declaration.size() && is_xml_space(declaration[i]))
      ++i;
    if (i == declaration.size() || declaration[i] != '=')
      continue;
    ++i;
    while (i < declaration.size() && is_xml_space(declaration[i]))
      ++i;
    if (i == declaration.size() || (declaration[i] != '"' && declaration[i] != '\''))
      continue;
    const std::size_t close = declaration.find(declaration[i], i + 1);
    if (close == std::string_view::npos)
      continue;
    return declaration.substr(i + 1, close - i - 1);
  }
  return std::nullopt;
}

// Whether the declaration at the start of `in` names an encoding other than UTF-8; `in` is left
// where it was. Nothing when it can't be read.
std::optional<bool> declares_other_encoding(std::istream& in) {
  const std::streampos start = in.tellg();
  std::string head(declaration_limit, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  if (in.bad())
    return std::nullopt;
  head.resize(static_cast<std::size_t>(in.gcount()));
  in.clear();
  if (!in.seekg(start))
    return std::nullopt;
  const std::optional<std::string_view> encoding = declared_encoding(head);
  return encoding && !same_letters(*encoding, "UTF-8");
}

rewrite_status status_of(list_reader::verdict verdict) {
  switch (verdict) {
    case list_reader::verdict::ok:
      return rewrite_status::done;
    case list_reader::verdict::read_failed:
      return rewrite_status::read_failed;
    case list_reader::verdict::too_large:
      return rewrite_status::too_large;
    case list_reader::verdict::malformed:
      return rewrite_status::malformed;
    case list_reader::verdict::not_jsplugins:
      return rewrite_status::not_jsplugins;
  }
  return rewrite_status::read_failed;
}

// Bytes [begin, end) of the old list give way to `text`.
struct edit {
  std::uint64_t begin;
  std::uint64_t end;
  std::string text;
};

// The edits that bring a list into the state asked for, in the order of the list.
std::vector<edit> edits_for(const list_reader::list_facts& facts, bool install) {
  std::vector<edit> edits;
  for (const list_reader::addon_element& element : facts.addons)
    edits.push_back({element.whole.begin, element.whole.end, {}});
  if (install) {
    const std::string line = std::string(entry_text) + "\n";
    switch (facts.place) {
      case list_reader::placement::before_line:
        edits.push_back({facts.insert_at, facts.insert_at, line});
        break;
      case list_reader::placement::break_line:
        edits.push_back({facts.insert_at, facts.insert_at, "\n" + line});
        break;
      case list_reader::placement::open_root:
        edits.push_back({facts.insert_at, facts.insert_at + 1, ">\n" + line + "</jsplugins"});
        break;
    }
  }
  // An insertion goes before a removal that starts where it stands.
  std::stable_sort(edits.begin(), edits.end(), [](const edit& a, const edit& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
  });
  return edits;
}

// Copies `in` to `out` with the edits made; false when they overlap, which no sound list gives.
bool copy_with_edits(std::istream& in, std::ostream& out, const std::vector<edit>& edits,
                     rewrite_result& result) {
  std::vector<char> buffer(64 * 1024);
  std::size_t next = 0;
  std::uint64_t skip_until = 0;
  char last = '\n';
  const auto emit = [&](const char* data, std::size_t size) {
    if (size > 0) {
      out.write(data, static_cast<std::streamsize>(size));
      last = data[size - 1];
    }
  };
  // Makes the edits that start at `at`.
  const auto edit_at = [&](std::uint64_t at) {
    for (; next < edits.size() && edits[next].begin <= at; ++next) {
      if (edits[next].begin < at)
        return false;
      emit(edits[next].text.data(), edits[next].text.size());
      skip_until = std::max(skip_until, edits[next].end);
    }
    return true;
  };
  std::uint64_t offset = 0;  // of buffer[0] in the list
  for (;;) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::uint64_t>(in.gcount());
    if (in.bad()) {
      result.status = rewrite_status::read_failed;
      return false;
    }
    if (got == 0)
      break;
    for (std::uint64_t at = offset; at < offset + got;) {
      if (!edit_at(at)) {
        result.status = rewrite_status::no_place;
        return false;
      }
      if (at < skip_until) {
        at = std::min(offset + got, skip_until);
        continue;
      }
      const std::uint64_t until =
          std::min(offset + got, next < edits.size() ? edits[next].begin : offset + got);
      emit(buffer.data() + (at - offset), until - at);
      at = until;
    }
    offset += got;
    if (!out)
      break;
  }
  if (!edit_at(offset) || next != edits.size()) {
    result.status = rewrite_status::no_place;
    return false;
  }
  if (last != '\n')
    out.put('\n');
  if (!out.flush()) {
    result.status = rewrite_status::write_failed;
    return false;
  }
  return true;
}

}  // namespace

std::string_view addon_entry() {
  return entry_text;
}

std::string_view server_origin() {
  return QUILLORA_ORIGIN;
}

std::string list_skeleton() {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<jsplugins>\n";
  text.append(entry_text);
  text.append("\n</jsplugins>\n");
  return text;
}

bool is_entry_line(std::string_view line) {
  return contains(line, list_reader::needle_element) && contains(line, list_reader::needle_name) &&
         contains(line, list_reader::needle_addon);
}

bool is_enabled_entry(std::string_view line) {
  return is_entry_line(line) && !contains(line, list_reader::needle_false);
}

bool is_closing_line(std::string_view line) {
  return contains(line, needle_closing);
}

scan_result scan_list(std::istream& in) {
  const list_reader::list_facts facts = list_reader::read_list(in, server_origin());
  scan_result result;
  result.status = status_of(facts.status);
  result.line = facts.line;
  result.detail = facts.detail;
  result.blank = facts.blank;
  for (const list_reader::addon_element& element : facts.addons) {
    result.entry = true;
    result.enabled_entry = result.enabled_entry || element.enabled;
    result.current_entry =
        result.current_entry || (element.enabled && element.in_root && element.current);
  }
  return result;
}

std::vector<list_reader::listed_entry> list_entries(std::istream& in, scan_result& read) {
  list_reader::list_facts facts;
  std::vector<list_reader::listed_entry> entries =
      list_reader::entries_of(in, server_origin(), facts);
  read = scan_result{};
  read.status = status_of(facts.status);
  read.line = facts.line;
  read.detail = facts.detail;
  read.blank = facts.blank;
  return entries;
}

rewrite_result rewrite_list(std::istream& in, std::ostream& out, bool install) {
  rewrite_result result;
  const std::streampos start = in.tellg();
  if (install) {
    // The entry is UTF-8; in a list declared in another encoding it would break the list.
    const std::optional<bool> other = declares_other_encoding(in);
    if (!other)
      return {rewrite_status::read_failed, 0, {}};
    if (*other)
      return {rewrite_status::not_utf8, 1, {}};
  }
  const list_reader::list_facts facts = list_reader::read_list(in, server_origin());
  if (facts.status != list_reader::verdict::ok)
    return {status_of(facts.status), facts.line, facts.detail};
  in.clear();
  if (!in.seekg(start))
    return {rewrite_status::read_failed, 0, {}};
  copy_with_edits(in, out, edits_for(facts, install), result);
  return result;
}

bool rewrite_is_sound(std::istream& old, std::istream& fresh, bool install) {
  list_reader::suite_view before(old, server_origin());
  list_reader::suite_view after(fresh, server_origin());
  list_reader::what_the_suite_reads a;
  list_reader::what_the_suite_reads b;
  for (;;) {
    const bool more = before.next(a);
    if (more != after.next(b))
      return false;
    if (!more)
      break;
    if (!(a == b))
      return false;
  }
  if (!before.complete() || !after.complete())
    return false;
  return install ? after.addons() == 1 && after.entries() == 1 : after.addons() == 0;
}
