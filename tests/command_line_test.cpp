// The installer run from a script or over ssh: its options, console and exit statuses, with no
// display, no session bus and no window.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_home.hpp"

namespace {

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
    "用法：quillora-installer [--install | --uninstall | --status | --version]\n"
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
    args.insert(args.begin(), program);
    return in_child([&] {
      std::vector<char*> argv;
      for (auto& arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (auto& var : env)
        envp.push_back(var.data());
      envp.push_back(nullptr);
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

TEST_F(CommandLine, FailedEditsExitOne) {
  // The office suite never ran for this user: there is no folder to put the list in.
  EXPECT_EQ(run({"--install"}),
            failed(head_lines(), failure("无法创建XML文件", "No such file or directory")));
  EXPECT_FALSE(exists(at(".local")));

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

  // Beside GTK's options the window program reads the command line, GTK and all.
  EXPECT_EQ(run_in({"--status", "--class", "Quillora"},
                   {"HOME=" + home_, "LD_DEBUG=libs", "LD_DEBUG_OUTPUT=" + at("beside")}),
            (outcome{0, "Quillora插件：已注册，已启用\n", ""}));
  EXPECT_NE(loaded_by(home_, "beside").find("libgtk-3"), std::string::npos);
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
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({"--status"}), (outcome{0, "Quillora插件：已注册，已启用\n", ""}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  close(folder);
}

TEST_F(CommandLine, VersionNamesThePublishingServer) {
  EXPECT_EQ(run({"--version"}), succeeded("quillora-installer " QUILLORA_VERSION
                                          "\n插件发布服务器：" QUILLORA_ORIGIN "\n"));
}

TEST_F(CommandLine, HelpListsOurOptionsAndHelpAllListsGtks) {
  const outcome help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.err, "");
  for (const char* text : {"--install", "--uninstall", "--status", "--version", "退出状态",
                           "3  --status：插件未注册或未启用", "--help-all"})
    EXPECT_NE(help.out.find(text), std::string::npos) << text << " in\n" << help.out;
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
      {{"--status", "--bogus"}, "Unknown option --bogus"},
  };
  const auto before = snapshot(home_);
  for (const auto& [args, error] : mistakes) {
    SCOPED_TRACE(args.front());
    EXPECT_EQ(run(args), (outcome{2, "", "quillora-installer：" + error + "\n" + usage}));
  }
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
  // As always: GTK says it has no display, and the run ends with status 1, the list untouched.
  const outcome window = run({});
  EXPECT_EQ(window.code, 1);
  EXPECT_EQ(window.out, "");
  EXPECT_NE(window.err.find("cannot open display"), std::string::npos) << window.err;
  EXPECT_FALSE(exists(at(".local")));
}

}  // namespace
