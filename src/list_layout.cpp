// Follows the list's lines through the reader's events, to say which lines the add-on's elements
// have to themselves and where a new entry goes.
#include "list_layout.hpp"

namespace list_reader {
void list_layout::root_opened(std::uint64_t at, std::string_view bytes) {
  if (bytes.size() >= 2 && bytes.substr(bytes.size() - 2) == "/>")
    root_slash_ = at + bytes.size() - 2;
}

entry_place list_layout::root_closed(const line_state& before, std::uint64_t at,
                                     bool self_closing) const {
  if (self_closing && root_slash_)
    return {placement::open_root, *root_slash_};
  const bool before_line =
      before.place_clean && (before.place_first == 0 || before.place_first == '<');
  if (before_line)
    return {placement::before_line, before.place_start};
  return {placement::break_line, at};
}

void list_layout::addon_opened(const line_state& before) {
  addon_line_ = before.start;
  addon_line_blank_ = before.first == 0;
  addon_place_start_ = before.place_start;
  addon_place_clean_ = before.place_clean;
  addon_starts_line_ = before.place_first == 0;
}

void list_layout::addon_closed(const addon_element& element) {
  pending_ = element;
  pending_line_ = addon_line_;
  pending_whole_ = addon_line_blank_;
  // The element goes: what follows it on its line then starts the line it started, which
  // decides where a new entry may go.
  if (addon_starts_line_) {
    line_.place_start = addon_place_start_;
    line_.place_clean = addon_place_clean_;
    line_.place_first = 0;
  }
}

void list_layout::finish(std::uint64_t end, std::vector<addon_element>& found) {
  if (pending_)
    commit(pending_whole_, end, found);
}

void list_layout::commit(bool whole_lines, std::uint64_t end, std::vector<addon_element>& found) {
  addon_element& element = *pending_;
  element.whole = whole_lines ? span{pending_line_, end} : element.bytes;
  found.push_back(element);
  pending_.reset();
}

}  // namespace list_reader
