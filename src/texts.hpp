// Every text of the program's own that a person reads on the console or in the notice, in one
// place: the console's words, and beside the failures the notice's sentence that goes with them.
#pragma once

#include <string>
#include <string_view>

#include "report.hpp"

namespace texts {

// Progress lines on stdout, each followed by its value where it takes one.
inline constexpr std::string_view home_line = "用户主目录路径：";
inline constexpr std::string_view cwd_line = "当前工作目录：";
inline constexpr std::string_view sandbox_line = "沙盒中的XML文件：";
inline constexpr std::string_view folders_made = "已创建文件夹：";
inline constexpr std::string_view created = "已创建新的XML文件：";
inline constexpr std::string_view kept = "包含Quillora插件节点，无需添加";
inline constexpr std::string_view removing = "包含Quillora插件节点，需删除";
inline constexpr std::string_view added = "已添加Quillora插件节点";
// While another copy holds a list, on stderr.
inline constexpr std::string_view waiting = "另一个安装程序正在修改XML文件，请稍候";
// On stderr, where the run's lines or object could not be written on stdout: a script would
// otherwise take what it did not see for the run's whole answer. The second where a list
// changed all the same.
inline constexpr std::string_view stdout_lost = "无法写入标准输出";
inline constexpr std::string_view change_stands = "；XML文件已修改，修改仍然有效";

// The window: its name for task switchers and screen readers, and the words it shows while
// another copy holds a list.
inline constexpr char window_name[] = "Quillora插件安装";
inline constexpr char window_waiting[] = "另一个安装程序正在修改插件列表，请稍候……";
// On stderr where the person leaves the window while it still waits for another copy.
inline constexpr std::string_view gave_up_waiting =
    "已放弃：另一个安装程序仍在修改XML文件，这次没有做任何修改";
// On stderr before the window, followed by the folder and the pictures' names.
inline constexpr std::string_view pictures_missing = "无法加载安装窗口的图片，窗口将显示占位图标：";
// The notice's button, and what screen readers call the notice, in every locale.
inline constexpr char ok_button[] = "确定";
inline constexpr char info_notice_name[] = "提示";
inline constexpr char error_notice_name[] = "错误";
// Before GTK's own words, where no display is named.
inline constexpr std::string_view no_display =
    "安装窗口需要图形界面的显示器；没有显示器时，请用--install、--uninstall或--status在终端中操作"
    "（详见--help）";
// Instead of the window, where root would run it on a home that root keeps: GTK, which reads the
// home's settings and loads modules, never runs as root.
inline constexpr std::string_view window_as_root =
    "安装窗口不以root身份运行：主目录不属于普通用户时，请用--install、--uninstall、--status或--"
    "list在终端"
    "中操作root的插件列表，或以用户本人的身份打开安装窗口（详见--help）";
// The same where the home is root's own (it was found and root keeps it): {home} is its path.
inline constexpr std::string_view window_on_roots_home =
    "安装窗口不以root身份运行：主目录{home}属于root，这里的插件列表是root自己的。要为某个用户安装，"
    "请以该用户的身份打开安装窗口，或用--install --user 用户名；要修改root自己的插件列表，请用--"
    "install、--uninstall、--status或--list在终端中操作（详见--help）";
// After the failure line of an install whose suite never made its folder.
inline constexpr std::string_view create_folders_hint =
    "提示：办公套件还没有创建插件文件夹；如果要直接创建，请加上--create-folders";
// Beside it where root keeps root: her suite's folder is under her home, not root's.
inline constexpr std::string_view roots_home_hint =
    "提示：主目录属于root，这里的插件列表是root自己的；要为某个用户安装，请以该用户的身份运行，或加"
    "上--user 用户名";
// Instead, where a file stands on the way to the suite's folder (ENOTDIR).
inline constexpr std::string_view folder_is_file_hint =
    "提示：插件文件夹的路径上有一个文件占着文件夹的位置，办公套件也无法在那里创建文件夹；请检查并移"
    "开这个文件";

// The command line: its options' help, its usage errors and its usage lines. No line of --help
// is wider than 80 columns (a Chinese character takes two), the option's column included.
inline constexpr char help_install[] = "为当前用户安装Quillora插件";
inline constexpr char help_uninstall[] = "为当前用户卸载Quillora插件";
inline constexpr char help_status[] = "显示Quillora插件是否已注册并启用，不做任何修改";
inline constexpr char help_list[] = "列出XML文件中注册的每个插件，不做任何修改";
inline constexpr char help_json[] = "与上述模式一起使用：只在标准输出上打印一个JSON对象";
inline constexpr char help_quiet[] = "只报告失败（在标准错误输出上），不打印其他内容";
inline constexpr char help_create_folders[] = "与--install一起使用：创建缺少的插件文件夹";
inline constexpr char help_version[] = "显示版本和插件发布服务器";
inline constexpr char help_user[] = "仅限root：以该用户的身份、在其主目录下运行上述模式";
inline constexpr char help_user_value[] = "用户名";
inline constexpr char help_summary[] =
    "不带选项时打开安装窗口。下列选项不打开窗口，无需显示器，适合远程和批量部署。";
inline constexpr char help_description[] =
    "沙盒、以root身份为用户运行、--json和--quiet等，详见：man quillora-installer\n"
    "\n"
    "退出状态：\n"
    "  0  成功；--status：插件已注册并启用\n"
    "  1  失败，原因见标准错误输出\n"
    "  2  命令行有误\n"
    "  3  --status：插件未注册或未启用\n";
inline constexpr char two_modes[] = "%s和%s不能同时使用";
inline constexpr char two_users[] = "--user只能指定一个用户";
inline constexpr std::string_view create_folders_alone = "--create-folders只能与--install一起使用";
inline constexpr std::string_view json_alone =
    "--json只能与--install、--uninstall、--status、--list或--version一起使用";
inline constexpr std::string_view quiet_alone =
    "--quiet只能与--install、--uninstall、--status或--list一起使用";
inline constexpr std::string_view user_alone =
    "--user只能与--install、--uninstall、--status或--list一起使用";
inline constexpr std::string_view user_not_root = "--user只能由root使用";
inline constexpr std::string_view stray_word = "多余的参数：";
// After a stray word that is a mode without its dashes: `did_you_mean` and the option, then
// `did_you_mean_end`.
inline constexpr std::string_view did_you_mean = "，是指";
inline constexpr std::string_view did_you_mean_end = "吗？";
// The program's name in usage errors, whatever the link it was started by is called.
inline constexpr std::string_view program_name = "quillora-installer";
inline constexpr std::string_view usage_line = "用法：";
inline constexpr std::string_view usage_options =
    " [--install [--create-folders] | --uninstall | --status | --list | --version] [--json]"
    " [--quiet] [--user 用户名]";
inline constexpr std::string_view see_help = "详见：";
inline constexpr std::string_view origin_line = "插件发布服务器：";

// What screen readers say of the window and its picture buttons, whose words are in pictures.
inline constexpr char window_description[] =
    "一键添加到您的办公套件。安装后重新启动办公套件即可使用";
inline constexpr char install_button[] = "安装";
inline constexpr char quit_button[] = "退出";
inline constexpr char uninstall_button[] = "卸载";

// --status and --list.
inline constexpr std::string_view status_line = "Quillora插件：";
std::string_view state_text(addon_state state);
inline constexpr std::string_view no_addons = "列表中没有插件";
inline constexpr std::string_view online = "在线";
inline constexpr std::string_view offline = "离线";
inline constexpr std::string_view enabled = "已启用";
inline constexpr std::string_view disabled = "未启用";

}  // namespace texts

// A failure's console line, without its newline: the step's words, the file concerned, and why.
std::string failure_line(const failure& f);

// The same for scripts, which can't ask further: a home that can't be entered named with the
// system's reason, where the console has its words alone.
std::string failure_line_for_scripts(const failure& f);

// The notice's second text, under "安装成功!" or "安装失败!" and the like: what the run did and
// what comes next, for a person who may never see the console. After a failure, which list, what
// went wrong and what to do, for each list that failed, after what changed in the others.
std::string notice_text(const run_report& run);
