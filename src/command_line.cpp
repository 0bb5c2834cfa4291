// The options for runs without the window, read with GLib's option parser beside GTK's own, and
// the runs themselves: install, uninstall, status and version on the console alone.
#include "command_line.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "addon_list.hpp"
#include "run_as_user.hpp"

#ifndef QUILLORA_VERSION
#error "QUILLORA_VERSION, the program's version, is set by the build"
#endif

namespace {

// The mode that the options read so far ask for, and the option that asked.
command chosen = command::window;
std::string chosen_by;
// The user that --user names, for whom root runs the mode.
std::optional<std::string> chosen_user;

gboolean on_mode_option(const gchar* name, const gchar*, gpointer, GError** error) {
  const std::string_view option(name);
  const command what = option == "--install"     ? command::install
                       : option == "--uninstall" ? command::uninstall
                       : option == "--status"    ? command::status
                                                 : command::version;
  if (chosen != command::window && chosen != what) {
    g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_FAILED, "%s和%s不能同时使用",
                chosen_by.c_str(), name);
    return FALSE;
  }
  chosen = what;
  chosen_by = name;
  return TRUE;
}

// Two different users in one run would leave it unclear whose list is edited.
gboolean on_user_option(const gchar*, const gchar* value, gpointer, GError** error) {
  if (chosen_user && *chosen_user != value) {
    g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_FAILED, "--user只能指定一个用户");
    return FALSE;
  }
  chosen_user = value;
  return TRUE;
}

const GOptionEntry own_options[] = {
    {"install", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_mode_option), "为当前用户安装Quillora插件", nullptr},
    {"uninstall", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_mode_option), "为当前用户卸载Quillora插件", nullptr},
    {"status", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_mode_option), "显示Quillora插件是否已注册并启用，不做任何修改",
     nullptr},
    {"version", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_mode_option), "显示版本和插件发布服务器", nullptr},
    {"user", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_user_option),
     "仅限root：以该用户的身份、在其主目录下运行--install、--uninstall或--status", "用户名"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

constexpr char summary[] =
    "不带选项时打开安装窗口。下列选项不打开窗口，无需显示器，适合远程和批量部署。";

constexpr char description[] =
    "以root身份运行时，程序在打开任何文件之前永久切换为用户的身份：--user指定的用户，\n"
    "或者$HOME所属的用户；$HOME属于root时仍以root运行。\n"
    "\n"
    "退出状态：\n"
    "  0  成功；--status：插件已注册并启用\n"
    "  1  失败，原因见标准错误输出\n"
    "  2  命令行有误\n"
    "  3  --status：插件未注册或未启用\n";

void print_line(std::FILE* stream, const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

void usage_error(const std::string& message) {
  const std::string program = g_get_prgname() != nullptr ? g_get_prgname() : "quillora-installer";
  print_line(stderr, program + "：" + message);
  print_line(stderr, "用法：" + program + " [--install | --uninstall | --status | --version]");
  print_line(stderr, "详见：" + program + " --help");
}

// The help texts hold Chinese; in the C locale GLib would print each such character as an
// escape. They go out as UTF-8, like every console line of the program.
void print_as_utf8(const gchar* text) {
  std::fputs(text, stdout);
}

// Reads what --user asks against the mode, once the options are read: empty when it may be
// done, else the usage error to report.
std::string user_option_misused() {
  if (!chosen_user)
    return {};
  if (chosen != command::install && chosen != command::uninstall && chosen != command::status)
    return "--user只能与--install、--uninstall或--status一起使用";
  // Anyone else would edit another user's list with her own rights at best.
  if (::geteuid() != 0)
    return "--user只能由root使用";
  return {};
}

// Our options alone, read from a copy of the command line, GTK's and unknown ones left aside.
// Gives the mode when that is all the command line holds, so that the run never touches GTK;
// when a mode comes with words that are no options, gives the first of them as `stray`.
std::optional<command> read_own_options(char** argv, std::string& stray) {
  g_autoptr(GOptionContext) context = g_option_context_new(nullptr);
  g_option_context_add_main_entries(context, own_options, nullptr);
  g_option_context_set_help_enabled(context, FALSE);
  g_option_context_set_ignore_unknown_options(context, TRUE);
  g_auto(GStrv) args = g_strdupv(argv);
  chosen = command::window;
  chosen_user.reset();
  if (!g_option_context_parse_strv(context, &args, nullptr) || chosen == command::window ||
      !user_option_misused().empty())
    return std::nullopt;
  for (gchar** arg = args + 1; *arg != nullptr; ++arg) {
    if (**arg == '-')
      return std::nullopt;  // GTK's or unknown: the full reading decides
  }
  if (args[1] != nullptr)
    stray = args[1];
  return chosen;
}

// A run without the window takes no words besides its options.
void stray_argument(const std::string& word) {
  usage_error("多余的参数：" + word);
}

}  // namespace

std::optional<command> read_mode_alone(char** argv) {
  std::string stray;
  const std::optional<command> mode = read_own_options(argv, stray);
  if (!mode || !stray.empty())
    return std::nullopt;
  return mode;
}

std::optional<command> parse_command_line(int* argc, char*** argv,
                                          GOptionGroup* (*toolkit_options)()) {
  std::string stray;
  if (std::optional<command> mode = read_own_options(*argv, stray)) {
    if (!stray.empty()) {
      stray_argument(stray);
      return std::nullopt;
    }
    return mode;
  }

  // Anything else is read with GTK's options, which the window then takes up; GTK opens no
  // display here. This one reading decides, as GTK's options may take values of their own.
  g_set_print_handler(print_as_utf8);
  g_autoptr(GOptionContext) context = g_option_context_new(nullptr);
  g_option_context_set_summary(context, summary);
  g_option_context_set_description(context, description);
  g_option_context_add_main_entries(context, own_options, nullptr);
  g_option_context_add_group(context, toolkit_options());
  chosen = command::window;
  chosen_user.reset();
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, argc, argv, &error)) {
    usage_error(error->message);
    return std::nullopt;
  }
  if (const std::string misuse = user_option_misused(); !misuse.empty()) {
    usage_error(misuse);
    return std::nullopt;
  }
  // The window has always let words that are no options pass.
  if (chosen != command::window && *argc > 1) {
    stray_argument((*argv)[1]);
    return std::nullopt;
  }
  return chosen;
}

int run_command(command what) {
  // Before anything under the home folder is opened.
  if (what == command::install || what == command::uninstall || what == command::status) {
    if (!(chosen_user ? become_user(chosen_user->c_str()) : become_home_owner()))
      return 1;
  }
  switch (what) {
    case command::install:
      return write_file(0) ? 0 : 1;
    case command::uninstall:
      return write_file(1) ? 0 : 1;
    case command::status:
      switch (read_list_state()) {
        case list_state::enabled:
          print_line(stdout, "Quillora插件：已注册，已启用");
          return 0;
        case list_state::disabled:
          print_line(stdout, "Quillora插件：已注册，未启用");
          return 3;
        case list_state::absent:
          print_line(stdout, "Quillora插件：未注册");
          return 3;
        case list_state::unreadable:
          return 1;
      }
      return 1;
    case command::version:
      print_line(stdout, "quillora-installer " QUILLORA_VERSION);
      print_line(stdout, "插件发布服务器：" + std::string(server_origin()));
      return 0;
    case command::window:
      break;
  }
  return 1;
}
