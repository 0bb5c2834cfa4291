// The office suite's per-user add-on list: where it lies, the Quillora add-on's entry, the line
// tests, and the editor that brings the list into the installed or uninstalled state.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

// The list, relative to the home directory; messages print it in this form.
inline constexpr std::string_view list_path = ".local/share/Kingsoft/wps/jsaddons/publish.xml";

// Appended to the path of the file being replaced to name its temporary copy.
inline constexpr std::string_view temp_suffix = ".tmp";

// The add-on's entry: one self-closing element, unindented, with no line terminator.
std::string_view addon_entry();

// The publishing server's origin that the entry points at, as the build set it.
std::string_view server_origin();

// The list that the program writes where there was none: declaration, root, entry; LF line ends.
std::string list_skeleton();

// Entry line: holds "jspluginonline", `name="` and "Quillora插件", anywhere and in any order.
// Another add-on's line that happens to hold all three counts too.
bool is_entry_line(std::string_view line);
// An entry line that holds "false" nowhere.
bool is_enabled_entry(std::string_view line);
// Holds the root's closing tag.
bool is_closing_line(std::string_view line);

// What one read of the list from its start tells.
struct scan_result {
  bool enabled_entry = false;  // an enabled entry stands in the list
  bool entry = false;          // an entry line, enabled or not, was read
  bool blank = true;           // the list holds nothing but spaces, tabs, CRs and LFs
  bool read_failed = false;    // the stream went bad before its end
};

// Reads `in` up to its first enabled entry line, or to its end.
scan_result scan_list(std::istream& in);

enum class rewrite_status {
  done,
  read_failed,
  write_failed,
  no_closing_line,         // install: no line holds the root's closing tag
  closing_not_in_root,     // install: the first closing-tag line holds the opening tag too,
                           // or comes before any line that does
  closing_line_continues,  // install: the first closing-tag line starts with something other
                           // than '<', and may be the rest of a tag on the line before
  entry_shares_line,       // an entry line holds markup besides the one element
  not_utf8,                // install: the XML declaration names another encoding than UTF-8,
                           // in which the entry's bytes would be garbled or invalid
};

// How far into the list an XML declaration must end for its encoding to count.
inline constexpr std::size_t declaration_limit = 4096;

struct rewrite_result {
  rewrite_status status = rewrite_status::done;
  std::uint64_t line = 0;  // the 1-based number of the line that made the rewrite stop, if any
};

// Copies the list from `in` to `out`, line by line, each copied line followed by one LF, and
// drops every entry line. With `install`, the add-on entry and an LF go directly before the
// first closing-tag line. Anything but `done` means that `out` holds no usable list. `in` must
// be seekable: a line longer than the reader's buffer is read twice rather than held whole, so
// memory stays the same whatever the size of the list or of its lines.
rewrite_result rewrite_list(std::istream& in, std::ostream& out, bool install);

// Brings the list under $HOME into the state that `mode` asks for: 0 installs (an enabled entry
// present, the list created if there is none), any other value uninstalls (no enabled entry
// left: when there is one, every entry line goes; disabled entries alone are left as they are).
// Reports each step on stdout and each failure as one line on stderr. Leaves the working
// directory at $HOME. The list is only ever replaced whole, by a complete and synced copy, under
// a lock on its folder; on failure it is as it was. Returns whether the list ended in the
// requested state, durably.
bool write_file(int mode);

// Where the add-on stands in the list under $HOME.
enum class list_state {
  enabled,     // an enabled entry stands in the list
  disabled,    // entries stand in the list, none of them enabled
  absent,      // no entry: no list, an empty one, or one without the add-on
  unreadable,  // the list could not be read; one line on stderr says why
};

// Reads the list under $HOME, through a link to it if there is one, and tells where the add-on
// stands. Changes nothing, creates nothing, takes no lock and prints nothing on stdout: the list
// is only ever replaced whole, so one read sees either the old list or the new one.
list_state read_list_state();
