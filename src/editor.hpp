// The editor: runs a mode over every list under the home and returns what it found and did in
// each, printing nothing.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "report.hpp"

// What one run is asked for.
struct edit_request {
  mode what = mode::install;
  bool create_folders = false;  // install: make the home's list folders first, never through a
                                // link (0700 under a home without .local)
  // A run where root keeps root: the home that root's walk opened, which the run enters instead
  // of looking $HOME up again, or why the walk opened none; links are then followed only where
  // root owns them, and folders on the way must be root's alone. Nothing: the run is the user's.
  std::optional<result<int>> home;
  // HOME as the entry read it, once, before the run: the home whose lists the run is for (none:
  // HOME is unset).
  std::optional<std::string> home_path;
  // Called from the editor's thread with true when a list has been held by another copy for over
  // a second, and with false when that wait is over, either way.
  std::function<void(const std::string& list, bool waiting)> on_wait;
};

// What the reader found in a list's place, as far as what to do with it depends on it.
struct found_list {
  bool present = false;  // a file was there and was read
  bool blank = false;    // it holds nothing but spaces
  addon_state state = addon_state::absent;
  bool enabled = false;  // some element of the add-on in it is enabled
};

// What an edit does with one list, from the mode and what the reader found there: install
// creates a list where there is none or a blank file, keeps one where the add-on is enabled and
// adds the entry to any other; uninstall removes the add-on where any element of it is enabled;
// all else is left as it is.
action decide(mode what, const found_list& found);

// HOME as the environment holds it now, for an entry to hand to the editor.
std::optional<std::string> home_variable();

// Enters the request's home (the working folder stays there), finds its lists and brings each into
// the state asked for, or reads it. A list is only ever replaced whole, by a complete, checked
// and synced copy, under a lock on its folder; where that fails it is as it was. One list's
// failure does not stop the others.
run_report run_editor(const edit_request& request);
