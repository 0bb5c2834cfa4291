// The office suite's per-user add-on list: where it lies, the Quillora add-on's entry, the line
// tests, and the editor that brings the list into the installed or uninstalled state.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "failure_texts.hpp"
#include "list_reader.hpp"

// The list, relative to the home directory; messages print it in this form.
inline constexpr std::string_view list_path = ".local/share/Kingsoft/wps/jsaddons/publish.xml";

// The folder that holds the list, relative to the home directory.
inline constexpr std::string_view list_folder() {
  return list_path.substr(0, list_path.rfind('/'));
}

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

// Why a list can't be edited, or `done` when it can.
enum class rewrite_status {
  done,
  read_failed,
  write_failed,
  too_large,        // over max_list_size bytes
  malformed,        // not well-formed XML; `line` and `detail` tell where and what
  not_jsplugins,    // well formed, but its root element is not jsplugins
  not_utf8,         // install: the XML declaration names another encoding than UTF-8, in which the
                    // entry's bytes would be garbled or invalid
  entity_declared,  // the document type declares an entity; `line` tells where
  too_many_attributes,  // a start tag has more attributes than any list's; `line` tells where
  too_deep,             // an element is nested deeper than any list's; `line` tells where
  no_place,             // install: no sound place for the entry was found
};

// The largest list that is read: real lists are a few KB.
inline constexpr std::uint64_t max_list_size = 16u << 20;

// What one read of the list from its start tells. The add-on's elements are those that
// list_reader::addon_element describes; comments, character sections and instructions hold none.
struct scan_result {
  rewrite_status status = rewrite_status::done;  // done: read whole, well formed, root jsplugins
  std::uint64_t line = 0;                        // where a list that can't be edited goes wrong
  std::string detail;                            // what the XML parser found wrong there
  bool enabled_entry = false;                    // an enabled element of the add-on
  bool current_entry = false;     // the one element of the add-on, enabled, a child of the root,
                                  // whose install and url point at this build's server: the add-on
                                  // counts as installed
  bool entry = false;             // an element of the add-on, enabled or not
  bool blank = true;              // the list holds nothing but spaces, tabs, CRs and LFs
  list_reader::list_facts facts;  // all the read found, for a rewrite of the same bytes
};

// Reads `in` to its end; memory stays flat whatever its size.
scan_result scan_list(std::istream& in);

// Reads `in` to its end as scan_list does, which `read` tells about (only its status, line,
// detail and blank), and gives the add-ons that the list registers, in its order.
std::vector<list_reader::listed_entry> list_entries(std::istream& in, scan_result& read);

struct rewrite_result {
  rewrite_status status = rewrite_status::done;
  std::uint64_t line = 0;  // the 1-based number of the line that made the rewrite stop, if any
  std::string detail;
};

// Copies the list from `facts`' read, `in` from its start, to `out` byte for byte but for the
// add-on: every element of the add-on goes (with its lines, when it had them to itself), and with
// `install` this build's entry comes in on a line of its own directly before the root's closing
// tag: before the tag's line when that starts in the root's content with a tag, else on a line
// broken just before the tag; a self-closing root opens around it. A last line without an LF
// gains one. `install` refuses a list declared in another encoding than UTF-8. Anything but
// `done` means that `out` holds no usable list. A copy, not a parse.
rewrite_result rewrite_from(const list_reader::list_facts& facts, std::istream& in,
                            std::ostream& out, bool install);

// rewrite_from after one read of `in`, which must be seekable.
rewrite_result rewrite_list(std::istream& in, std::ostream& out, bool install);

// The last check before a rewritten list replaces the old one, with one parse of `fresh`: it is
// well formed, holds every element, attribute, comment, instruction and text of the old list
// that `old` tells of, in order (text compared without the space at its ends), and of the add-on
// exactly this build's enabled entry as a child of the root (`install`) or nothing.
bool rewrite_is_sound(const list_reader::list_facts& old, std::istream& fresh, bool install);

// Brings the list under $HOME into the state that `mode` asks for: 0 installs (an enabled entry
// present, the list created if there is none), any other value uninstalls (no enabled entry
// left: when there is one, every entry line goes; disabled entries alone are left as they are).
// Reports each step on stdout and each failure as one line on stderr. Leaves the working
// directory at $HOME. The list is only ever replaced whole, by a complete and synced copy, under
// a lock on its folder; on failure it is as it was. Returns whether the list ended in the
// requested state, durably.
bool write_file(int mode);

// How a run of the editor is asked for, beyond its mode.
struct edit_options {
  bool quiet = false;           // no progress lines on stdout; failure lines still go to stderr
  std::optional<int> home;      // the home folder, opened by the caller, that the run works in
                                // instead of looking $HOME up again; -1: it could not be opened
  bool create_folders = false;  // install: create the list's missing folders first, as the user,
                                // never through a link (0700 under a home without .local)
};

// What a run did with one list.
struct list_report {
  std::string list;  // relative to the home
  bool ok = false;
  bool changed = false;
  std::string error;  // its failure line, without its newline
  failure_kind reason = failure_kind::none;
  std::uint64_t failed_line = 0;
};

// What one run of the editor did.
struct edit_report {
  bool ok = false;       // what write_file returns
  bool changed = false;  // a new list took the old one's place, or was created, in any list
  std::string error;     // the run's failure line on stderr, without its newline; empty if none
  std::vector<list_report> lists;  // each list edited, the home's own first
  // What a person is told of the failure (as failure_texts words it), the list concerned and the
  // line at fault; none when the run succeeded.
  failure_kind reason = failure_kind::none;
  std::string failed_list;
  std::uint64_t failed_line = 0;
};

// The lists of sandboxed copies of the suite under the home open as `home` (a folder, or
// AT_FDCWD), relative to it: .var/app/*/data/…, snap/*/current/.local/share/… and
// .linglong/*/share/… each with Kingsoft/wps/jsaddons/publish.xml, wherever that copy's
// Kingsoft/wps/jsaddons folder exists (its list may not yet), in the order of their names.
std::vector<std::string> sandbox_lists(int home);

// The folders under the home, relative to it, that a run may open on its way to the lists: the
// home's own list folder and where sandboxes keep their apps' homes.
inline std::vector<std::string> folders_to_check() {
  return {std::string(list_folder()), ".var/app", "snap", ".linglong"};
}

// write_file with options, telling what it did.
edit_report edit_file(int mode, const edit_options& options);

// Where the add-on stands in the list under $HOME.
enum class list_state {
  enabled,     // an enabled entry stands in the list
  disabled,    // entries stand in the list, none of them enabled
  absent,      // no entry: no list, an empty one, or one without the add-on
  unreadable,  // the list could not be read; one line on stderr says why
};

// Reads the list under $HOME (or under `home`, a folder the caller opened, as edit_options has
// it), through a link to it if there is one, and tells where the add-on stands. Changes nothing,
// creates nothing, takes no lock and prints nothing on stdout: the list is only ever replaced
// whole, so one read sees either the old list or the new one.
// `list` names another list than the home's own, one of sandbox_lists.
list_state read_list_state(std::optional<int> home = std::nullopt,
                           std::string_view list = list_path);

// The add-ons that the list under $HOME registers, children of its root, in its order; read as
// read_list_state reads it. Empty without a list; nothing when it can't be read or is refused,
// with one line on stderr, which last_failure() then gives.
std::optional<std::vector<list_reader::listed_entry>> read_list_entries(
    std::optional<int> home = std::nullopt, std::string_view list = list_path);

// How long a run waits for another copy to finish with the list, in whole seconds: 30, or
// QUILLORA_LOCK_TIMEOUT's value, which tests lower.
int lock_wait_seconds();

// The text of the last failure line that the editor printed on stderr, without its newline.
std::string last_failure();
