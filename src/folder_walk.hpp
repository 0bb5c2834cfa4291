// Folders and files under an opened home, reached one name at a time from open descriptors, and
// links on the way followed only as the run's rule allows.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "failure.hpp"
#include "unique_fd.hpp"

// Which links a walk follows, and which folders it accepts.
enum class link_rule {
  hers,        // the user's own run: her links lead where she points them, as the system has it
  roots_only,  // root keeps root: only links that root owns are followed, and every folder on
               // the way must be root's, writable by no group and no one else
};

// A folder reached, or why not: `error` (ENOENT or ENOTDIR for a folder that is not there) or,
// under roots_only, a refusal naming the folder that is not root's alone.
struct folder_walk {
  unique_fd fd;
  int error = 0;
  std::optional<failure> refused;  // step::refused_for_root, with the folder as `file`
  explicit operator bool() const { return static_cast<bool>(fd); }
  bool missing() const;  // no such folder on the way
};

// Opens the folder `path`, relative to the folder `at` or absolute, one name at a time. `shown`
// names `at` in a refusal (the walk appends the names it took). Under roots_only every folder on
// the way must be root's alone, but for the way to a link's target (`link_target`): there only
// the last; the others may be sticky folders that anyone may write, such as /tmp, where no one
// else may replace root's entries.
folder_walk open_folder(int at, std::string_view path, link_rule rule, std::string shown = {},
                        bool link_target = false);

// Where a list really lies: the folder and the name in it, after any links to it, and the path
// that failure lines print for it.
struct file_place {
  unique_fd folder;
  std::string name;
  std::string shown_folder;  // relative to the home, or absolute where a link led
  bool linked = false;       // the list is a link to this file
};

// Finds the file that `name` in `folder` is or links to, by `rule`; `shown_folder` names
// `folder` and `shown_list` the list in failure lines. A dangling link gives the place it points
// at; a failure when a link may not be followed, leads nowhere that can be opened, or can't be
// read.
std::optional<failure> locate_file(int folder, const std::string& name, std::string shown_folder,
                                   const std::string& shown_list, link_rule rule,
                                   file_place& place);

// Opens a file to read it: never through a link, never blocking on a FIFO, never a terminal.
unique_fd open_to_read(int folder, const std::string& name);

// Makes each missing folder of `path` (relative) under `at`, each relative to the one before it,
// which is opened without following a link; 0700 where the first of them is missing (a home
// without .local), else 0755. Sets `made` when any was made.
std::optional<failure> make_folders(int at, std::string_view path, bool& made);

// Others than the owner may write the folder: its group, whatever group, or anyone.
bool others_may_write(const struct stat& st);
