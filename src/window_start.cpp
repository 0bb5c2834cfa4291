// Before the window: the command line read, a mode run without GTK, and root's decision whose
// window it is, all before GTK parses or loads anything.
#include "window_start.hpp"

#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "command.hpp"
#include "options.hpp"
#include "printable.hpp"
#include "render_text.hpp"
#include "run_as_user.hpp"
#include "texts.hpp"

namespace {

// GTK reads the home's settings, CSS, themes and modules as it starts, and loads what
// GTK_MODULES names: started by root, the window is the home owner's before anything of GTK's
// runs, as the command line's runs are, and never root's. For a home that root keeps (or one
// that can't be looked at), the console says what serves root's own lists instead. False, after
// its line, where the window is not to start.
bool window_for_home_owner() {
  if (geteuid() != 0)
    return true;
  const result<home_check> found = check_home(folders_to_check(), false);
  std::optional<failure> refused;
  if (!found)
    refused = found.error();
  else if (found->verdict == home_check::user)
    refused = become(found->owner);
  else {
    std::string line(found->home && *found->home ? texts::window_on_roots_home
                                                 : texts::window_as_root);
    const std::size_t mark = line.find("{home}");
    if (mark != std::string::npos)
      line.replace(mark, 6, printable(std::getenv("HOME") ? std::getenv("HOME") : ""));
    print_line(true, line);
    return false;
  }
  if (refused) {
    print_line(true, failure_line(*refused));
    return false;
  }
  return true;
}

// Whether a display is named for GTK to open: in the environment, or still among the arguments
// (GTK's own option, which it reads as it starts). Without one GTK ends the run with its own
// words, which say nothing of the modes that need none.
bool display_named(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0')
      return true;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--display", 9) == 0)
      return true;
  }
  return false;
}

}  // namespace

// Root reads the command line with GTK's options set aside unread and decides first: a mode
// runs without GTK, and the window only once root is given up.
std::optional<int> before_the_window(int* argc, char*** argv) {
  const bool display = display_named(*argc, *argv);
  if (geteuid() == 0) {
    const std::optional<options> first = read_without_toolkit(*argv);
    if (!first)
      return 2;
    if (first->what != command::window)
      return run_command(*first);
    if (!window_for_home_owner())
      return 1;
  }
  const std::optional<options> chosen =
      parse_command_line(argc, argv, [] { return gtk_get_option_group(FALSE); });
  if (!chosen)
    return 2;
  if (chosen->what != command::window)
    return run_command(*chosen);
  if (!display)
    print_line(true, std::string(texts::no_display));
  return std::nullopt;
}
