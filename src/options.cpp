// Reads the options for runs without the window with GLib's option parser, beside GTK's own.
#include "options.hpp"

#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "failure_code.hpp"
#include "printable.hpp"
#include "render_text.hpp"
#include "texts.hpp"

namespace {

// Whether the command line being read asks for --json, whatever else it holds: a script that
// asked for it reads its usage error as an object too. Set as each reading starts.
bool json_asked = false;

bool asks_for_json(char** argv) {
  for (char** arg = argv + 1; *arg != nullptr; ++arg) {
    if (std::strcmp(*arg, "--") == 0)
      break;
    if (std::strcmp(*arg, "--json") == 0)
      return true;
  }
  return false;
}

gboolean on_mode_option(const gchar* name, const gchar*, gpointer data, GError** error) {
  auto& chosen = *static_cast<options*>(data);
  const std::string_view option(name);
  const command what = option == "--install"     ? command::install
                       : option == "--uninstall" ? command::uninstall
                       : option == "--status"    ? command::status
                       : option == "--list"      ? command::list
                                                 : command::version;
  if (chosen.what != command::window && chosen.what != what) {
    g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_FAILED, texts::two_modes,
                chosen.chosen_by.c_str(), name);
    return FALSE;
  }
  chosen.what = what;
  chosen.chosen_by = name;
  return TRUE;
}

// Two different users in one run would leave it unclear whose list is edited.
gboolean on_user_option(const gchar*, const gchar* value, gpointer data, GError** error) {
  auto& chosen = *static_cast<options*>(data);
  if (chosen.user && *chosen.user != value) {
    g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_FAILED, texts::two_users);
    return FALSE;
  }
  chosen.user = value;
  return TRUE;
}

gboolean on_flag_option(const gchar* name, const gchar*, gpointer data, GError**) {
  auto& chosen = *static_cast<options*>(data);
  const std::string_view option(name);
  if (option == "--json")
    chosen.json = true;
  else if (option == "--quiet" || option == "-q")
    chosen.quiet = true;
  else
    chosen.create_folders = true;
  return TRUE;
}

constexpr GOptionFlags no_arg = G_OPTION_FLAG_NO_ARG;

const GOptionEntry own_options[] = {
    {"install", 0, no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_mode_option),
     texts::help_install, nullptr},
    {"uninstall", 0, no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_mode_option),
     texts::help_uninstall, nullptr},
    {"status", 0, no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_mode_option),
     texts::help_status, nullptr},
    {"list", 0, no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_mode_option),
     texts::help_list, nullptr},
    {"json", 0, no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_flag_option),
     texts::help_json, nullptr},
    {"quiet", 'q', no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_flag_option),
     texts::help_quiet, nullptr},
    {"create-folders", 0, no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_flag_option),
     texts::help_create_folders, nullptr},
    {"version", 'V', no_arg, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_mode_option),
     texts::help_version, nullptr},
    {"user", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_user_option),
     texts::help_user, texts::help_user_value},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

// The program's own options, reading into `chosen`.
GOptionGroup* own_group(options& chosen) {
  GOptionGroup* group = g_option_group_new("quillora", "", "", &chosen, nullptr);
  g_option_group_add_entries(group, own_options);
  return group;
}

gboolean on_toolkit_option(const gchar*, const gchar*, gpointer, GError**) {
  return TRUE;
}

// GTK's own options, as GTK 3 reads and describes them, taken with their values and set aside
// without loading GTK: its option group loads the modules that GTK_MODULES names as it parses.
const GOptionEntry toolkit_options_set_aside[] = {
    {"class", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_toolkit_option),
     "Program class as used by the window manager", "CLASS"},
    {"name", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_toolkit_option),
     "Program name as used by the window manager", "NAME"},
    {"display", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_toolkit_option),
     "X display to use", "DISPLAY"},
    {"gtk-module", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_toolkit_option),
     "Load additional GTK+ modules", "MODULES"},
    {"g-fatal-warnings", 0, no_arg, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_toolkit_option), "Make all warnings fatal", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

// GTK's options set aside, under GTK's own group name, so that --help-gtk and --help-all read as
// they do beside GTK.
GOptionGroup* toolkit_group_set_aside() {
  GOptionGroup* group =
      g_option_group_new("gtk", "GTK+ Options", "Show GTK+ Options", nullptr, nullptr);
  g_option_group_add_entries(group, toolkit_options_set_aside);
  return group;
}

// `message` may quote what the user typed (a stray word, an unknown option in GLib's message):
// it is printed escaped. The program is named by its own name, not the link's it was started by,
// as the manual and --help name it.
void usage_error(const std::string& message) {
  const std::string program(texts::program_name);
  const std::string line = program + "：" + printable(message);
  print_line(true, line);
  if (json_asked) {
    const nlohmann::ordered_json object{
        {"changed", false}, {"error", line}, {"code", std::string(usage_code)}};
    print_line(false, object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  print_line(true, std::string(texts::usage_line) + program + std::string(texts::usage_options));
  print_line(true, std::string(texts::see_help) + program + " --help");
}

// The usage error of a word that is no option; a mode typed without its dashes gets the option
// it may have meant, as git and apt hint.
void stray_word_error(const std::string& word) {
  std::string message = std::string(texts::stray_word) + word;
  for (const char* mode : {"install", "uninstall", "status", "list", "version"}) {
    if (word == mode)
      message +=
          std::string(texts::did_you_mean) + "--" + mode + std::string(texts::did_you_mean_end);
  }
  usage_error(message);
}

// The help texts hold Chinese; in the C locale GLib would print each such character as an
// escape. They go out as UTF-8, like every console line of the program.
void print_as_utf8(const gchar* text) {
  std::fputs(text, stdout);
}

// What --user, --json, --quiet and --create-folders ask against the mode, once the options are
// read: empty when it may be done, else the usage error to report.
std::string misused(const options& chosen) {
  if (chosen.create_folders && chosen.what != command::install)
    return std::string(texts::create_folders_alone);
  if (chosen.json && chosen.what == command::window)
    return std::string(texts::json_alone);
  if (chosen.quiet && chosen.what != command::install && chosen.what != command::uninstall &&
      chosen.what != command::status && chosen.what != command::list)
    return std::string(texts::quiet_alone);
  if (!chosen.user)
    return {};
  if (chosen.what != command::install && chosen.what != command::uninstall &&
      chosen.what != command::status && chosen.what != command::list)
    return std::string(texts::user_alone);
  // Anyone else would edit another user's list with her own rights at best.
  if (::geteuid() != 0)
    return std::string(texts::user_not_root);
  return {};
}

// Our options alone, read from a copy of the command line, GTK's and unknown ones left aside.
// Gives them when that is all the command line holds, so that the run never touches GTK; when a
// mode comes with words that are no options, gives the first of them as `stray`.
std::optional<options> read_own_options(char** argv, std::string& stray) {
  json_asked = asks_for_json(argv);
  options chosen;
  g_autoptr(GOptionContext) context = g_option_context_new(nullptr);
  g_option_context_set_main_group(context, own_group(chosen));
  g_option_context_set_help_enabled(context, FALSE);
  g_option_context_set_ignore_unknown_options(context, TRUE);
  g_auto(GStrv) args = g_strdupv(argv);
  if (!g_option_context_parse_strv(context, &args, nullptr))
    return std::nullopt;
  for (gchar** arg = args + 1; *arg != nullptr; ++arg) {
    if (**arg == '-')
      return std::nullopt;  // GTK's or unknown: the full reading decides
  }
  // Our options alone, but not as they may go together: a usage error, which needs no GTK.
  if (const std::string misuse = misused(chosen); !misuse.empty()) {
    usage_error(misuse);
    chosen.what = command::refused;
    return chosen;
  }
  if (args[1] != nullptr)
    stray = args[1];
  if (chosen.what == command::window && stray.empty())
    return std::nullopt;
  return chosen;
}

}  // namespace

std::optional<options> read_mode_alone(char** argv) {
  std::string stray;
  std::optional<options> chosen = read_own_options(argv, stray);
  // A word that is no option is a usage error, which needs no GTK either.
  if (chosen && chosen->what != command::refused && !stray.empty()) {
    stray_word_error(stray);
    chosen->what = command::refused;
  }
  return chosen;
}

namespace {

// The context of both readings of `argv`: our options into `chosen`, the help's words, and the
// toolkit's group (GTK's own, or the same options set aside unread).
GOptionContext* new_context(char** argv, options& chosen, GOptionGroup* toolkit) {
  json_asked = asks_for_json(argv);
  g_set_print_handler(print_as_utf8);
  GOptionContext* context = g_option_context_new(nullptr);
  g_option_context_set_summary(context, texts::help_summary);
  g_option_context_set_description(context, texts::help_description);
  g_option_context_set_main_group(context, own_group(chosen));
  g_option_context_add_group(context, toolkit);
  return context;
}

}  // namespace

std::optional<options> read_without_toolkit(char** argv) {
  options chosen;
  g_autoptr(GOptionContext) context = new_context(argv, chosen, toolkit_group_set_aside());
  g_auto(GStrv) args = g_strdupv(argv);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse_strv(context, &args, &error)) {
    usage_error(error->message);
    return std::nullopt;
  }
  if (const std::string misuse = misused(chosen); !misuse.empty()) {
    usage_error(misuse);
    return std::nullopt;
  }
  if (args[0] != nullptr && args[1] != nullptr) {
    stray_word_error(args[1]);
    return std::nullopt;
  }
  return chosen;
}

std::optional<options> parse_command_line(int* argc, char*** argv,
                                          GOptionGroup* (*toolkit_options)()) {
  std::string stray;
  if (std::optional<options> alone = read_own_options(*argv, stray)) {
    if (alone->what == command::refused)
      return std::nullopt;  // reported
    if (!stray.empty()) {
      stray_word_error(stray);
      return std::nullopt;
    }
    return alone;
  }

  // Anything else is read with GTK's options, which the window then takes up; GTK opens no
  // display here. This one reading decides, as GTK's options may take values of their own.
  options chosen;
  g_autoptr(GOptionContext) context = new_context(*argv, chosen, toolkit_options());
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, argc, argv, &error)) {
    usage_error(error->message);
    return std::nullopt;
  }
  if (const std::string misuse = misused(chosen); !misuse.empty()) {
    usage_error(misuse);
    return std::nullopt;
  }
  // A word that is no option is no command the program knows: "install" without its dashes
  // would otherwise open the window, or without a display fail for want of one.
  if (*argc > 1) {
    stray_word_error((*argv)[1]);
    return std::nullopt;
  }
  return chosen;
}
