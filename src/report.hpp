// The record of one run: per list, what the editor found there and what it did. The console, the
// window's notice and --json are renderings of it; nothing else carries a run's results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "addon_list.hpp"
#include "list_reader.hpp"

// What a run is asked to do with the lists under a home.
enum class mode {
  install,    // the add-on's one enabled entry present in every list
  uninstall,  // no element of the add-on left where one was enabled
  status,     // where the add-on stands; reads only
  list,       // every add-on the lists register; reads only
};

// The step at which a run stopped, which gives its console line's first words.
enum class step {
  home_unset,        // HOME is not set
  enter_home,        // the home folder could not be entered
  read_cwd,          // the system did not tell the working folder (the run goes on)
  access_list,       // the list's own entry in its folder could not be looked at
  access_target,     // the file that the list links to could not be looked at
  create_list,       // install: no list and no folder to make one in
  open_folder,       // the list's folder could not be opened
  lock_folder,       // the lock on the list's folder was not had
  open_list,         // the list could not be opened or is no list to read
  edit_refused,      // the list is not a regular file: no list to edit
  read_list,         // reading the opened list failed
  modify_list,       // the list can't be edited as it is, or the copy failed its check
  remove_stale,      // a temporary list left by a crash could not be removed
  create_temp,       // the temporary list could not be created
  temp_mode,         // the temporary list could not be given the list's owner and mode
  write_temp,        // writing the temporary list failed
  sync_temp,         // the temporary list could not be synced
  read_temp,         // the synced temporary list could not be read back
  close_temp,        // closing the temporary list failed
  replace_list,      // the rename over the list failed
  sync_folder,       // the folder could not be synced after the rename
  create_folder,     // --create-folders: a folder could not be made
  refused_for_root,  // root keeps root, and the folder is not root's alone: no edit
  read_refused,      // the same, for a run that only reads
};

// Why a step failed, beyond the system's error.
enum class cause {
  system,            // `error` says it
  not_regular,       // the list is no regular file
  list_problem,      // the list itself: `problem`, `line`, `detail`
  check_failed,      // the new copy is not the old list with the add-on's edit alone
  lock_timeout,      // another copy held the lock past the bound, `seconds`
  dangling_link,     // the list links to nothing
  is_link,           // a folder to be made is a link
  not_roots,         // root keeps root, and the folder belongs to someone else
  others_may_write,  // root keeps root, and others may write the folder
};

// One failure: the step, the file or folder concerned as printed, and why.
struct failure {
  step at = step::enter_home;
  std::string file;  // relative to the home, or absolute where a link led; may be empty
  cause why = cause::system;
  int error = 0;  // errno, for cause::system
  list_reader::verdict problem = list_reader::verdict::ok;
  std::uint64_t line = 0;
  std::string detail;
  int seconds = 0;
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
