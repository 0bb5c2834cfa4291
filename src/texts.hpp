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

// The window: its name for task switchers and screen readers, and the words it shows while
// another copy holds a list.
inline constexpr char window_name[] = "Quillora插件安装";
inline constexpr char window_waiting[] = "另一个安装程序正在修改插件列表，请稍候……";
// Before GTK's own words, where no display is named.
inline constexpr std::string_view no_display =
    "安装窗口需要图形界面的显示器；没有显示器时，请用--install、--uninstall或--status在终端中操作"
    "（详见--help）";
// After the failure line of an install whose suite never made its folder.
inline constexpr std::string_view create_folders_hint =
    "提示：办公套件还没有创建插件文件夹；如果要直接创建，请加上--create-folders";

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
