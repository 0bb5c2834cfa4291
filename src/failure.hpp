// The one failure type: the step at which a run stopped, what it concerned and why. Every layer
// returns it by value, the system layer's calls as much as the editor and root's runs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "list_facts.hpp"

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
  // Root's steps before a run for a user: the file is her name, or her home.
  no_such_user,   // --user names no one in the password database
  look_up_user,   // the password database could not be read for --user's name
  user_home,      // --user: her home folder is not there to run in
  owner_unknown,  // the home's owner has no entry in the password database (the file: its uid)
  look_up_owner,  // the password database could not be read for the home's owner
  switch_user,    // a step of giving up root for her failed (`detail`: the call)
  start_child,    // the process that runs as her could not be started
  wait_child,     // root could not wait for that process
  child_timeout,  // that process ran past its deadline and was killed
  child_killed,   // that process ended by a signal
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
  unknown_user,      // no such account: the step's words say it all
  no_account,        // the owner found has no account
  root_regained,     // the process could still take root back after giving it up
  run_timeout,       // the run for a user went past its deadline, `seconds`
  killed,            // the run for a user ended by the signal `error`
};

// One failure: the step, the file or folder concerned as printed, and why. Made by the named
// constructors below, so that each kind carries the fields that its rendering reads.
struct failure {
  step at = step::enter_home;
  std::string file;  // relative to the home, or absolute where a link led; may be empty
  cause why = cause::system;
  int error = 0;  // errno, for cause::system
  list_reader::verdict problem = list_reader::verdict::ok;
  std::uint64_t line = 0;         // where the reader found the fault
  std::uint64_t begins_line = 0;  // a malformed list's: where the faulty markup began, when that
                                  // is before `line`; 0 otherwise
  std::string detail;             // expat's words for a list's fault; the call, for of_call
  std::uint64_t others = 0;       // a list's fault: other add-ons' entries read before it
  int seconds = 0;

  // The system refused a call at `at` with `error` (an errno, taken at once by the caller).
  static failure of_system(step at, std::string file, int error) {
    failure f;
    f.at = at;
    f.file = std::move(file);
    f.error = error;
    return f;
  }
  // The program refused, for a reason of its own; `error` where the system's answer led to it.
  static failure refusal(step at, std::string file, cause why, int error = 0) {
    failure f;
    f.at = at;
    f.file = std::move(file);
    f.why = why;
    f.error = error;
    return f;
  }
  // The list itself is at fault: the reader's verdict, its line (0: none) and detail, and the
  // line where the faulty markup began, kept only where that is before `line`.
  static failure of_list(step at, std::string file, list_reader::verdict problem,
                         std::uint64_t line = 0, std::string detail = {},
                         std::uint64_t begins_line = 0) {
    failure f = refusal(at, std::move(file), cause::list_problem);
    f.problem = problem;
    f.line = line;
    f.begins_line = begins_line != 0 && begins_line < line ? begins_line : 0;
    f.detail = std::move(detail);
    return f;
  }
  // A call of the system named `call` failed at `at` with `error`: the line names the call.
  static failure of_call(step at, std::string file, const char* call, int error) {
    failure f = of_system(at, std::move(file), error);
    f.detail = call;
    return f;
  }
  // Another copy held the lock past the bound, or the run for a user its deadline (`why`).
  static failure timeout(step at, std::string file, int seconds, cause why = cause::lock_timeout) {
    failure f = refusal(at, std::move(file), why);
    f.seconds = seconds;
    return f;
  }
};

// A value, or the failure that stood in its way: what a step returns where it makes something.
template <class T>
class result {
 public:
  result(T value) : held_(std::move(value)) {}  // NOLINT: a value converts, as a failure does
  result(failure f) : held_(std::move(f)) {}    // NOLINT
  explicit operator bool() const { return held_.index() == 0; }
  T& operator*() { return std::get<0>(held_); }
  const T& operator*() const { return std::get<0>(held_); }
  T* operator->() { return &std::get<0>(held_); }
  const T* operator->() const { return &std::get<0>(held_); }
  // Only where the step failed.
  const failure& error() const { return std::get<1>(held_); }
  failure& error() { return std::get<1>(held_); }

 private:
  std::variant<T, failure> held_;
};
