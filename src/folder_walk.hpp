// Folders and files reached from open descriptors one name at a time, by one walk whose rules say
// which links it follows, which folders must be root's alone and whether it makes what is missing.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "failure.hpp"
#include "unique_fd.hpp"

// Which links a walk follows, and whose folders it accepts.
enum class link_rule {
  hers,        // the user's own run: her links lead where she points them, as the system has it
  roots_only,  // root keeps root: only links that root owns are followed, and the folders on the
               // way must be root's (how strictly, `strictness` says)
  none,        // no link at all: a link where a folder should be is refused as one
};

// Under roots_only, which folders of a path must also be writable by no group and no one else:
// every one, the last one only (the others may be sticky folders that anyone may write, such as
// /tmp, where no one else may replace root's entries), or none beyond that sticky rule.
enum class strictness { every, last, none };

// The rules of one walk.
struct walk_rules {
  link_rule links = link_rule::hers;
  strictness strict = strictness::every;
  step at = step::open_folder;  // the step that a failure of the system is reported at
  mode_t make = 0;              // not 0: a missing folder is made, with this mode
  bool to_file = false;     // the last name is a file's: a link there is followed, and the file is
                            // not opened; a path that ends in "/" or "/." names a folder: EISDIR
  bool find_owner = false;  // root's check of whose run it is (roots_only): the walk stops at the
                            // first name that root does not own, or that can't be looked at, and
                            // notes the first folder that others may write instead of refusing it
};

// Where a walk ended.
struct walk_end {
  unique_fd folder;     // the folder it ended in; for to_file, the one that holds the file
  std::string shown;    // that folder as lines print it: the walk's start as named, then each name
  std::string name;     // to_file: the file's name in `folder` (it may not be there)
  bool linked = false;  // to_file: a link led to the file
  bool made = false;    // a missing folder was made
  std::optional<uid_t> owner;  // find_owner: the first owner other than root; the walk stopped
  std::string shared;          // find_owner: the first root folder on the way that others may write
  int stopped = 0;             // find_owner: the errno of the name that could not be looked at
};

// Walks from the folder `at` (AT_FDCWD: the working folder) along `path`, relative or absolute, by
// `rules`; `shown` names `at` in lines. "." and empty names are skipped and are never the last
// name: the folder that the walk ends in is the one checked as the last. Links count toward one
// bound of 40 over the whole walk, as the kernel's. A failure of the system is reported at
// `rules.at` with the path walked so far (at step::access_target once to_file followed a link); a
// folder that is not root's alone as step::refused_for_root; a link where `rules.links` is none,
// at `rules.at` with cause::is_link.
result<walk_end> walk(int at, std::string_view path, const walk_rules& rules,
                      std::string shown = {});

// The walk to the folder `path` under `at` by `rule`, every folder on the way checked. The
// failure is the system's error at step::open_folder (see folder_missing), or under roots_only a
// refusal at step::refused_for_root naming the folder that is not root's alone.
result<unique_fd> open_folder(int at, std::string_view path, link_rule rule,
                              std::string shown = {});

// The failure says that there is no such folder on the way: not there, or a file in its place.
bool folder_missing(const failure& f);

// Where a list really lies: the folder and the name in it, after any links to it, and the path
// that failure lines print for it.
struct file_place {
  unique_fd folder;
  std::string name;
  std::string shown_folder;  // relative to the home, or absolute where a link led
  bool linked = false;       // the list is a link to this file
};

// Finds the file that `name` in `folder` is or links to, by `rule`; `shown_folder` names
// `folder` and `shown_list` the list in failure lines. A missing file gives its place; a link to
// nothing a failure with cause::dangling_link; a failure too when a link may not be followed,
// leads nowhere that can be opened, or can't be read.
result<file_place> locate_file(int folder, const std::string& name, std::string shown_folder,
                               const std::string& shown_list, link_rule rule);

// Opens a file to read it: never through a link, never blocking on a FIFO, never a terminal.
// The failure names the file `shown`, at step::open_list, with the system's error (ENOENT: none).
result<unique_fd> open_to_read(int folder, const std::string& name, const std::string& shown);

// Makes each missing folder of `path` (relative) under `at`, never through a link; 0700 where the
// first of them is missing (a home without .local), else 0755. Gives whether any was made.
result<bool> make_folders(int at, std::string_view path);

// Others than the owner may write the folder: its group, whatever group, or anyone.
bool others_may_write(const struct stat& st);
