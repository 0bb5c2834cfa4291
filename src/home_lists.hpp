// The add-on lists under a home: the home's own, and each sandboxed copy's of the suite, found by
// one rule for every mode.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "failure.hpp"
#include "folder_walk.hpp"
#include "unique_fd.hpp"

// One list that a run concerns, and its folder as the search opened it.
struct list_place {
  std::string path;     // relative to the home
  std::string sandbox;  // the sandboxed app whose copy of the suite reads it; empty: the home's
  result<unique_fd> folder;  // the list's folder, or why not: missing, refused for root, …
};

// The lists under the home open as `home`, in order: the home's own list, then each sandboxed
// copy's (Flatpak .var/app/*/data/…, Snap snap/*/current/.local/share/…, Linglong
// .linglong/*/share/…, each with Kingsoft/wps/jsaddons/publish.xml) wherever that copy's
// Kingsoft/wps/jsaddons folder is there, or where root may not look (a folder not root's alone,
// under roots_only), in the order of their names within each kind. The home's own list counts
// where its folder is there, where no other list is, or where `home_list_anyway`.
std::vector<list_place> lists_in_home(int home, link_rule rule, bool home_list_anyway);
