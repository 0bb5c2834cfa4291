// Reads an add-on list as a stream, once through: libxml2 says whether it is well-formed XML,
// and a scanner of its markup finds, by byte offset, the add-on's elements and the place for a
// new entry. Comments, character sections and instructions are text to it, never markup.
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace list_reader {

// Real lists are a few KB; a larger file is no add-on list, or one no one should wait for.
inline constexpr std::uint64_t max_list_size = 16u << 20;

// What marks the add-on's entry, on a line or in a start tag, and what disables it.
inline constexpr std::string_view needle_element = "jspluginonline";
inline constexpr std::string_view needle_name = "name=\"";
inline constexpr std::string_view needle_addon = "Quillora插件";
inline constexpr std::string_view needle_false = "false";

// Bytes [begin, end) of the list.
struct span {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// One element of the add-on: its start tag holds "jspluginonline", `name="` and "Quillora插件".
struct addon_element {
  span bytes;            // start tag to end tag
  span whole;            // the same, or its whole lines with their LF when nothing else is on them
  bool enabled = false;  // "false" nowhere in its start tag
  bool in_root = false;  // a child of the root element
  bool current = false;  // its install and url values point at this build's origin
};

// Where and how a new entry goes, directly before the root's closing tag.
enum class placement {
  before_line,  // the closing tag's line starts in the root's content with a tag: a line of its
                // own before that line
  break_line,   // other markup stands before the closing tag on its line: the line is broken
                // there and the entry gets a line of its own
  open_root,    // the root is one self-closing tag: it opens, the entry, then it closes
};

enum class verdict {
  ok,
  read_failed,    // the stream went bad
  too_large,      // more than max_list_size bytes
  malformed,      // not well-formed XML: `line` and `detail` say where and what
  not_jsplugins,  // well formed, but the root element is another: `line` says where it starts
};

// What one read of the list tells.
struct list_facts {
  verdict status = verdict::ok;
  std::uint64_t line = 0;
  std::string detail;
  bool blank = true;  // nothing but spaces, tabs, CRs and LFs
  std::vector<addon_element> addons;
  placement place = placement::before_line;
  std::uint64_t insert_at = 0;  // before_line: the line's start; break_line: the closing tag;
                                // open_root: the '/' of the root's "/>"
};

// Reads `in` to its end. Memory stays flat, but for one record an element of the add-on.
list_facts read_list(std::istream& in, std::string_view origin);

// One add-on that the list registers: a jsplugin (offline) or jspluginonline (online) element, a
// child of the root.
struct listed_entry {
  std::string name;
  bool online = false;
  std::string type;
  bool enabled = false;  // the add-on's own entry: "false" nowhere in its start tag; any other:
                         // its enable value is not "false"
  std::string url;
  bool quillora = false;  // an element of the add-on, as install and uninstall find them
};

// The add-ons that the list registers, in its order; `facts` tells whether the list could be read
// (on anything but ok, the entries mean nothing).
std::vector<listed_entry> entries_of(std::istream& in, std::string_view origin, list_facts& facts);

// One event of a list as the office suite reads it, elements of the add-on left out.
struct what_the_suite_reads {
  int kind = 0;
  std::string name;
  std::string value;
  bool operator==(const what_the_suite_reads& o) const {
    return kind == o.kind && name == o.name && value == o.value;
  }
};

// What a well-formed list holds besides the add-on, in order, and the add-on's elements. Text is
// compared without the white space at its ends, and across a removed element it is one text:
// taking an entry out, or putting one in on a line of its own, changes only space between tags.
class suite_view {
 public:
  // `origin` is this build's: the entry that install puts in points at it.
  suite_view(std::istream& in, std::string_view origin);
  ~suite_view();
  suite_view(const suite_view&) = delete;
  suite_view& operator=(const suite_view&) = delete;

  // The next event; false at the end of the list or when it can't be read as well-formed XML.
  bool next(what_the_suite_reads& event);
  // Whether the whole list was read and found well formed, once next() gave false.
  bool complete() const;
  // The add-on's elements passed over so far, and those of them that are exactly this build's
  // enabled entry, a child of the root.
  std::uint64_t addons() const;
  std::uint64_t entries() const;

 private:
  struct impl;
  impl* impl_;
};

}  // namespace list_reader
