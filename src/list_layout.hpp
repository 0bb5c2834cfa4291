// The list's layout as the reader passes it: where each line starts and what stands at its start,
// the lines that the add-on's elements have to themselves, and where a new entry goes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "list_facts.hpp"

namespace list_reader {

// Where the current line starts and what stands at its start: a new entry can go before a line
// that starts in the root's content, outside any markup, with a tag.
struct line_state {
  std::uint64_t start = 0;
  bool clean = false;  // starts in the root's content, outside any markup
  char first = 0;      // its first byte other than space, tab and CR; 0: none yet
  // The same, as the line will stand once the add-on's elements that started it are gone: where
  // a new entry goes is decided on these.
  std::uint64_t place_start = 0;
  bool place_clean = false;
  char place_first = 0;
};

// Where and how a new entry goes, as list_facts keeps it.
struct entry_place {
  placement place = placement::before_line;
  std::uint64_t insert_at = 0;
};

class list_layout {
 public:
  // Passes the next event, `bytes` at `at`, which is character data in the root's content,
  // outside any markup, when `root_text`: an element of the add-on that ended before it goes to
  // `found`, with its whole lines when nothing else stood on them.
  void pass(std::uint64_t at, std::string_view bytes, bool root_text,
            std::vector<addon_element>& found);
  // The line as the last event left it.
  const line_state& line() const { return line_; }

  // The root's start tag, `bytes` at `at`.
  void root_opened(std::uint64_t at, std::string_view bytes);
  // The root's end, `bytes` at `at` (none for a self-closing root); `before` is the line as it
  // stood before them. Says where a new entry goes.
  entry_place root_closed(const line_state& before, std::uint64_t at, bool self_closing) const;

  // An element of the add-on starts; `before` is the line as it stood before its start tag.
  void addon_opened(const line_state& before);
  // The open element of the add-on ends with the last event passed: it goes to `found` once
  // what follows it on its line is known.
  void addon_closed(const addon_element& element);
  // The list ends at `end`.
  void finish(std::uint64_t end, std::vector<addon_element>& found);

 private:
  // `whole_lines`: nothing else stood on the element's lines, which end before `end`.
  void commit(bool whole_lines, std::uint64_t end, std::vector<addon_element>& found);

  line_state line_;
  std::optional<std::uint64_t> root_slash_;  // the '/' of a self-closing root's "/>"
  // Where the open element of the add-on stands: the start of its line and whether nothing came
  // before it there; for placing, the line's start, whether that starts in the root's content,
  // and whether nothing but the add-on comes before it there.
  std::uint64_t addon_line_ = 0;
  bool addon_line_blank_ = false;
  std::uint64_t addon_place_start_ = 0;
  bool addon_place_clean_ = false;
  bool addon_starts_line_ = false;
  // The element of the add-on that ended last, until what follows it on its line is known.
  std::optional<addon_element> pending_;
  std::uint64_t pending_line_ = 0;
  bool pending_whole_ = false;
};

// Space on a line: space, tab and CR.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Inline: it runs for every event.
inline void list_layout::pass(std::uint64_t at, std::string_view bytes, bool root_text,
                              std::vector<addon_element>& found) {
  if (pending_) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (!is_blank(bytes[i])) {
        commit(bytes[i] == '\n' && pending_whole_, at + i + 1, found);
        break;
      }
    }
  }
  std::string_view rest = bytes;
  // memrchr: string_view's rfind goes byte by byte, and most events hold no line break.
  const void* last_lf = bytes.empty() ? nullptr : ::memrchr(bytes.data(), '\n', bytes.size());
  const std::size_t lf = last_lf == nullptr ? std::string_view::npos
                                            : static_cast<const char*>(last_lf) - bytes.data();
  if (lf != std::string_view::npos) {
    line_.start = line_.place_start = at + lf + 1;
    line_.clean = line_.place_clean = root_text;
    line_.first = line_.place_first = 0;
    rest = bytes.substr(lf + 1);
  }
  for (std::size_t i = 0; line_.place_first == 0 && i < rest.size(); ++i) {
    if (!is_blank(rest[i])) {
      if (line_.first == 0)
        line_.first = rest[i];
      line_.place_first = rest[i];
    }
  }
}

}  // namespace list_reader
