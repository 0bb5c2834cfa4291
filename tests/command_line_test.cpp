// The installer run from a script or over ssh: its options, console and exit statuses, with no
// display, no session bus and no window.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "addon_list.hpp"
#include "test_home.hpp"

namespace {

// What a run with --json printed, parsed (below).
std::map<std::string, std::string> parsed(const std::string& out);

const std::string rel = ".local/share/Kingsoft/wps/jsaddons/publish.xml";
const std::string plain = "<?xml version=\"1.0\"?>\n<jsplugins>\n</jsplugins>\n";
const std::string installed =
    "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n";

std::string disabled() {
  std::string line(entry);
  line.replace(line.find("true"), 4, "false");
  return "<?xml version=\"1.0\"?>\n<jsplugins>\n" + line + "\n</jsplugins>\n";
}

const std::string usage =
    "用法：quillora-installer [--install [--create-folders] | --uninstall | --status | --list | "
    "--version] [--json] [--quiet] [--user 用户名]\n"
    "详见：quillora-installer --help\n";

// Everything a run could change under the home folder: each path with its kind, size, content,
// inode and change times.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> seen;
  std::vector<std::string> folders{root};
  while (!folders.empty()) {
    const std::string folder = folders.back();
    folders.pop_back();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir)
      continue;
    while (const dirent* item = readdir(dir.get())) {
      const std::string name = item->d_name;
      if (name == "." || name == "..")
        continue;
      const std::string path = folder + "/" + name;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0)
        continue;
      std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) + " " +
                          std::to_string(st.st_size) + " " +
                          std::to_string(st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec);
      if (S_ISREG(st.st_mode))
        facts += " " + read_bytes(path);
      if (S_ISDIR(st.st_mode))
        folders.push_back(path);
      seen[path.substr(root.size())] = facts;
    }
  }
  return seen;
}

class CommandLine : public TestHome {
 protected:
  // Runs the installer with `args` in a bare environment: HOME, PATH and `extra` only, so no
  // display, no session bus; GTK_MODULES names a module that GTK would complain about loading,
  // had it started. The console and the exit status come back.
  outcome run(std::vector<std::string> args, std::vector<std::string> extra = {}) {
    std::vector<std::string> env{"HOME=" + home_, "PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                                 "GTK_MODULES=quillora-test-no-such-module"};
    env.insert(env.end(), extra.begin(), extra.end());
    return run_in(std::move(args), std::move(env));
  }

  outcome run_in(std::vector<std::string> args, std::vector<std::string> env,
                 const char* program = INSTALLER) {
    return finish(start_in(std::move(args), std::move(env), program));
  }

  // Starts the installer as run_in does, as user nobody when `as_nobody` and the tests run as
  // root, and leaves it running; `arrange` runs in the child first, on its standard streams.
  child start_in(std::vector<std::string> args, std::vector<std::string> env,
                 const char* program = INSTALLER, bool as_nobody = false,
                 std::function<void()> arrange = {}) {
    args.insert(args.begin(), program);
    return start([args, env, program, as_nobody, arrange]() mutable {
      if (arrange)
        arrange();
      if (as_nobody)
        become_nobody();
      std::vector<char*> argv;
      for (auto& arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (auto& var : env)
        envp.push_back(var.data());
      envp.push_back(nullptr);
      // Only a guard against a hang, well past the longest run: a root caller waits for a user's
      // run up to the lock's bound and 30 s more.
      alarm(300);
      execve(program, argv.data(), envp.data());
      return false;
    });
  }

  std::string created() const { return head_lines() + "已创建新的XML文件：" + rel + "\n"; }
};

TEST_F(CommandLine, InstallAndUninstallRunWithoutDisplayOrGtk) {
  make_list_folder();
  EXPECT_EQ(run({"--install"}), succeeded(created()));
  EXPECT_EQ(read_bytes(list()), skeleton);
  EXPECT_EQ(run({"--install"}), succeeded(head_lines() + "包含Quillora插件节点，无需添加\n"));
  EXPECT_EQ(run({"--uninstall"}), succeeded(head_lines() + "包含Quillora插件节点，需删除\n"));
  EXPECT_EQ(read_bytes(list()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<jsplugins>\n</jsplugins>\n");
  EXPECT_EQ(run({"--uninstall"}), succeeded(head_lines()));
  EXPECT_EQ(run({"--install"}), succeeded(head_lines() + "已添加Quillora插件节点\n"));
}

// Root, whose home this is where the tests run as root, learns that it is not a user's.
std::string roots_home_hint() {
  return geteuid() == 0 ? "提示：主目录属于root，这里的插件列表是root自己的；要为某个用户安装，请以"
                          "该用户的身份运行，或加上--user 用户名\n"
                        : "";
}

TEST_F(CommandLine, FailedEditsExitOne) {
  // The office suite never ran for this user: there is no folder to put the list in.
  // The command line names the option that makes the folders.
  EXPECT_EQ(run({"--install"}),
            failed(head_lines(), failure("无法创建XML文件", "No such file or directory") +
                                     "提示：办公套件还没有创建插件文件夹；如果要直接创建，请加上"
                                     "--create-folders\n" +
                                     roots_home_hint()));
  EXPECT_FALSE(exists(at(".local")));
  // A home that is not there: the console's words as ever, and for scripts which and why.
  const std::string gone = at("gone");
  const std::vector<std::string> no_home{"HOME=" + gone, "PATH=/usr/bin:/bin"};
  EXPECT_EQ(run_in({"--install"}, no_home),
            failed("用户主目录路径：" + gone + "\n", "无法更改工作目录\n"));
  const outcome json = run_in({"--install", "--json"}, no_home);
  EXPECT_EQ(parsed(json.out),
            (std::map<std::string, std::string>{
                {"action", "install"},
                {"changed", "false"},
                {"error", "无法更改工作目录：" + gone + "：No such file or directory"},
                {"code", "no_home"},
                {"lists.length", "0"}}));

  make_dirs(list());  // a folder where the list should be
  EXPECT_EQ(run({"--uninstall"}), failed(head_lines(), failure("无法编辑XML文件", "不是普通文件")));

  EXPECT_EQ(run_in({"--install"}, {"PATH=/usr/bin:/bin"}), failed("", "无法获取用户主目录路径\n"));
}

#ifdef STRACE
TEST_F(CommandLine, RunsWithoutOpeningAnyConnection) {
  make_list_folder();
  const std::string trace = at("trace");
  // The display and the session bus are reached through sockets; the run must open none.
  const outcome traced = run_in(
      {"-f", "-qq", "-e", "trace=socket,connect", "-o", trace, INSTALLER, "--install"},
      {"HOME=" + home_, "PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + at("bus")},
      STRACE);
  EXPECT_EQ(traced, succeeded(created()));
  EXPECT_EQ(read_bytes(trace), "");
}
#endif

// What the dynamic loader loaded for runs whose loader log went to `prefix`.<pid>.
std::string loaded_by(const std::string& folder, const std::string& name) {
  std::string all;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  while (const dirent* item = dir ? readdir(dir.get()) : nullptr) {
    if (std::string(item->d_name).rfind(name + ".", 0) == 0)
      all += read_bytes(folder + "/" + item->d_name);
  }
  return all;
}

TEST_F(CommandLine, AModeAloneNeverLoadsGtk) {
  // Loading GTK and its libraries costs far more than an edit; a script's run needs none of it.
  make_list_folder();
  EXPECT_EQ(run({"--install"}, {"LD_DEBUG=libs", "LD_DEBUG_OUTPUT=" + at("alone")}),
            succeeded(created()));
  const std::string alone = loaded_by(home_, "alone");
  EXPECT_NE(alone.find("libglib-2.0"), std::string::npos) << alone;
  EXPECT_EQ(alone.find("libgtk-3"), std::string::npos) << alone;
  // So does root's run for a user: here root's own, which only reads.
  if (geteuid() == 0) {
    EXPECT_NE(
        run({"--user", "root", "--status"}, {"LD_DEBUG=libs", "LD_DEBUG_OUTPUT=" + at("for-user")})
            .code,
        2);
    const std::string for_user = loaded_by(home_, "for-user");
    EXPECT_NE(for_user.find("libglib-2.0"), std::string::npos) << for_user;
    EXPECT_EQ(for_user.find("libgtk-3"), std::string::npos) << for_user;
  }

  // Beside GTK's options the window program reads the command line, GTK and all.
  EXPECT_EQ(run_in({"--status", "--class", "Quillora"},
                   {"HOME=" + home_, "LD_DEBUG=libs", "LD_DEBUG_OUTPUT=" + at("beside")}),
            (outcome{0, "Quillora插件：已注册，已启用\n", ""}));
  EXPECT_NE(loaded_by(home_, "beside").find("libgtk-3"), std::string::npos);
}

// A script that gets no output must not read success: stdout full or closed fails the run, and
// where a list changed, the line says that the change stands.
TEST_F(CommandLine, LostOutputFailsTheRun) {
  const std::function<void()> full = [] { dup2(open("/dev/full", O_WRONLY), 1); };
  const std::function<void()> closed = [] { close(1); };
  const std::string no_space = "无法写入标准输出：No space left on device";
  const std::string no_stdout = "无法写入标准输出：Bad file descriptor";
  const std::string stands = "；XML文件已修改，修改仍然有效\n";
  const struct {
    std::function<void()> arrange;  // the home before
    std::vector<std::string> args;
    const std::function<void()>& out;
    std::string err;
    std::string list;  // after
  } rows[] = {
      {[this] { put_list(installed); }, {"--status"}, full, no_space + "\n", installed},
      {[this] { put_list(installed); }, {"--version"}, full, no_space + "\n", installed},
      {[this] { put_list(installed); }, {"--install"}, closed, no_stdout + "\n", installed},
      {[this] { put_list(installed); },
       {"--status", "--json"},
       closed,
       no_stdout + "\n",
       installed},
      // The new list holds its own bytes alone, none of the lines meant for stdout.
      {[this] { make_list_folder(); },
       {"--install"},
       closed,
       no_stdout + stands,
       std::string(skeleton)},
      {[this] { make_list_folder(); },
       {"--install", "--json"},
       full,
       no_space + stands,
       std::string(skeleton)},
      {[this] { put_list(skeleton); },
       {"--uninstall", "--json"},
       full,
       no_space + stands,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<jsplugins>\n</jsplugins>\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[0] + (r.args.size() > 1 ? " " + r.args[1] : ""));
    remove_tree(at(".local"));
    r.arrange();
    const std::vector<std::string> env{"HOME=" + home_, "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    EXPECT_EQ(finish(start_in(r.args, env, INSTALLER, false, r.out)), (outcome{1, "", r.err}));
    EXPECT_EQ(read_bytes(list()), r.list);
  }
}

// A cron job mails whatever a run prints: with --quiet, a run that went as asked prints nothing,
// and a failure its stderr lines alone; the exit status is as without it.
TEST_F(CommandLine, QuietRunsPrintFailuresAlone) {
  const std::string no_folder =
      failure("无法创建XML文件", "No such file or directory") +
      "提示：办公套件还没有创建插件文件夹；如果要直接创建，请加上--create-folders\n";
  const struct {
    std::function<void()> arrange;
    std::vector<std::string> args;
    outcome expected;
  } rows[] = {
      {[] {}, {"--install", "-q"}, failed("", no_folder + roots_home_hint())},
      {[this] { make_list_folder(); }, {"--install", "--quiet"}, succeeded("")},
      {[] {}, {"-q", "--install"}, succeeded("")},
      {[] {}, {"--status", "-q"}, succeeded("")},
      {[] {}, {"--list", "-q"}, succeeded("")},
      {[] {}, {"--uninstall", "-q"}, succeeded("")},
      {[] {}, {"--status", "--quiet"}, (outcome{3, "", ""})},
      {[this] { put_list("<jsplugins><x"); },
       {"--install", "-q"},
       failed("", failure("无法修改XML文件", "第1行有XML格式错误：unclosed token"))},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[0] + " " + r.args[1]);
    r.arrange();
    EXPECT_EQ(run(r.args), r.expected);
  }
  // With --json, the object alone.
  put_list(installed);
  const outcome json = run({"--status", "--json", "-q"});
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(parsed(json.out).at("state"), "enabled");
  // Nor does it say that it waits for another copy: only that it gave up.
  const int held = open(at(".local/share/Kingsoft/wps/jsaddons").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_EQ(
      run({"--uninstall", "-q"}, {"QUILLORA_LOCK_TIMEOUT=1"}),
      failed("", failure("无法锁定XML文件所在目录", "等待超过1秒，另一个安装程序仍在修改XML文件",
                         ".local/share/Kingsoft/wps/jsaddons")));
  close(held);
  EXPECT_EQ(read_bytes(list()), installed);
}

TEST_F(CommandLine, AMissingWindowProgramIsReported) {
  // The command alone, copied without the window program that belongs beside it.
  const std::string copy = at("bin/quillora-installer");
  make_dirs(at("bin"));
  write_bytes(copy, read_bytes(INSTALLER));
  ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
  const std::vector<std::string> env{"HOME=" + home_, "PATH=/usr/bin:/bin"};
  EXPECT_EQ(run_in({}, env, copy.c_str()),
            failed("", "无法启动安装窗口程序：" + at("bin/quillora-installer-window") +
                           "：No such file or directory\n"));
  EXPECT_EQ(run_in({"--status"}, env, copy.c_str()), (outcome{3, "Quillora插件：未注册\n", ""}));
}

TEST_F(CommandLine, StatusTellsWhereTheAddOnStandsAndChangesNothing) {
  struct state {
    const char* what;
    std::function<void()> arrange;
    outcome expected;
  };
  const std::string not_registered = "Quillora插件：未注册\n";
  const std::vector<state> states{
      {"no folder", [] {}, {3, not_registered, ""}},
      {"no list", [&] { make_list_folder(); }, {3, not_registered, ""}},
      {"empty list", [&] { put_list(""); }, {3, not_registered, ""}},
      {"list without the add-on", [&] { put_list(plain); }, {3, not_registered, ""}},
      {"link to nothing",
       [&] {
         make_list_folder();
         ASSERT_EQ(symlink("gone.xml", list().c_str()), 0);
       },
       {3, not_registered, ""}},
      {"disabled entry", [&] { put_list(disabled()); }, {3, "Quillora插件：已注册，未启用\n", ""}},
      {"enabled entry, and a temporary list left by a crash",
       [&] {
         put_list(installed);
         write_bytes(list() + ".tmp", "<jsplug");
       },
       {0, "Quillora插件：已注册，已启用\n", ""}},
      {"enabled entry, through a link",
       [&] {
         make_list_folder();
         write_bytes(at("kept.xml"), installed);
         ASSERT_EQ(symlink(at("kept.xml").c_str(), list().c_str()), 0);
       },
       {0, "Quillora插件：已注册，已启用\n", ""}},
      {"folder in the list's place",
       [&] { make_dirs(list()); },
       {1, "", failure("无法读取XML文件", "不是普通文件")}},
      // Install replaces the offline form by the online entry: it is no installed add-on.
      {"the offline form alone",
       [&] {
         put_list("<jsplugins>\n<jsplugin name=\"Quillora插件\" url=\"" QUILLORA_ORIGIN
                  "/\" enable=\"true\"/>\n</jsplugins>\n");
       },
       {3, "Quillora插件：已注册，未启用\n", ""}},
      {"the offline form for this server",
       [&] {
         put_list("<jsplugins>\n<jsplugin name=\"Quillora插件\" install=\"" QUILLORA_ORIGIN
                  "\" url=\"" QUILLORA_ORIGIN "/\" enable=\"true\"/>\n</jsplugins>\n");
       },
       {3, "Quillora插件：已注册，未启用\n", ""}},
      // The suite knows the add-on by its name alone, and loads it unless its enable says false.
      {"another add-on whose name begins with ours",
       [&] {
         put_list("<jsplugins>\n<jspluginonline name=\"Quillora插件助手\" url=\"" QUILLORA_ORIGIN
                  "/\" enable=\"true\"/>\n</jsplugins>\n");
       },
       {3, not_registered, ""}},
      {"this build's entry with more of the user's attributes",
       [&] {
         std::string more(entry);
         more.insert(more.size() - 2, " debug=\"false\" note=\"\"");
         put_list("<jsplugins>\n" + more + "\n</jsplugins>\n");
       },
       {0, "Quillora插件：已注册，已启用\n", ""}},
      // An encoding that expat reads is read; another would be misread, and is refused.
      {"a list in ISO-8859-1",
       [&] {
         put_list("<?xml version='1.0' encoding='ISO-8859-1'?>\n<jsplugins>\xe9</jsplugins>\n");
       },
       {3, not_registered, ""}},
      {"a list in GBK",
       [&] { put_list("<?xml version='1.0' encoding='GBK'?>\n<jsplugins>\xb2\xe5</jsplugins>\n"); },
       {1, "",
        failure("无法读取XML文件",
                "XML声明的编码是GBK，不是UTF-8。请用文本编辑器另存为UTF-8后再试。")}},
  };
  for (const state& s : states) {
    SCOPED_TRACE(s.what);
    remove_tree(home_);
    make_dirs(home_);
    s.arrange();
    const auto before = snapshot(home_);
    EXPECT_EQ(run({"--status"}), s.expected);
    EXPECT_EQ(snapshot(home_), before);
  }
  EXPECT_EQ(run_in({"--status"}, {"PATH=/usr/bin:/bin"}), failed("", "无法获取用户主目录路径\n"));
}

TEST_F(CommandLine, StatusAnswersWhileAnotherCopyHoldsTheList) {
  put_list(installed);
  const int folder = open(at(".local/share/Kingsoft/wps/jsaddons").c_str(), O_RDONLY);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  // A run that waited for the lock would say so after a second, and fail past the bound.
  EXPECT_EQ(run({"--status"}), (outcome{0, "Quillora插件：已注册，已启用\n", ""}));
  close(folder);
}

TEST_F(CommandLine, VersionNamesThePublishingServer) {
  for (const char* option : {"--version", "-V"})
    EXPECT_EQ(run({option}), succeeded("quillora-installer " QUILLORA_VERSION
                                       "\n插件发布服务器：" QUILLORA_ORIGIN "\n"));
}

TEST_F(CommandLine, HelpListsOurOptionsAndHelpAllListsGtks) {
  const outcome help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.err, "");
  for (const char* text : {"--install", "--uninstall", "--status", "--list", "--version",
                           "--user=用户名", "详见：man quillora-installer", "退出状态",
                           "3  --status：插件未注册或未启用", "--help-all"})
    EXPECT_NE(help.out.find(text), std::string::npos) << text << " in\n" << help.out;
  // Short: what root's runs do in detail is the manual's. No line wider than a terminal's 80
  // columns, where each Chinese character takes two.
  EXPECT_LT(std::count(help.out.begin(), help.out.end(), '\n'), 30) << help.out;
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    std::size_t columns = 0;
    for (const unsigned char byte : line)
      columns += byte < 0x80 ? 1 : byte >= 0xe3 ? 2 : byte >= 0xc0 ? 1 : 0;
    EXPECT_LE(columns, 80u) << line;
  }
  EXPECT_EQ(help.out.find("--class"), std::string::npos);

  const outcome all = run({"--help-all"});
  EXPECT_EQ(all.code, 0);
  for (const char* text : {"--install", "--class=CLASS", "--display=DISPLAY", "--gtk-module"})
    EXPECT_NE(all.out.find(text), std::string::npos) << text << " in\n" << all.out;
  EXPECT_FALSE(exists(at(".local")));
}

TEST_F(CommandLine, UsageErrorsExitTwoAndTouchNothing) {
  put_list(installed);
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes{
      {{"--bogus"}, "Unknown option --bogus"},
      {{"--install", "--uninstall"}, "--install和--uninstall不能同时使用"},
      {{"--status", "--install"}, "--status和--install不能同时使用"},
      {{"--uninstall", "--version"}, "--uninstall和--version不能同时使用"},
      {{"--install", "now"}, "多余的参数：now"},
      {{"--install", "now\u009b\x1b"}, "多余的参数：now\\u009b\\x1b"},
      {{"--bogus\u202e"}, "Unknown option --bogus\\u202e"},
      {{"--status", "--bogus"}, "Unknown option --bogus"},
      {{"--status", "--create-folders"}, "--create-folders只能与--install一起使用"},
      {{"-q"}, "--quiet只能与--install、--uninstall、--status或--list一起使用"},
      {{"--version", "--quiet"}, "--quiet只能与--install、--uninstall、--status或--list一起使用"},
      {{"-V", "--install"}, "-V和--install不能同时使用"},
      // A mode without its dashes is no command, with a display or without one.
      {{"install"}, "多余的参数：install，是指--install吗？"},
      {{"--status", "list"}, "多余的参数：list，是指--list吗？"},
      {{"version"}, "多余的参数：version，是指--version吗？"},
      {{"installs"}, "多余的参数：installs"},
  };
  const auto before = snapshot(home_);
  for (const auto& [args, error] : mistakes) {
    SCOPED_TRACE(args.front());
    EXPECT_EQ(run(args), (outcome{2, "", "quillora-installer：" + error + "\n" + usage}));
  }
  // Asked for --json, a script reads the usage error as an object too, with the code for it.
  const std::string json_alone =
      "quillora-installer：--json只能与--install、--uninstall、--status、--list或--version一起使用";
  EXPECT_EQ(run({"--json"}),
            (outcome{2, "{\"changed\":false,\"error\":\"" + json_alone + "\",\"code\":\"usage\"}\n",
                     json_alone + "\n" + usage}));
  const outcome stray_json = run({"--install", "--json", "now"});
  EXPECT_EQ(stray_json.code, 2);
  EXPECT_EQ(parsed(stray_json.out),
            (std::map<std::string, std::string>{{"changed", "false"},
                                                {"error", "quillora-installer：多余的参数：now"},
                                                {"code", "usage"}}));
  // GTK's options and their values pass; the word after them does not.
  const outcome after_gtks = run({"--display", ":0", "install"});
  EXPECT_EQ(after_gtks.code, 2);
  EXPECT_NE(
      after_gtks.err.find("quillora-installer：多余的参数：install，是指--install吗？\n" + usage),
      std::string::npos)
      << after_gtks.err;
  // Started by a link of another name, it still names itself as its manual does.
  const std::string link = at("qi");
  ASSERT_EQ(symlink(INSTALLER, link.c_str()), 0);
  EXPECT_EQ(run_in({"--bogus"}, {"HOME=" + home_, "PATH=/usr/bin:/bin"}, link.c_str()),
            (outcome{2, "", "quillora-installer：Unknown option --bogus\n" + usage}));
  remove_tree(link);
  EXPECT_EQ(snapshot(home_), before);
}

TEST_F(CommandLine, AModeTakesGtksOptionsAndRepeatsOfItself) {
  make_list_folder();
  const std::vector<std::string> env{"HOME=" + home_, "PATH=/usr/bin:/bin"};
  EXPECT_EQ(run_in({"--install", "--install", "--class", "Quillora", "--display", ":99"}, env),
            succeeded(created()));
  EXPECT_EQ(run({"--status", "--"}), (outcome{0, "Quillora插件：已注册，已启用\n", ""}));
}

TEST_F(CommandLine, WithoutAnOptionTheWindowStillNeedsADisplay) {
  // Root's own home: no GTK at all, display or not, and a line says what serves root instead.
  if (geteuid() == 0) {
    const std::string instead =
        "安装窗口不以root身份运行：主目录" + home_ +
        "属于root，这里的插件列表是root自己的。要为某个用户安装，请以该用户的身份打开安装窗口，或用"
        "--install --user "
        "用户名；要修改root自己的插件列表，请用--install、--uninstall、--status或--"
        "list在终端中操作（详见--help）\n";
    EXPECT_EQ(run({}), failed("", instead));
    EXPECT_EQ(run({"--display", ":99"}), failed("", instead));
    EXPECT_FALSE(exists(at(".local")));
    return;
  }
  // As always: GTK says it has no display, and the run ends with status 1, the list untouched;
  // first a line tells what runs without one.
  const outcome window = run({});
  EXPECT_EQ(window.code, 1);
  EXPECT_EQ(window.out, "");
  EXPECT_NE(window.err.find("安装窗口需要图形界面的显示器；没有显示器时，请用--install、--uninstall"
                            "或--status在终端中操作（详见--help）\n"),
            std::string::npos)
      << window.err;
  EXPECT_LT(window.err.find("安装窗口需要"), window.err.find("cannot open display"));
  EXPECT_NE(window.err.find("cannot open display"), std::string::npos) << window.err;
  EXPECT_FALSE(exists(at(".local")));
  // A display named on the command line is GTK's to open: no such line.
  const outcome named = run({"--display", ":99"});
  EXPECT_EQ(named.code, 1);
  EXPECT_EQ(named.err.find("安装窗口需要"), std::string::npos) << named.err;
}

// How many times a race with root's run is tried: a tenth of `full` in the ordinary run, `full`
// in the long runs (QUILLORA_LONG_RACES=1, set by `make stress`).
int race_runs(int full) {
  const char* longer = std::getenv("QUILLORA_LONG_RACES");
  return longer != nullptr && std::string(longer) == "1" ? full : full / 10;
}

// The program started as `pid` and the processes it started in turn, its run for a user.
std::vector<pid_t> program_and_children(pid_t pid) {
  std::vector<pid_t> all{pid};
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
  for (pid_t child; children >> child;)
    all.push_back(child);
  return all;
}

// True once the program started as `pid`, or its run for a user, holds the folder `path` open:
// the editor opens the list's folder and then waits for its lock. (Before the program starts,
// the child still holds the test's own descriptors.)
bool holds_open(pid_t pid, const std::string& path) {
  for (const pid_t process : program_and_children(pid)) {
    if (process != pid && holds_open(process, path))
      return true;
  }
  char exe[PATH_MAX];
  const std::string proc = "/proc/" + std::to_string(pid);
  const ssize_t length = readlink((proc + "/exe").c_str(), exe, sizeof exe);
  if (length <= 0 || std::string(exe, static_cast<std::size_t>(length)) != INSTALLER)
    return false;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fds.c_str());
  if (dir == nullptr)
    return false;
  bool found = false;
  while (const dirent* fd = readdir(dir)) {
    char target[PATH_MAX];
    const ssize_t size = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target);
    found = found || (size > 0 && std::string(target, static_cast<std::size_t>(size)) == path);
  }
  closedir(dir);
  return found;
}

// Root working on a user's list, from a script, the playbook or by hand with her HOME, while she
// points her folders at root's files: whatever she arranges, root creates nothing there, and
// the list it creates is hers.
TEST_F(CommandLine, RootRunsForAUserAsThatUser) {
  if (geteuid() != 0)
    GTEST_SKIP() << "creating a user takes root";
  ASSERT_EQ(chmod(home_.c_str(), 0755), 0);
  const std::string her_home = at("her");
  const throwaway_user her(her_home);
  ASSERT_TRUE(her.made());
  const uid_t uid = her.uid();
  const gid_t gid = her.gid();
  const std::string folder = her_home + "/.local/share/Kingsoft/wps/jsaddons";
  // Root's own folders, where she wants root to write: one in the list folder's place.
  const std::string root_owned = at("root-owned");
  const std::string root_folder = root_owned + "/share/Kingsoft/wps/jsaddons";
  std::map<std::string, std::string> root_before;

  // She makes what she points with; they are hers.
  const auto hers = [&](const std::string& path) {
    for (std::string part = path; part.size() >= her_home.size(); part.erase(part.rfind('/')))
      ASSERT_EQ(lchown(part.c_str(), uid, gid), 0) << part;
  };
  const auto link_to_root = [&](const std::string& name, const std::string& target) {
    remove_tree(her_home + "/" + name);
    ASSERT_EQ(symlink(target.c_str(), (her_home + "/" + name).c_str()), 0);
    hers(her_home + "/" + name);
  };
  // Holds the lock on her folder until root waits for it (holds it open), then swaps in a link to
  // root's folder and lets go; a few hundred times, for a while at most.
  const auto lock_and_swap = [&](const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int tries = 0;
    for (; tries < race_runs(200) && std::chrono::steady_clock::now() < until; ++tries) {
      const int lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return outcome{-1, "", "no lock on her folder"};
      const child root = start_in(args, env);
      // Until it waits for the lock, or ends without.
      while (!holds_open(root.pid, folder) && running(root))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      const bool waited = holds_open(root.pid, folder);
      const bool swapped = rename(folder.c_str(), (folder + ".away").c_str()) == 0 &&
                           symlink(root_folder.c_str(), folder.c_str()) == 0;
      close(lock);
      const outcome run = finish(root);
      if (!waited || !swapped || (run.code != 0 && run.code != 1) ||
          snapshot(root_owned) != root_before)
        return outcome{-1, run.out,
                       "try " + std::to_string(tries) + (waited ? "" : ", never waited") +
                           (swapped ? "" : ", not swapped") + ": " + run.err};
      unlink(folder.c_str());
      rename((folder + ".away").c_str(), folder.c_str());
      unlink((folder + "/publish.xml").c_str());
    }
    std::printf(
        "lock and swap: %d runs of root waiting for her lock, none wrote in root's folder\n",
        tries);
    return outcome{tries > 0 ? 0 : -1, "", ""};
  };

  // Root's home-like folders that she would have root edit in: one that anyone may write, one
  // whose .local she owns, one that holds a list folder of root's.
  const std::string shared = at("shared");
  const std::string root_home = at("root-home");
  const std::string roots_list_home = root_owned + "/home";
  // HOME is a link of root's to her folder `swap`, which she keeps swapping for a link to a home
  // of root's, a few hundred runs long: root never writes there, wherever the run lands.
  const auto swap_while_root_runs = [&] {
    const std::string swap = her_home + "/swap";
    const std::string link = at("root-link");
    make_dirs(roots_list_home + "/.local/share/Kingsoft/wps/jsaddons");
    root_before = snapshot(root_owned);
    make_dirs(swap + "/.local/share/Kingsoft/wps/jsaddons");
    hers(swap + "/.local/share/Kingsoft/wps/jsaddons");
    unlink(link.c_str());
    EXPECT_EQ(symlink(swap.c_str(), link.c_str()), 0);
    std::atomic<bool> done{false};
    std::thread she([&] {
      while (!done) {
        rename(swap.c_str(), (swap + ".real").c_str());
        symlink(roots_list_home.c_str(), swap.c_str());
        lchown(swap.c_str(), uid, gid);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        unlink(swap.c_str());
        rename((swap + ".real").c_str(), swap.c_str());
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
    int runs = 0;
    outcome bad{0, "", ""};
    for (; runs < race_runs(300) && bad.code == 0; ++runs) {
      const outcome run = run_in({"--install"}, {"HOME=" + link, "PATH=/usr/bin:/bin"});
      if ((run.code != 0 && run.code != 1) || snapshot(root_owned) != root_before)
        bad = outcome{-1, run.out,
                      "run " + std::to_string(runs) + ", exit " + std::to_string(run.code) +
                          (snapshot(root_owned) != root_before ? ", root's folder changed" : "") +
                          ": " + run.err};
    }
    done = true;
    she.join();
    unlink(link.c_str());
    std::printf(
        "link swap: %d runs of root on a link into her swapped folder, none wrote in "
        "root's folder\n",
        runs);
    return bad;
  };
  // She holds her lock and stops root's run for her while it waits: root's caller gets the
  // failure once the lock's bound and the 30 s after it are over, not never.
  const auto stop_while_root_waits = [&] {
    // At 1 the kernel leaves a process that changed its ids dumpable: only the run itself can
    // keep her from tracing it.
    const std::string dumpable = read_bytes("/proc/sys/fs/suid_dumpable");
    write_bytes("/proc/sys/fs/suid_dumpable", "1");
    const int lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(flock(lock, LOCK_EX), 0);
    const auto started = std::chrono::steady_clock::now();
    const child root = start_in({"--user", her.name(), "--install"},
                                {"HOME=" + home_, "PATH=/usr/bin:/bin", "QUILLORA_LOCK_TIMEOUT=2"});
    while (!holds_open(root.pid, folder) && running(root))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    for (const pid_t process : program_and_children(root.pid)) {
      if (process == root.pid)
        continue;
      kill(process, SIGSTOP);
      // Hers, yet not hers to trace or read: the kernel hands a process that is not dumpable
      // to root in /proc, whatever fs.suid_dumpable says.
      struct stat st {};
      EXPECT_EQ(stat(("/proc/" + std::to_string(process) + "/environ").c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, 0u) << "her run for root can be traced by her";
    }
    const outcome run = finish(root);
    close(lock);
    write_bytes("/proc/sys/fs/suid_dumpable", dumpable);
    // Its deadline is the bound and 30 s: not sooner, and not so much later that it would be
    // another, however busy the machine.
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::seconds(32));
    EXPECT_LT(waited, std::chrono::seconds(2 * 32));
    EXPECT_NE(run.err.find("为用户运行的进程超时：" + her.name() + "：超过32秒仍未结束，已终止\n"),
              std::string::npos)
        << run.err;
    return run;
  };

  // Her GTK module, where she may read it, and the folder where it says whom it was loaded as.
  const std::string module = at("bin/her-module.so");
  const std::string markers = at("markers");
  make_dirs(at("bin"));
  write_bytes(module, read_bytes(GTK_MARKER_MODULE));
  ASSERT_EQ(chmod(at("bin").c_str(), 0755) | chmod(module.c_str(), 0755), 0);
  // Runs the window program with GTK_MODULES naming her module in root's environment and `env`;
  // stderr gains a line for each user that her module was loaded as.
  const auto with_her_module = [&](const std::vector<std::string>& args,
                                   std::vector<std::string> env) {
    remove_tree(markers);
    make_dirs(markers);
    EXPECT_EQ(chmod(markers.c_str(), 01777), 0);
    env.insert(env.end(),
               {"PATH=/usr/bin:/bin", "GTK_MODULES=" + module, "QUILLORA_TEST_MARKERS=" + markers});
    outcome run = run_in(args, env);
    for (const uid_t who : {uid_t{0}, uid})
      if (exists(markers + "/loaded-as-" + std::to_string(who)))
        run.err += "her module ran as " + std::to_string(who) + "\n";
    return run;
  };
  const std::string no_window_as_root =
      "安装窗口不以root身份运行：主目录" + root_home +
      "属于root，这里的插件列表是root自己的。要为某个用户安装，请以该用户的身份打开安装窗口，或用"
      "--install --user 用户名；要修改root自己的插件列表，请用--install、--uninstall、--status或--"
      "list在终端中操作（详见--help）\n";

  const std::vector<std::string> for_her{"--user", her.name(), "--install"};
  const std::vector<std::string> as_root{"HOME=" + home_, "PATH=/usr/bin:/bin"};
  const std::vector<std::string> on_her_home{"HOME=" + her_home, "PATH=/usr/bin:/bin"};
  const std::string her_lines =
      "用户主目录路径：" + her_home + "\n当前工作目录：" + her_home + "\n";
  const std::string created_hers = her_lines + "已创建新的XML文件：" + rel + "\n";
  struct attempt {
    std::string what;
    std::function<void()> arrange;  // on her home, which holds her list's folder
    std::function<outcome()> act;
    outcome expected;  // a failure with no stderr given: any one line there
    bool list_is_hers = false;
  };
  std::vector<attempt> attempts{
      {"--user: her list's folder is a link to a root-owned folder",
       [&] { link_to_root(".local/share/Kingsoft/wps/jsaddons", root_folder); },
       [&] { return run_in(for_her, as_root); }, failed(her_lines, "")},
      {"root on her HOME: her .local is a link to a root-owned folder",
       [&] { link_to_root(".local", root_owned); },
       [&] { return run_in({"--install"}, on_her_home); }, failed(her_lines, "")},
      {"--user: she swaps her folder for a link while root waits for her lock", [] {},
       [&] { return lock_and_swap(for_her, as_root); }, succeeded("")},
      {"--user: the list it creates is hers", [] {}, [&] { return run_in(for_her, as_root); },
       succeeded(created_hers), true},
      {"root on her HOME: the list it creates is hers", [] {},
       [&] { return run_in({"--install"}, on_her_home); }, succeeded(created_hers), true},
      {"--user --list: one very wide entry among 6000 short ones prints about the list's size",
       [&] {
         make_dirs(folder);
         std::string list = "<jsplugins>\n<jsplugin name=\"" + std::string(40000, 'w') + "\"/>\n";
         for (int i = 0; i < 6000; ++i)
           list += "<jsplugin name=\"a" + std::to_string(i) + "\" type=\"wps\" url=\"u\"/>\n";
         write_bytes(folder + "/publish.xml", list + "</jsplugins>\n");
         hers(folder + "/publish.xml");
       },
       [&] {
         const std::size_t size = read_bytes(folder + "/publish.xml").size();
         const outcome run = run_in({"--user", her.name(), "--list"}, as_root);
         unlink((folder + "/publish.xml").c_str());
         if (run.code != 0 || run.out.size() > 2 * size ||
             run.out.find("a5999") == std::string::npos)
           return outcome{-1, "",
                          "exit " + std::to_string(run.code) + ", " +
                              std::to_string(run.out.size()) + " bytes for a list of " +
                              std::to_string(size) + ": " + run.err};
         return outcome{0, "", run.err};
       },
       succeeded("")},
      {"root on a HOME that anyone may write, with --create-folders",
       [&] {
         make_dirs(shared);
         ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
       },
       [&] {
         return run_in({"--install", "--create-folders"}, {"HOME=" + shared, "PATH=/usr/bin:/bin"});
       },
       failed("", "拒绝以root身份修改XML文件：" + shared +
                      "：其他用户可以写入此文件夹，请用--user指定用户\n")},
      {"root's --status on a HOME that anyone may write: refused, as a read",
       [&] {
         make_dirs(shared);
         ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
       },
       [&] {
         return run_in({"--status"}, {"HOME=" + shared, "PATH=/usr/bin:/bin"});
       },
       failed("", "拒绝以root身份读取XML文件：" + shared +
                      "：其他用户可以写入此文件夹，请用--user指定用户\n")},
      {"root on a home of root's whose .local is hers, with a link of hers in it",
       [&] {
         make_dirs(root_home + "/.local");
         ASSERT_EQ(lchown((root_home + "/.local").c_str(), uid, gid), 0);
         ASSERT_EQ(symlink(root_owned.c_str(), (root_home + "/.local/share").c_str()), 0);
         ASSERT_EQ(lchown((root_home + "/.local/share").c_str(), uid, gid), 0);
       },
       [&] {
         return run_in({"--install", "--create-folders"},
                       {"HOME=" + root_home, "PATH=/usr/bin:/bin"});
       },
       failed("用户主目录路径：" + root_home + "\n当前工作目录：" + root_home + "\n", "")},
      {"root on a link of root's into her folder, which she swaps with a link to root's", [] {},
       [&] { return swap_while_root_runs(); }, succeeded("")},
      {"--user: she stops her run while it waits for her lock", [] {},
       // Her run is killed before it could tell anything: its record is never printed.
       [&] { return stop_while_root_waits(); }, failed("", "")},
      {"root on a home of root's whose Flatpak app folder is hers, with her link in it",
       [&] {
         const std::string app = root_home + "/.var/app/cn.wps.Office";
         make_dirs(app + "/data/Kingsoft/wps");
         ASSERT_EQ(symlink(root_folder.c_str(), (app + "/data/Kingsoft/wps/jsaddons").c_str()), 0);
         for (const std::string& part :
              {app, app + "/data", app + "/data/Kingsoft", app + "/data/Kingsoft/wps",
               app + "/data/Kingsoft/wps/jsaddons"})
           ASSERT_EQ(lchown(part.c_str(), uid, gid), 0);
         make_dirs(root_home + "/.local/share/Kingsoft/wps/jsaddons");
       },
       [&] {
         return run_in({"--install"}, {"HOME=" + root_home, "PATH=/usr/bin:/bin"});
       },
       failed(
           "用户主目录路径：" + root_home + "\n当前工作目录：" + root_home +
               "\n已创建新的XML文件：" + rel +
               "\n沙盒中的XML文件：.var/app/cn.wps.Office/data/Kingsoft/wps/jsaddons/publish.xml\n",
           "拒绝以root身份修改XML文件：.var/app/cn.wps.Office：此文件夹不属于root，请用--user"
           "指定用户\n")},
      {"root on a home of root's whose Snap's current is her link to root's folder",
       [&] {
         make_dirs(root_home + "/snap/wps-office");
         ASSERT_EQ(symlink(root_owned.c_str(), (root_home + "/snap/wps-office/current").c_str()),
                   0);
         ASSERT_EQ(lchown((root_home + "/snap/wps-office/current").c_str(), uid, gid), 0);
         make_dirs(root_owned + "/.local/share/Kingsoft/wps/jsaddons");
         root_before = snapshot(root_owned);
       },
       [&] {
         return run_in({"--status"}, {"HOME=" + root_home, "PATH=/usr/bin:/bin"});
       },
       failed("",
              "拒绝以root身份读取XML文件：snap/wps-office/current：此文件夹不属于root，请用--user"
              "指定用户\n")},
      {"root on a home of root's whose list folder its group may write",
       [&] {
         make_dirs(root_home + "/.local/share/Kingsoft/wps/jsaddons");
         ASSERT_EQ(chmod((root_home + "/.local/share/Kingsoft/wps/jsaddons").c_str(), 0775), 0);
         ASSERT_EQ(symlink((root_folder + "/publish.xml").c_str(),
                           (root_home + "/.local/share/Kingsoft/wps/jsaddons/publish.xml").c_str()),
                   0);
       },
       [&] {
         return run_in({"--install"}, {"HOME=" + root_home, "PATH=/usr/bin:/bin"});
       },
       failed("", "拒绝以root身份修改XML文件：" + root_home +
                      "/.local/share/Kingsoft/wps/jsaddons：其他用户可以写入此文件夹，请用--user"
                      "指定用户\n")},
      {"the window on a home of root's whose .config is hers and names her module",
       [&] {
         make_dirs(root_home + "/.config/gtk-3.0");
         write_bytes(root_home + "/.config/gtk-3.0/settings.ini",
                     "[Settings]\ngtk-modules=" + module + "\n");
         ASSERT_EQ(
             std::system(("chown -R " + her.name() + ": '" + root_home + "/.config'").c_str()), 0);
       },
       [&] {
         return with_her_module({}, {"HOME=" + root_home, "DISPLAY=:0"});
       },
       failed("", no_window_as_root)},
      {"the window on her home, GTK_MODULES in root's environment: loaded as her alone", [] {},
       [&] {
         outcome run = with_her_module({}, {"HOME=" + her_home});
         const std::size_t marker = run.err.find("her module");
         run.err = marker == std::string::npos ? std::string() : run.err.substr(marker);
         return run;
       },
       failed("", "her module ran as " + std::to_string(uid) + "\n")},
      {"root's --status beside GTK's options, GTK_MODULES in root's environment",
       [&] { make_dirs(root_home); },
       [&] {
         return with_her_module({"--status", "--class", "Q", "--gtk-module", module},
                                {"HOME=" + root_home});
       },
       {3, "Quillora插件：未注册\n", ""}},
      {"--user --status --json for a user whose home is not there: an error, never absent",
       [&] { remove_tree(her_home); },
       [&] {
         return run_in({"--user", her.name(), "--status", "--json"}, as_root);
       },
       failed(R"({"action":"status","changed":false,"error":"无法进入用户主目录：)" + her_home +
                  R"(：No such file or directory","code":"no_home","lists":[]})" + "\n",
              "无法进入用户主目录：" + her_home + "：No such file or directory\n")},
      // Root's walk could not reach the home: the run fails as the walk met it, and never takes
      // the home for one that is not there (未注册).
      {"root's --status on a HOME that is a link of root's to itself",
       [&] {
         remove_tree(root_home);
         EXPECT_EQ(symlink(root_home.c_str(), root_home.c_str()), 0);
       },
       [&] {
         return run_in({"--status"}, {"HOME=" + root_home, "PATH=/usr/bin:/bin"});
       },
       failed("", "无法更改工作目录\n")},
      {"--user for an unknown user", [] {},
       [&] {
         return run_in({"--user", "quillora-no-such-user", "--status"}, as_root);
       },
       failed("", "quillora-installer：找不到用户：quillora-no-such-user\n")},
      {"--user when not root",
       [] {},
       [&] {
         // A copy that nobody may run, wherever the build lies (a clone under /root, say).
         make_dirs(at("bin"));
         const std::string copy = at("bin/quillora-installer");
         write_bytes(copy, read_bytes(INSTALLER));
         EXPECT_EQ(chmod(at("bin").c_str(), 0755) | chmod(copy.c_str(), 0755), 0);
         return finish(start_in(for_her, as_root, copy.c_str(), true));
       },
       {2, "", "quillora-installer：--user只能由root使用\n" + usage}},
  };
  // A folder that anyone may write is refused as the last one however the path ends: "." and
  // empty names are no last name, in HOME or in a link of root's in a home root keeps.
  const auto shared_folder = [&] {
    make_dirs(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  };
  for (const std::string end : {"/.", "/./", "//"}) {
    attempts.push_back(
        {"root on HOME=<a folder anyone may write>" + end, shared_folder,
         [&, end] {
           return run_in({"--install"}, {"HOME=" + shared + end, "PATH=/usr/bin:/bin"});
         },
         failed("", "拒绝以root身份修改XML文件：" + shared +
                        "：其他用户可以写入此文件夹，请用--user指定用户\n")});
    attempts.push_back(
        {"root's --list on a home of root's whose list folder links to <a folder anyone may "
         "write>" +
             end,
         [&, end] {
           shared_folder();
           make_dirs(root_home + "/.local/share/Kingsoft/wps");
           ASSERT_EQ(symlink((shared + end).c_str(),
                             (root_home + "/.local/share/Kingsoft/wps/jsaddons").c_str()),
                     0);
           write_bytes(shared + "/publish.xml", installed);
         },
         [&] {
           return run_in({"--list"}, {"HOME=" + root_home, "PATH=/usr/bin:/bin"});
         },
         failed("", "拒绝以root身份读取XML文件：" + shared +
                        "：其他用户可以写入此文件夹，请用--user指定用户\n")});
  }
  for (const attempt& a : attempts) {
    SCOPED_TRACE(a.what);
    remove_tree(root_owned);
    remove_tree(shared);
    remove_tree(root_home);
    make_dirs(root_folder);
    root_before = snapshot(root_owned);
    remove_tree(her_home);
    make_dirs(folder);
    hers(folder);
    a.arrange();
    const outcome run = a.act();
    if (a.expected.code == 1 && a.expected.err.empty()) {
      EXPECT_EQ(run.code, 1) << run.err;
      EXPECT_EQ(run.out, a.expected.out);
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    } else {
      EXPECT_EQ(run, a.expected);
    }
    EXPECT_EQ(snapshot(root_owned), root_before) << "root wrote where she pointed";
    if (a.list_is_hers) {
      struct stat st {};
      EXPECT_EQ(lstat((folder + "/publish.xml").c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, uid);
      EXPECT_EQ(st.st_gid, gid);
    }
  }
}

// What a run with --json printed, parsed: each value as text ("true", "null", "4", a string),
// arrays with their indexes ("addons.0.name"); empty when stdout held no JSON object.
std::map<std::string, std::string> parsed(const std::string& out) {
  std::map<std::string, std::string> values;
  const nlohmann::json root = nlohmann::json::parse(out, nullptr, false);
  if (!root.is_object())
    return values;
  std::function<void(const std::string&, const nlohmann::json&)> flatten =
      [&](const std::string& at, const nlohmann::json& node) {
        if (node.is_object()) {
          for (const auto& [name, value] : node.items())
            flatten(at.empty() ? name : at + "." + name, value);
        } else if (node.is_array()) {
          values[at + ".length"] = std::to_string(node.size());
          for (std::size_t i = 0; i < node.size(); ++i)
            flatten(at + "." + std::to_string(i), node[i]);
        } else if (node.is_null()) {
          values[at] = "null";
        } else if (node.is_boolean()) {
          values[at] = node.get<bool>() ? "true" : "false";
        } else if (node.is_number()) {
          values[at] = node.dump();
        } else {
          values[at] = node.is_string() ? node.get<std::string>() : "?";
        }
      };
  flatten({}, root);
  return values;
}

// Scripts read one JSON object instead of the console lines: what was asked, whether the list
// changed, where the add-on stands, and on failure the stderr line, which still goes to stderr;
// the exit status is the same as without --json.
TEST_F(CommandLine, JsonTellsScriptsWhatEachRunDid) {
  using values = std::map<std::string, std::string>;
  const std::string no_folder = failure("无法创建XML文件", "No such file or directory");
  // A tag left open on line 2, which expat finds faulty at the '<' on line 3.
  const std::string malformed =
      failure("无法修改XML文件",
              "第2行开始的标记有XML格式错误，在第3行发现：not well-formed (invalid token)");
  // `lists` is there for the home's own list alone too, so that scripts read one shape.
  const auto ok = [](const char* action, const char* changed, const char* state) {
    return values{{"action", action},
                  {"changed", changed},
                  {"state", state},
                  {"list", rel},
                  {"lists.length", "1"},
                  {"lists.0.list", rel},
                  {"lists.0.changed", changed},
                  {"lists.0.state", state}};
  };
  const auto refused = [](const char* action, const std::string& line, const char* code,
                          values lines = {}) {
    const std::string error = line.substr(0, line.size() - 1);
    values v{{"action", action},
             {"changed", "false"},
             {"list", rel},
             {"error", error},
             {"code", code},
             {"lists.length", "1"},
             {"lists.0.list", rel},
             {"lists.0.changed", "false"},
             {"lists.0.error", error},
             {"lists.0.code", code}};
    // A list's fault at a line gives its numbers, the run's and the list's alike.
    for (const auto& [key, value] : lines) {
      v[key] = value;
      v["lists.0." + key] = value;
    }
    return v;
  };
  const struct {
    std::function<void()> arrange;
    std::vector<std::string> args;
    int code;
    values expected;
    std::string err;
  } runs[] = {
      {[] {},
       {"--install", "--json"},
       1,
       refused("install", no_folder, "no_folder"),
       no_folder + "提示：办公套件还没有创建插件文件夹；如果要直接创建，请加上--create-folders\n" +
           roots_home_hint()},
      {[this] { make_list_folder(); },
       {"--install", "--json"},
       0,
       ok("install", "true", "enabled"),
       ""},
      {[] {}, {"--json", "--install"}, 0, ok("install", "false", "enabled"), ""},
      {[] {}, {"--status", "--json"}, 0, ok("status", "false", "enabled"), ""},
      {[] {}, {"--uninstall", "--json"}, 0, ok("uninstall", "true", "absent"), ""},
      {[] {}, {"--uninstall", "--json"}, 0, ok("uninstall", "false", "absent"), ""},
      {[] {}, {"--status", "--json"}, 3, ok("status", "false", "absent"), ""},
      {[this] { put_list("<jsplugins>\n<x\n</jsplugins>\n"); },
       {"--install", "--json"},
       1,
       refused("install", malformed, "malformed", {{"line", "3"}, {"begins_line", "2"}}),
       malformed},
      {[] {},
       {"--version", "--json"},
       0,
       values{{"action", "version"}, {"version", QUILLORA_VERSION}, {"origin", QUILLORA_ORIGIN}},
       ""},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.args[0] + " " + r.args[1]);
    r.arrange();
    const outcome got = run(r.args);
    EXPECT_EQ(got.code, r.code);
    EXPECT_EQ(parsed(got.out), r.expected) << got.out;
    EXPECT_EQ(got.err, r.err);
  }
  // One line, its members in their order.
  EXPECT_EQ(run({"--version", "--json"}).out,
            "{\"action\":\"version\",\"version\":\"" QUILLORA_VERSION
            "\",\"origin\":\"" QUILLORA_ORIGIN "\"}\n");
}

// Support sees what the list registers, one line an add-on, the add-on's own marked; comments
// hold none, and nothing changes.
TEST_F(CommandLine, ListShowsEveryAddOnOfTheList) {
  const std::string offline =
      "<jsplugin name=\"X\" type=\"et\" url=\"https://x.example/\" enable=\"enable_dev\"/>";
  std::string disabled(entry);
  disabled.replace(disabled.find("\"true\""), 6, "\"false\"");
  // A name that would clear a terminal that obeys 8-bit controls, and turn text around.
  const std::string hidden =
      "<jsplugins><jsplugin name=\"clear\u009b2J\u202eevil\u2028\" "
      "type=\"et\" url=\"u\" enable=\"enable_dev\"/></jsplugins>";
  // Values longer than any add-on's show their first 4096 bytes, cut where a character starts.
  const std::string long_name = std::string(4095, 'x') + "插件";
  const std::string long_url(5000, 'u');
  const struct {
    std::string list;
    std::string out;
  } cases[] = {
      {"<jsplugins>\n<!-- " + std::string(entry) + " -->\n  " + offline + "\n</jsplugins>\n",
       "  X  离线  et  已启用  https://x.example/\n"},
      {"<jsplugins>" + disabled +
           "<jspluginonline name=\"Y\" type=\"wps\" url=\"u\" "
           "enable=\"false\"/></jsplugins>",
       "* Quillora插件  在线  wps  未启用  " QUILLORA_ORIGIN
       "/\n  Y             在线  wps  未启用  u\n"},
      // Columns line up on a terminal, where a Chinese character takes two places.
      {"<jsplugins><jsplugin name=\"表格助手\" type=\"et\" url=\"a\"/>"
       "<jspluginonline name=\"Ab\" type=\"wpp\" url=\"b\" enable=\"false\"/></jsplugins>",
       "  表格助手  离线  et   已启用  a\n  Ab        在线  wpp  未启用  b\n"},
      {"<jsplugins/>", "列表中没有插件\n"},
      {"<jsplugins><jspluginonline name=\"" + long_name + "\" url=\"" + long_url +
           "\" type=\"wps\"/></jsplugins>",
       "  " + long_name.substr(0, 4095) + "…  在线  wps  已启用  " + long_url.substr(0, 4096) +
           "…\n"},
      // Only the add-on named exactly ours is marked, enabled whatever other attributes say.
      {"<jsplugins><jspluginonline name=\"Quillora插件助手\" type=\"wps\" url=\"h\"/>" +
           std::string(entry).insert(entry.size() - 2, " debug=\"false\"") + "</jsplugins>",
       "  Quillora插件助手  在线  wps  已启用  h\n* Quillora插件      在线  wps  已启用 "
       " " QUILLORA_ORIGIN "/\n"},
      // Names that show as ours, or as nothing, are no look-alikes on a terminal; the column stops
      // at 40, and the wider name goes on unpadded.
      {"<jsplugins><jsplugin name=\"Quillora插件\u200b\" url=\"a\"/><jsplugin "
       "name=\"\u3164\u115f\u1160\u2060\u2064\ufeff\u200d\" url=\"b\"/></jsplugins>",
       "  Quillora插件\\u200b" + std::string(24, ' ') +
           "离线    已启用  a\n"
           "  \\u3164\\u115f\\u1160\\u2060\\u2064\\ufeff\\u200d  离线    已启用  b\n"},
      {hidden, "  clear\\u009b2J\\u202eevil\\u2028  离线  et  已启用  u\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    put_list(c.list);
    const auto before = snapshot(home_);
    EXPECT_EQ(run({"--list"}), succeeded(c.out));
    EXPECT_EQ(snapshot(home_), before);
  }
  // The list the table ends with: scripts get the name as it is, a terminal shows escapes.
  const outcome escaped = run({"--list", "--json"});
  EXPECT_EQ(parsed(escaped.out).at("addons.0.name"), "clear\u009b2J\u202eevil\u2028");
  EXPECT_NE(escaped.out.find("clear\\u009b2J\\u202eevil\\u2028"), std::string::npos) << escaped.out;
  put_list("<jsplugins/>");
  const std::map<std::string, std::string> listed = parsed(run({"--list", "--json"}).out);
  EXPECT_EQ(listed.at("addons.length"), "0");
  put_list("<jsplugins>\n" + offline + "\n" + std::string(entry) + "\n</jsplugins>\n");
  const std::map<std::string, std::string> two = parsed(run({"--json", "--list"}).out);
  EXPECT_EQ(two.at("addons.length"), "2");
  EXPECT_EQ(two.at("addons.0.online") + two.at("addons.0.quillora"), "falsefalse");
  EXPECT_EQ(two.at("addons.1.name") + two.at("addons.1.quillora") + two.at("addons.1.enabled"),
            "Quillora插件truetrue");
}

// New staff never started the suite: --create-folders makes the list's folders as the user, the
// user's alone where .local was missing, and never through a link.
TEST_F(CommandLine, CreateFoldersGivesUsersWhoNeverStartedTheSuiteTheList) {
  const std::string folders = ".local/share/Kingsoft/wps/jsaddons";
  const std::string made = "已创建文件夹：" + folders + "\n";
  const std::string elsewhere = at("elsewhere");
  const struct {
    const char* name;
    std::function<void()> arrange;
    outcome result;
    mode_t mode;  // of the folders made, when the run succeeds
  } cases[] = {
      {"no .local", [] {}, succeeded(head_lines() + made + created().substr(head_lines().size())),
       0700},
      {".local there", [this] { make_dirs(at(".local")); },
       succeeded(head_lines() + made + created().substr(head_lines().size())), 0755},
      {"a link on the way",
       [&] {
         make_dirs(at(".local"));
         make_dirs(elsewhere);
         ASSERT_EQ(symlink(elsewhere.c_str(), at(".local/share").c_str()), 0);
       },
       failed(head_lines(), "无法创建文件夹：.local/share：是符号链接\n"), 0},
  };
  const mode_t old_mask = umask(022);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remove_tree(at(".local"));
    remove_tree(elsewhere);
    c.arrange();
    EXPECT_EQ(run({"--install", "--create-folders"}), c.result);
    if (c.result.code == 0) {
      EXPECT_EQ(read_bytes(list()), skeleton);
      struct stat st {};
      ASSERT_EQ(stat(at(folders).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, c.mode);
    } else {
      EXPECT_TRUE(snapshot(elsewhere).empty()) << "something was made through the link";
    }
  }
  umask(old_mask);
}

}  // namespace

namespace {

// The lists of sandboxed copies of the suite, as each kind of sandbox lays them out.
const std::string flatpak = ".var/app/cn.wps.Office/data/Kingsoft/wps/jsaddons/publish.xml";
const std::string snap = "snap/wps-office/current/.local/share/Kingsoft/wps/jsaddons/publish.xml";
const std::string linglong = ".linglong/cn.wps.office/share/Kingsoft/wps/jsaddons/publish.xml";

}  // namespace

// Users whose suite came from an app store: each copy of the suite reads its own list, and the
// add-on lands in every one that the suite has made, the home's own included; a sandbox whose
// suite never started is left alone, and one list that fails fails the run but not the others.
TEST_F(CommandLine, EveryCopyOfTheSuiteGetsTheAddOn) {
  const auto folder_of = [this](const std::string& list) {
    make_dirs(at(list.substr(0, list.rfind('/'))));
  };
  const auto sandboxes = [&] {
    folder_of(flatpak);
    make_dirs(at("snap/wps-office/12"));
    ASSERT_EQ(symlink("12", at("snap/wps-office/current").c_str()), 0);
    make_dirs(at("snap/wps-office/12/.local/share/Kingsoft/wps/jsaddons"));
    folder_of(linglong);
    make_dirs(at(".var/app/org.other.App/data"));  // no suite there
  };
  const std::string flatpak_line = "沙盒中的XML文件：" + flatpak + "\n";
  const std::string snap_line = "沙盒中的XML文件：" + snap + "\n";
  const std::string linglong_line = "沙盒中的XML文件：" + linglong + "\n";
  const auto created_at = [](const std::string& list) {
    return "已创建新的XML文件：" + list + "\n";
  };
  const std::string malformed =
      "无法修改XML文件：" + snap + "：第1行有XML格式错误：unclosed token\n";
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::vector<std::string> args;
    outcome expected;
  } runs[] = {
      {"install: the home's list and one copy of each kind",
       [&] {
         make_list_folder();
         sandboxes();
       },
       {"--install"},
       succeeded(created() + flatpak_line + created_at(flatpak) + snap_line + created_at(snap) +
                 linglong_line + created_at(linglong))},
      {"status: enabled in every list",
       [] {},
       {"--status"},
       {0,
        "Quillora插件：已注册，已启用\n沙盒中的XML文件：" + flatpak +
            "：已注册，已启用\n沙盒中的XML文件：" + snap + "：已注册，已启用\n沙盒中的XML文件：" +
            linglong + "：已注册，已启用\n",
        ""}},
      {"uninstall: from every list",
       [] {},
       {"--uninstall"},
       succeeded(head_lines() + "包含Quillora插件节点，需删除\n" + flatpak_line +
                 "包含Quillora插件节点，需删除\n" + snap_line + "包含Quillora插件节点，需删除\n" +
                 linglong_line + "包含Quillora插件节点，需删除\n")},
      {"status: missing in every list",
       [] {},
       {"--status"},
       {3,
        "Quillora插件：未注册\n沙盒中的XML文件：" + flatpak + "：未注册\n沙盒中的XML文件：" + snap +
            "：未注册\n沙盒中的XML文件：" + linglong + "：未注册\n",
        ""}},
      {"install: a Flatpak copy alone",
       [&] {
         remove_tree(at(".local"));
         remove_tree(at("snap"));
         remove_tree(at(".linglong"));
         remove_tree(at(".var"));
         folder_of(flatpak);
       },
       {"--install"},
       succeeded(head_lines() + flatpak_line + created_at(flatpak))},
      {"status: the Flatpak copy's list is all there is",
       [] {},
       {"--status"},
       {0, "沙盒中的XML文件：" + flatpak + "：已注册，已启用\n", ""}},
      {"install: one list of several is malformed",
       [&] {
         remove_tree(at(".var"));
         sandboxes();
         write_bytes(at(snap), "<jsplugins><x");
       },
       {"--install"},
       failed(head_lines() + flatpak_line + created_at(flatpak) + snap_line + linglong_line +
                  created_at(linglong),
              malformed)},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.what);
    r.arrange();
    EXPECT_EQ(run(r.args), r.expected);
  }
  EXPECT_EQ(read_bytes(at(flatpak)), skeleton);
  EXPECT_EQ(read_bytes(at(snap)), "<jsplugins><x");
  EXPECT_FALSE(exists(at(".var/app/org.other.App/data/Kingsoft")));
  // Scripts read each list's outcome; the run's own members keep their meaning.
  const std::map<std::string, std::string> json = parsed(run({"--install", "--json"}).out);
  EXPECT_EQ(json.at("lists.length"), "3");
  EXPECT_EQ(json.at("lists.0.list") + json.at("lists.0.changed") + json.at("lists.0.state"),
            flatpak + "falseenabled");
  EXPECT_EQ(json.at("lists.1.list"), snap);
  EXPECT_EQ(json.count("lists.1.state"), 0u) << "a state that is not known is left out";
  EXPECT_EQ(json.at("error") + "\n", malformed);
  EXPECT_EQ(json.at("code") + json.at("lists.1.code"), "malformedmalformed");
  // `list` names a list that is there: the home has none of its own.
  EXPECT_EQ(json.at("list"), flatpak);
  EXPECT_EQ(parsed(run({"--status", "--json"}).out).at("list"), flatpak);
  EXPECT_EQ(json.at("changed"), "false");
  // A run that changed some lists and failed on another says both, either way.
  write_bytes(at(linglong), "<jsplugins>\n</jsplugins>\n");
  const outcome install = run({"--install", "--json"});
  EXPECT_EQ(install.code, 1);
  EXPECT_EQ(parsed(install.out).at("changed"), "true");
  EXPECT_EQ(parsed(install.out).at("lists.2.changed") + parsed(install.out).at("lists.2.state"),
            "trueenabled");
  const outcome uninstall = run({"--uninstall", "--json"});
  const std::map<std::string, std::string> removed = parsed(uninstall.out);
  EXPECT_EQ(uninstall.code, 1);
  EXPECT_EQ(removed.at("changed") + removed.at("lists.0.state") + removed.at("lists.2.state"),
            "trueabsentabsent");
  EXPECT_EQ(removed.count("state"), 0u) << "no state over lists of which one is not known";
}

// Whatever the umask, a list the program makes is no looser than 0644, so no one else may edit
// hers; a list it rewrites keeps the mode it had.
TEST_F(CommandLine, NewListsAreNoLooserThan0644AndKeptListsKeepTheirMode) {
  const struct {
    const char* what;
    mode_t umask;
    mode_t before;  // 0: no list
    std::vector<std::string> args;
    mode_t after;
  } rows[] = {
      {"install makes the list under umask 0", 0, 0, {"--install"}, 0644},
      {"install makes the list under umask 077", 077, 0, {"--install"}, 0600},
      {"uninstall keeps a group-writable list's mode under umask 0",
       0,
       0664,
       {"--uninstall"},
       0664},
      {"install keeps a private list's mode under umask 0", 0, 0600, {"--install"}, 0600},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    remove_tree(at(".local"));
    make_list_folder();
    if (r.before != 0) {
      put_list(installed);
      ASSERT_EQ(chmod(list().c_str(), r.before), 0);
    }
    const mode_t old = umask(r.umask);
    const outcome run_ = run(r.args);
    umask(old);
    EXPECT_EQ(run_.code, 0) << run_.err;
    struct stat st {};
    ASSERT_EQ(lstat(list().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, r.after);
  }
}
