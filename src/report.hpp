// The record of one run: per list, what the editor found there and what it did. The console, the
// window's notice and --json are renderings of it; nothing else carries a run's results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "addon_list.hpp"
#include "failure.hpp"
#include "list_facts.hpp"

// What a run is asked to do with the lists under a home.
enum class mode {
  install,    // the add-on's one enabled entry present in every list
  uninstall,  // no element of the add-on left where one was enabled
  status,     // where the add-on stands; reads only
  list,       // every add-on the lists register; reads only
};

// What the run did to one list; the decision that its console line tells.
enum class action {
  none,     // nothing to do, or not got that far
  created,  // a new list, where there was none or a blank one
  kept,     // install: the add-on was there as install would leave it
  added,    // install: the entry went in, every other element of the add-on out
  removed,  // uninstall: every element of the add-on went out
};

// One list under the home, and what the run found and did there.
struct list_record {
  std::string path;     // relative to the home
  std::string sandbox;  // the sandboxed app that reads it; empty for the home's own list
  bool found = false;   // the list was there when the run came to it
  std::optional<addon_state> before;  // unknown when it could not be read
  std::optional<addon_state> after;   // the same; for reading modes, equal to before
  action did = action::none;
  bool folders_made = false;  // --create-folders made the list's folders
  bool changed = false;       // a new list took the old one's place, or was created
  std::optional<failure> failed;
  std::vector<list_reader::listed_entry> addons;  // --list: the add-ons it registers
};

// One run of the editor under one home.
struct run_report {
  mode what = mode::install;
  std::optional<std::string> home;     // HOME as it was set
  std::string cwd;                     // the working folder, as the system tells it
  std::optional<failure> home_failed;  // HOME unset, or the home not entered: no list was seen
  std::optional<failure> cwd_failed;   // the working folder could not be told; the run went on
  std::vector<list_record> lists;      // the home's own first, then the sandboxes' in order
};

// Every list reached the state asked for (or was read), and the home was entered.
bool succeeded(const run_report& run);
// Some list changed, whatever else failed.
bool changed(const run_report& run);
// The last failure of the run, the one its last stderr line tells; none when it succeeded.
const failure* last_failure(const run_report& run);
// Where the add-on stands over every list: enabled only where enabled in all, disabled where any
// element of it stands anywhere; nothing when any list's state is unknown.
std::optional<addon_state> overall_state(const run_report& run);
