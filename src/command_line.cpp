// The options for runs without the window, read with GLib's option parser beside GTK's own, and
// the runs themselves: install, uninstall, status, list and version on the console alone.
#include "command_line.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

#include "addon_list.hpp"
#include "printable.hpp"
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
// --json and --create-folders.
gboolean chosen_json = FALSE;
gboolean chosen_create_folders = FALSE;

gboolean on_mode_option(const gchar* name, const gchar*, gpointer, GError** error) {
  const std::string_view option(name);
  const command what = option == "--install"     ? command::install
                       : option == "--uninstall" ? command::uninstall
                       : option == "--status"    ? command::status
                       : option == "--list"      ? command::list
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
    {"list", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_mode_option),
     "列出XML文件中注册的每个插件（名称、在线或离线、类型、是否启用、地址），不做任何修改",
     nullptr},
    {"json", 0, 0, G_OPTION_ARG_NONE, &chosen_json,
     "与上述选项一起使用：在标准输出上只打印一个JSON对象，供脚本读取", nullptr},
    {"create-folders", 0, 0, G_OPTION_ARG_NONE, &chosen_create_folders,
     "与--install一起使用：为从未启动过办公套件的用户创建缺少的文件夹", nullptr},
    {"version", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(on_mode_option), "显示版本和插件发布服务器", nullptr},
    {"user", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_user_option),
     "仅限root：以该用户的身份、在其主目录下运行--install、--uninstall、--status或--list",
     "用户名"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

constexpr char summary[] =
    "不带选项时打开安装窗口。下列选项不打开窗口，无需显示器，适合远程和批量部署。";

constexpr char description[] =
    "除主目录中的XML文件外，也修改以沙盒方式（Flatpak、Snap、玲珑）安装的办公套件的XML文件：\n"
    ".var/app/*/data/、snap/*/current/.local/share/和.linglong/*/share/下的\n"
    "Kingsoft/wps/jsaddons/publish.xml（只在该文件夹已存在时）。\n"
    "\n"
    "以root身份运行时，程序在打开任何文件之前，在一个子进程中永久切换为用户的身份：\n"
    "--user指定的用户，或者从根目录到$HOME再到XML文件所在目录的路径上第一个不属于root的\n"
    "文件或文件夹的所有者；只有整条路径都属于root且主目录及其下的文件夹只有root可写时才仍以\n"
    "root运行；其他用户可写而又无人可切换时拒绝运行。root最多等待该子进程（锁的等待时间加\n"
    "30秒），超时则终止它并报告失败。\n"
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

// `message` may quote what the user typed (a stray word, an unknown option in GLib's message),
// and the program's name is that of the link it was started by: both are printed escaped.
void usage_error(const std::string& message) {
  const std::string program =
      printable(g_get_prgname() != nullptr ? g_get_prgname() : "quillora-installer");
  print_line(stderr, program + "：" + printable(message));
  print_line(stderr, "用法：" + program +
                         " [--install [--create-folders] | --uninstall | --status | --list |"
                         " --version] [--json] [--user 用户名]");
  print_line(stderr, "详见：" + program + " --help");
}

// The help texts hold Chinese; in the C locale GLib would print each such character as an
// escape. They go out as UTF-8, like every console line of the program.
void print_as_utf8(const gchar* text) {
  std::fputs(text, stdout);
}

// Reads what --user, --json and --create-folders ask against the mode, once the options are read:
// empty when it may be done, else the usage error to report.
std::string options_misused() {
  if (chosen_create_folders && chosen != command::install)
    return "--create-folders只能与--install一起使用";
  if (chosen_json && chosen == command::window)
    return "--json只能与--install、--uninstall、--status、--list或--version一起使用";
  if (!chosen_user)
    return {};
  if (chosen != command::install && chosen != command::uninstall && chosen != command::status &&
      chosen != command::list)
    return "--user只能与--install、--uninstall、--status或--list一起使用";
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
  chosen_json = chosen_create_folders = FALSE;
  if (!g_option_context_parse_strv(context, &args, nullptr))
    return std::nullopt;
  for (gchar** arg = args + 1; *arg != nullptr; ++arg) {
    if (**arg == '-')
      return std::nullopt;  // GTK's or unknown: the full reading decides
  }
  // Our options alone, but not as they may go together: a usage error, which needs no GTK.
  if (const std::string misuse = options_misused(); !misuse.empty()) {
    usage_error(misuse);
    return command::refused;
  }
  if (chosen == command::window)
    return std::nullopt;
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
  if (mode == command::refused)
    return mode;
  if (!mode || !stray.empty())
    return std::nullopt;
  return mode;
}

std::optional<command> parse_command_line(int* argc, char*** argv,
                                          GOptionGroup* (*toolkit_options)()) {
  std::string stray;
  if (std::optional<command> mode = read_own_options(*argv, stray)) {
    if (mode == command::refused)
      return std::nullopt;  // reported
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
  chosen_json = chosen_create_folders = FALSE;
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, argc, argv, &error)) {
    usage_error(error->message);
    return std::nullopt;
  }
  if (const std::string misuse = options_misused(); !misuse.empty()) {
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

namespace {

const char* name_of(command what) {
  switch (what) {
    case command::install:
      return "install";
    case command::uninstall:
      return "uninstall";
    case command::status:
      return "status";
    case command::list:
      return "list";
    case command::version:
      return "version";
    case command::refused:
    case command::window:
      break;
  }
  return "window";
}

const char* name_of(list_state state) {
  switch (state) {
    case list_state::enabled:
      return "enabled";
    case list_state::disabled:
      return "disabled";
    case list_state::absent:
      return "absent";
    case list_state::unreadable:
      break;
  }
  return nullptr;
}

// The dumped JSON with the characters that printable writes as \u escapes (C1 and bidirectional
// controls, line and paragraph separators) written as JSON's own escapes of them: the same
// values for a script, nothing a terminal obeys for a person. Outside strings JSON is ASCII, so
// every such character stands in a string.
std::string escape_hidden(const std::string& dumped) {
  std::string safe;
  safe.reserve(dumped.size());
  const std::string_view text(dumped);
  for (std::size_t i = 0; i < text.size();) {
    if (const char32_t code = hidden_character(text.substr(i))) {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      safe += escape;
      i += code < 0x800 ? 2 : 3;
    } else {
      safe += text[i++];
    }
  }
  return safe;
}

// The one JSON object of a run with --json, as systemd's tools give theirs: what was asked,
// whether the list changed, where the add-on stands, and on failure the stderr line's text.
// Members stay in the order they were added.
class json_report {
 public:
  explicit json_report(command what) { add("action", name_of(what)); }

  void add(const char* name, const char* value) {
    if (value != nullptr)
      object_[name] = value;
    else
      object_[name] = nullptr;
  }
  void add(const char* name, const std::string& value) { object_[name] = value; }
  void add(const char* name, bool value) { object_[name] = value; }
  void add(const char* name, nlohmann::ordered_json value) { object_[name] = std::move(value); }

  // Prints the object as one line; `code` is the run's exit status, given back. A byte that is
  // no UTF-8 (a name in a damaged list) is written as U+FFFD rather than ending the run.
  int print(int code) {
    print_line(stdout, escape_hidden(object_.dump(
                           -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)));
    return code;
  }

 private:
  nlohmann::ordered_json object_ = nlohmann::ordered_json::object();
};

// A failed run with --json: the object with the failure line's text, and each list's object
// when the home holds more than its own.
int json_failure(command what, const std::string& error, int code = 1,
                 nlohmann::ordered_json lists = nullptr) {
  json_report report(what);
  report.add("changed", false);
  report.add("list", std::string(list_path));
  report.add("error", error);
  if (!lists.is_null())
    report.add("lists", std::move(lists));
  return report.print(code);
}

// The home folder of a run that root keeps for itself, opened once when its owner was checked; -1
// when it could not be opened; nothing when the run looks $HOME up itself.
std::optional<int> checked_home;

// The home folder that the reading modes look for sandboxed copies' lists in.
int home_to_read() {
  if (checked_home)
    return *checked_home;
  static const unique_fd home([] {
    const char* path = std::getenv("HOME");
    return path != nullptr && *path != '\0'
               ? ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK)
               : -1;
  }());
  return home.get();
}

// Whether the home's own list counts beside the sandboxed copies': where its folder is there, or
// where there is no other list.
bool home_list_counts(int home, const std::vector<std::string>& further) {
  struct stat st;
  return further.empty() ||
         (::fstatat(home, std::string(list_folder()).c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode));
}

// Where the add-on stands over several lists: enabled only when enabled in all of them.
list_state overall(const std::vector<list_state>& states) {
  list_state all = list_state::enabled;
  for (const list_state state : states) {
    if (state == list_state::unreadable)
      return state;
    if (state != list_state::enabled)
      all = all == list_state::disabled || state == list_state::disabled ? list_state::disabled
                                                                         : list_state::absent;
  }
  return all;
}

const char* state_text(list_state state) {
  switch (state) {
    case list_state::enabled:
      return "已注册，已启用";
    case list_state::disabled:
      return "已注册，未启用";
    case list_state::absent:
      return "未注册";
    case list_state::unreadable:
      break;
  }
  return "";
}

int run_edit(command what) {
  const int mode = what == command::install ? 0 : 1;
  edit_options options;
  options.home = checked_home;
  options.create_folders = chosen_create_folders;
  if (!chosen_json)
    return edit_file(mode, options).ok ? 0 : 1;
  options.quiet = true;
  const edit_report done = edit_file(mode, options);
  // Each list's own object, when the home holds more than its own list.
  nlohmann::ordered_json lists = nullptr;
  std::vector<list_state> states;
  for (const list_report& list : done.lists) {
    const list_state state = !list.ok                   ? list_state::unreadable
                             : what == command::install ? list_state::enabled
                                                        : read_list_state(checked_home, list.list);
    states.push_back(state);
    if (done.lists.size() == 1 && list.list == list_path)
      continue;
    nlohmann::ordered_json object{{"list", list.list}, {"changed", list.changed}};
    object["state"] = list.ok && name_of(state) != nullptr ? nlohmann::ordered_json(name_of(state))
                                                           : nlohmann::ordered_json(nullptr);
    if (!list.ok)
      object["error"] = list.error;
    if (lists.is_null())
      lists = nlohmann::ordered_json::array();
    lists.push_back(std::move(object));
  }
  if (!done.ok)
    return json_failure(what, done.error, 1, std::move(lists));
  json_report report(what);
  report.add("changed", done.changed);
  report.add("state", name_of(overall(states)));
  report.add("list", std::string(list_path));
  if (!lists.is_null())
    report.add("lists", std::move(lists));
  return report.print(0);
}

int run_status() {
  const int home = home_to_read();
  const std::vector<std::string> further = sandbox_lists(home);
  const list_state own = read_list_state(checked_home);
  std::vector<list_state> states;
  if (home_list_counts(home, further))
    states.push_back(own);
  // Both arms the JSON type: nlohmann-json 3.9 converts either way and makes ?: ambiguous.
  nlohmann::ordered_json lists =
      further.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json::array();
  std::string error = last_failure();
  for (const std::string& list : further) {
    const list_state state = read_list_state(checked_home, list);
    states.push_back(state);
    nlohmann::ordered_json object{{"list", list}, {"changed", false}};
    object["state"] = name_of(state) != nullptr ? nlohmann::ordered_json(name_of(state))
                                                : nlohmann::ordered_json(nullptr);
    if (state == list_state::unreadable)
      object["error"] = error = last_failure();
    lists.push_back(std::move(object));
  }
  const list_state state = overall(states);
  const int code = state == list_state::enabled ? 0 : state == list_state::unreadable ? 1 : 3;
  if (chosen_json) {
    if (state == list_state::unreadable)
      return json_failure(command::status, error, 1, std::move(lists));
    json_report report(command::status);
    report.add("changed", false);
    report.add("state", name_of(state));
    report.add("list", std::string(list_path));
    if (!lists.is_null())
      report.add("lists", std::move(lists));
    return report.print(code);
  }
  if (own != list_state::unreadable)
    print_line(stdout, std::string("Quillora插件：") + state_text(own));
  for (std::size_t i = 0; i < further.size(); ++i) {
    const list_state of_list = states[states.size() - further.size() + i];
    if (of_list != list_state::unreadable)
      print_line(stdout, "沙盒中的XML文件：" + printable(further[i]) + "：" + state_text(of_list));
  }
  return code;
}

nlohmann::ordered_json addons_of(const std::vector<list_reader::listed_entry>& entries) {
  nlohmann::ordered_json addons = nlohmann::ordered_json::array();
  for (const list_reader::listed_entry& entry : entries) {
    addons.push_back({{"name", entry.name},
                      {"online", entry.online},
                      {"type", entry.type},
                      {"enabled", entry.enabled},
                      {"url", entry.url},
                      {"quillora", entry.quillora}});
  }
  return addons;
}

// One line an add-on for people: the add-on's own entry marked with '*', then its name, online
// or offline, type, enabled or not, and address.
void print_entries(const std::vector<list_reader::listed_entry>& entries) {
  if (entries.empty())
    print_line(stdout, "列表中没有插件");
  for (const list_reader::listed_entry& entry : entries) {
    print_line(stdout, std::string(entry.quillora ? "* " : "  ") + printable(entry.name) + "  " +
                           (entry.online ? "在线" : "离线") + "  " + printable(entry.type) + "  " +
                           (entry.enabled ? "已启用" : "未启用") + "  " + printable(entry.url));
  }
}

// The home's own list, then each sandboxed copy's under a line that names it.
int run_list() {
  const auto entries = read_list_entries(checked_home);
  if (!entries)
    return chosen_json ? json_failure(command::list, last_failure()) : 1;
  if (!chosen_json)
    print_entries(*entries);
  bool ok = true;
  std::string error;
  nlohmann::ordered_json lists = nullptr;
  for (const std::string& list : sandbox_lists(home_to_read())) {
    if (!chosen_json)
      print_line(stdout, "沙盒中的XML文件：" + printable(list));
    const auto of_list = read_list_entries(checked_home, list);
    nlohmann::ordered_json object{{"list", list}, {"changed", false}};
    if (of_list) {
      object["addons"] = addons_of(*of_list);
      if (!chosen_json)
        print_entries(*of_list);
    } else {
      ok = false;
      object["error"] = error = last_failure();
    }
    if (lists.is_null())
      lists = nlohmann::ordered_json::array();
    lists.push_back(std::move(object));
  }
  if (!chosen_json)
    return ok ? 0 : 1;
  if (!ok)
    return json_failure(command::list, error, 1, std::move(lists));
  json_report report(command::list);
  report.add("changed", false);
  report.add("list", std::string(list_path));
  report.add("addons", addons_of(*entries));
  if (!lists.is_null())
    report.add("lists", std::move(lists));
  return report.print(0);
}

// A mode that works on the list under the home, in this process.
int run_mode(command what) {
  switch (what) {
    case command::install:
    case command::uninstall:
      return run_edit(what);
    case command::status:
      return run_status();
    case command::list:
      return run_list();
    default:
      break;
  }
  return 1;
}

// The mode run for `who` by a process of hers, which root waits for as long as a run may take:
// the wait for the lock and the reading and writing of a list.
int run_for(const account& who, command what) {
  const std::optional<int> code =
      run_as(who, lock_wait_seconds() + 30, [what] { return run_mode(what); });
  if (!code)
    return chosen_json ? json_failure(what, run_as_user_failure()) : 1;
  return *code;
}

}  // namespace

int run_command(command what) {
  switch (what) {
    case command::version:
      if (chosen_json) {
        json_report report(what);
        report.add("version", QUILLORA_VERSION);
        report.add("origin", std::string(server_origin()));
        return report.print(0);
      }
      print_line(stdout, "quillora-installer " QUILLORA_VERSION);
      print_line(stdout, "插件发布服务器：" + std::string(server_origin()));
      return 0;
    case command::refused:
      return 2;
    case command::window:
      return 1;
    default:
      break;
  }
  if (::geteuid() != 0)
    return run_mode(what);
  // Before anything under the home folder is opened.
  if (chosen_user) {
    const std::optional<account> who = find_user(chosen_user->c_str());
    if (!who)
      return chosen_json ? json_failure(what, run_as_user_failure()) : 1;
    // The editor finds the list under HOME; it must be hers, whatever the caller's HOME was.
    ::setenv("HOME", who->home.c_str(), 1);
    if (who->uid != 0)
      return run_for(*who, what);
  }
  home_check found = check_home(folders_to_check());
  switch (found.verdict) {
    case home_check::refused:
      return chosen_json ? json_failure(what, run_as_user_failure()) : 1;
    case home_check::user:
      return run_for(found.owner, what);
    case home_check::root:
      break;
  }
  checked_home = found.home ? found.home.release() : -1;
  return run_mode(what);
}
