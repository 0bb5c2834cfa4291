// The list editor's pure part: the entry, the state a read tells, and the rewrite of a list from
// one stream into another, which touch no file.
#include "addon_list.hpp"

#include <algorithm>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "list_reader.hpp"
#include "printable.hpp"

#ifndef QUILLORA_ORIGIN
#error "QUILLORA_ORIGIN, the publishing server's origin, is set by the build"
#endif

namespace {

constexpr std::string_view entry_text =
    "<jspluginonline enable=\"true\" install=\"" QUILLORA_ORIGIN "\" url=\"" QUILLORA_ORIGIN
    "/\" type=\"wps\" name=\"Quillora插件\"/>";

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
  std::uint64_t written = 0;
  const auto emit = [&](const char* data, std::size_t size) {
    if (size > 0) {
      out.write(data, static_cast<std::streamsize>(size));
      last = data[size - 1];
      written += size;
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
      result.status = list_reader::verdict::read_failed;
      return false;
    }
    if (got == 0)
      break;
    for (std::uint64_t at = offset; at < offset + got;) {
      if (!edit_at(at)) {
        result.status = list_reader::verdict::no_place;
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
    result.status = list_reader::verdict::no_place;
    return false;
  }
  if (last != '\n') {
    out.put('\n');
    ++written;
  }
  if (written > list_reader::max_list_size) {
    result.status = list_reader::verdict::grows_too_large;
    return false;
  }
  if (!out.flush()) {
    result.status = list_reader::verdict::read_failed;
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

addon_state state_of(const list_reader::list_facts& facts) {
  const auto& found = facts.addons;
  // Installed only as this build's one entry: a second element, one for another server, a
  // disabled one or the offline form is no state the suite should be left in.
  if (found.size() == 1 && facts.entries == 1)
    return addon_state::enabled;
  return found.empty() ? addon_state::absent : addon_state::disabled;
}

bool enabled_somewhere(const list_reader::list_facts& facts) {
  return std::any_of(facts.addons.begin(), facts.addons.end(),
                     [](const list_reader::addon_element& e) { return e.enabled; });
}

rewrite_result rewrite_from(const list_reader::list_facts& facts, std::istream& in,
                            std::ostream& out, bool install) {
  if (facts.status != list_reader::verdict::ok)
    return {facts.status, facts.line, facts.detail};
  // The entry is UTF-8; in a list declared in another encoding it would break the list, and
  // the rest, copied as it is, would no longer be what the suite reads once the entry is gone.
  if (!facts.encoding.empty() && !list_reader::utf8_spelling(facts.encoding))
    return {list_reader::verdict::not_utf8, 1, printable(facts.encoding)};
  rewrite_result result;
  copy_with_edits(in, out, edits_for(facts, install), result);
  return result;
}

bool rewrite_is_sound(const list_reader::list_facts& old, std::istream& fresh, bool install) {
  const list_reader::list_facts now = list_reader::read_list(fresh, server_origin());
  if (old.status != list_reader::verdict::ok || now.status != list_reader::verdict::ok ||
      now.rest != old.rest)
    return false;
  return install ? now.addons.size() == 1 && now.entries == 1 : now.addons.empty();
}
