// The office suite's per-user add-on list: where it lies, the Quillora add-on's entry, how a read
// of a list tells where the add-on stands, the edit that brings it into the state asked for, and
// `write_file`, the editor's entry for the window.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "list_facts.hpp"

// The list, relative to the home directory; messages print it in this form.
inline constexpr std::string_view list_path = ".local/share/Kingsoft/wps/jsaddons/publish.xml";

// The folder that holds the list, relative to the home directory.
inline constexpr std::string_view list_folder() {
  return list_path.substr(0, list_path.rfind('/'));
}

// The add-on's entry: one self-closing element, unindented, with no line terminator.
std::string_view addon_entry();

// The publishing server's origin that the entry points at, as the build set it.
std::string_view server_origin();

// The list that the program writes where there was none: declaration, root, entry; LF line ends.
std::string list_skeleton();

// Where the add-on stands in one list.
enum class addon_state {
  enabled,   // exactly what install leaves: one element of the add-on, this build's enabled
             // entry, a child of the root; install has nothing to do
  disabled,  // some element of the add-on is there, but not so
  absent,    // no element of the add-on: no list, a blank one, or one without it
};

// Where the add-on stands in a list read whole and found sound; install and --status both judge
// by it, so they never disagree.
addon_state state_of(const list_reader::list_facts& facts);

// Uninstall has something to take out: an enabled element of the add-on stands in the list.
bool enabled_somewhere(const list_reader::list_facts& facts);

// How an edit of a list ended: ok, or why it can't be made, and where.
struct rewrite_result {
  list_reader::verdict status = list_reader::verdict::ok;
  std::uint64_t line = 0;
  std::string detail;
};

// Copies the list from `facts`' read, `in` from its start, to `out` byte for byte but for the
// add-on: every element of the add-on goes (with its lines, when it had them to itself), and with
// `install` this build's entry comes in on a line of its own directly before the root's closing
// tag: before the tag's line when that starts in the root's content with a tag, else on a line
// broken just before the tag; a self-closing root opens around it. A last line without an LF
// gains one. `install` refuses a list declared in another encoding than UTF-8. Anything but ok
// means that `out` holds no usable list; a failed read or write shows in the streams. A copy,
// not a parse.
rewrite_result rewrite_from(const list_reader::list_facts& facts, std::istream& in,
                            std::ostream& out, bool install);

// The last check before a rewritten list replaces the old one, with one parse of `fresh`: it is
// well formed, holds every element, attribute, comment, instruction and text of the old list
// that `old` tells of, in order (text compared without the space at its ends), and of the add-on
// exactly this build's enabled entry as a child of the root (`install`) or nothing.
bool rewrite_is_sound(const list_reader::list_facts& old, std::istream& fresh, bool install);

// Brings the list under $HOME, and every sandboxed copy's, into the state that `mode` asks for:
// 0 installs (an enabled entry present, the list created if there is none), any other value
// uninstalls. Reports each step on stdout and each failure as one line on stderr, and leaves the
// working directory at $HOME. Returns whether every list ended in the requested state, durably.
bool write_file(int mode);
