// Finds the lists under a home that the suite's copies read.
#include "home_lists.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "addon_list.hpp"

namespace {

// Where each kind of sandbox keeps an app's home, and where in it the suite's folder lies.
struct sandbox_kind {
  std::string_view apps;
  std::string_view folder;
};
constexpr sandbox_kind kinds[] = {
    {".var/app", "data/Kingsoft/wps/jsaddons"},
    {"snap", "current/.local/share/Kingsoft/wps/jsaddons"},
    {".linglong", "share/Kingsoft/wps/jsaddons"},
};

// The names of the apps in `apps`, in order; none when it can't be read.
std::vector<std::string> app_names(int apps) {
  std::vector<std::string> names;
  const int fd = ::dup(apps);
  if (fd < 0)
    return names;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* app = ::readdir(dir)) {
    if (app->d_name[0] != '.')
      names.emplace_back(app->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool refused_for_root(const failure& f) {
  return f.at == step::refused_for_root;
}

void add_sandboxes(int home, link_rule rule, const sandbox_kind& kind,
                   std::vector<list_place>& found) {
  const std::string apps_path(kind.apps);
  result<unique_fd> apps = open_folder(home, apps_path, rule);
  if (!apps && refused_for_root(apps.error())) {
    found.push_back({apps_path, apps_path, std::move(apps)});
    return;
  }
  if (!apps)
    return;
  const std::string file(list_path.substr(list_folder().size() + 1));
  for (const std::string& app : app_names(apps->get())) {
    const std::string folder = app + "/" + std::string(kind.folder);
    result<unique_fd> walk = open_folder(apps->get(), folder, rule, apps_path);
    if (walk || refused_for_root(walk.error()))
      found.push_back({apps_path + "/" + folder + "/" + file, app, std::move(walk)});
  }
}

}  // namespace

std::vector<list_place> lists_in_home(int home, link_rule rule, bool home_list_anyway) {
  std::vector<list_place> found;
  list_place own{std::string(list_path), {}, open_folder(home, list_folder(), rule)};
  for (const sandbox_kind& kind : kinds)
    add_sandboxes(home, rule, kind, found);
  if (found.empty() || own.folder || !folder_missing(own.folder.error()) || home_list_anyway)
    found.insert(found.begin(), std::move(own));
  return found;
}
