// Replaces a file in an open folder by a complete, synced and checked copy in one rename, so that
// the file is at every moment either the old one or the new one.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "failure.hpp"

// What to replace, and how the copy is made and checked.
struct replacement {
  int folder;                      // the open folder that holds the file
  std::string name;                // the file's name in it; its copy is the name with ".tmp" behind
  std::string shown;               // the file as failure lines name it
  std::string shown_folder;        // the folder as failure lines name it
  std::optional<struct stat> old;  // the file being replaced, whose owner and mode the copy keeps
  // Writes the copy; a failure of its own (a write error is found by the caller).
  std::function<std::optional<failure>(std::ostream&)> fill;
  // Reads the synced copy from its start: whether it may take the file's place. None: no check.
  std::function<bool(std::istream&)> check;
};

// How a replacement ended.
struct replaced_file {
  bool replaced = false;  // the rename was done, also where the folder's sync then failed
  std::optional<failure> failed;
};

// Makes the copy beside the file with the old file's owner (where the run may give it) and
// permission bits, fills, syncs, checks and closes it, renames it over the file and syncs the
// folder. Any copy left by a run that crashed goes first; a copy of this run's goes when it gives
// up.
replaced_file replace_file(const replacement& what);
