// What a read of a list tells and the bounds it reads within: the words that the reader, its
// parts and its callers share, below every part of the reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace list_reader {

// Real lists are a few KB; a larger file is no add-on list, or one no one should wait for.
inline constexpr std::uint64_t max_list_size = 16u << 20;

// Real entries have a handful of attributes; a start tag with more is refused, so that no list
// makes the reader keep or compare more than that many at once.
inline constexpr std::size_t max_attributes = 256;

// Real lists nest three levels deep; an element deeper than this is refused, so that no list
// makes the parser keep more open elements than that.
inline constexpr int max_depth = 256;

// Real lists use a handful of element and attribute names and declare no attributes. expat keeps
// a table entry for each distinct name and each attribute a document type declares, for as long
// as the parse runs, so past this many the list is refused: its tables stay a few MiB.
inline constexpr std::size_t max_names = 4096;

// --list keeps every entry that it shows until the list is read; real lists register tens. Past
// this many, or past this many bytes of their names, types and urls (an attribute's declared
// default gives each entry the same value again), the list is refused for --list.
inline constexpr std::size_t max_listed_entries = 100000;
inline constexpr std::size_t max_listed_bytes = 16u << 20;

// The add-on's name, as the suite reads it in the name attribute, and the element of an online
// add-on's entry.
inline constexpr std::string_view addon_name = "Quillora插件";
inline constexpr std::string_view online_element = "jspluginonline";

// Bytes [begin, end) of the list.
struct span {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// One element of the add-on: a jspluginonline or jsplugin child of the root whose name, as XML
// reads it, is exactly "Quillora插件". Elements inside it are part of it.
struct addon_element {
  span bytes;            // start tag to end tag
  span whole;            // the same, or its whole lines with their LF when nothing else is on them
  bool enabled = false;  // its enable value, as XML reads it, is not "false"
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
  read_failed,          // the stream went bad
  too_large,            // more than max_list_size bytes
  malformed,            // not well-formed XML: `line` and `detail` say where and what
  not_jsplugins,        // well formed, but the root element is another: `line` says where it starts
  entity_declared,      // its document type declares an entity: `line` says where
  too_many_attributes,  // a start tag has more than max_attributes: `line` says where it starts
  too_deep,             // an element is nested deeper than max_depth: `line` says where it starts
  too_many_names,       // more than max_names distinct names and declared attributes: `line`
                        // says where the one past the bound stands
  too_many_entries,     // --list: more than max_listed_entries entries, or their values past
                        // max_listed_bytes: `line` says where the entry past the bound starts
  not_utf8,  // the XML declaration names another encoding than UTF-8 (`detail`, escaped as
             // printable does): in every mode one that expat does not read (GBK, say), which it
             // would misread; and an edit of one it reads (UTF-16, ISO-8859-1), since the
             // entry's UTF-8 bytes would be garbled or invalid there and the rest is copied as
             // it is
  // What only an edit finds:
  no_place,         // install: no sound place for the entry was found
  grows_too_large,  // install: the list with the entry would pass max_list_size, and so be
                    // refused by the check and by every later read
};

// The most bytes of an entry's name, type or url that are kept: real ones are tens of bytes.
inline constexpr std::size_t max_entry_value = 4096;

// One add-on that the list registers: a jsplugin (offline) or jspluginonline (online) element, a
// child of the root. Its name, type and url are the values as XML reads them (empty without
// one), a longer one cut to max_entry_value bytes where a character starts, and "…" behind.
struct listed_entry {
  std::string name;
  bool online = false;
  std::string type;
  bool enabled = false;  // its enable value, as XML reads it, is not "false"
  std::string url;
  bool quillora = false;  // an element of the add-on, as install and uninstall find them
};

// A digest of a stream of events: equal digests mean, but for a chance of 2^-128, equal streams.
struct digest {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  bool operator==(const digest& o) const { return high == o.high && low == o.low; }
  bool operator!=(const digest& o) const { return !(*this == o); }
};

// What one read of the list tells.
struct list_facts {
  verdict status = verdict::ok;
  std::uint64_t line = 0;
  std::string detail;
  std::uint64_t begins_line = 0;  // malformed: the line where the faulty markup began, where that
                                  // is before `line`; 0 otherwise
  bool blank = true;              // nothing but spaces, tabs, CRs and LFs
  std::vector<addon_element> addons;
  placement place = placement::before_line;
  std::uint64_t insert_at = 0;  // before_line: the line's start; break_line: the closing tag;
                                // open_root: the '/' of the root's "/>"
  std::string encoding;         // as the XML declaration names it; empty without one
  // Everything the office suite reads in the list but the add-on's elements, in order: each
  // element with its attributes, comment, instruction, document type and entity reference, and
  // text without the space at its ends (one text across a left-out element).
  digest rest;
  std::uint64_t entries = 0;  // elements of the add-on that register this build's enabled
                              // entry, as is_exact_entry tells
  std::uint64_t others = 0;   // other add-ons' entries in a <jsplugins> root, as far as it was read
};

// Whether `encoding`, a name from an XML declaration, spells UTF-8 as XML processors take it:
// "UTF-8", "UTF8", "utf_8" and "unicode-1-1-utf-8", whatever the case of their letters. The
// reader reads a list so declared as UTF-8 and the rewrite puts the entry's UTF-8 bytes in it.
inline bool utf8_spelling(std::string_view encoding) {
  // The names of UTF-8 that libxml2, Python and Java all take, so that no other reader of the
  // list takes it for another encoding.
  static constexpr std::string_view spellings[] = {"utf-8", "utf8", "utf_8", "unicode-1-1-utf-8"};
  for (const std::string_view s : spellings) {
    if (s.size() == encoding.size() &&
        std::equal(s.begin(), s.end(), encoding.begin(), [](char a, char b) {
          return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
        }))
      return true;
  }
  return false;
}

}  // namespace list_reader
