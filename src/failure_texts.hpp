// Why a run of the editor failed, in the two words it is told: the console line for whoever reads
// the console, and the notice's sentence for a person who started the window from a menu.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The failures that a person can act on; `other` is anything else.
enum class failure_kind {
  none,
  no_suite_folder,  // no copy of the office suite has made its add-on folder yet
  malformed,        // a list the editor refuses to touch: not XML, not a list, or one it can't
                    // read in bounded time
  busy,             // another copy of the program still edits the list after the wait
  no_permission,    // the system refused to let the run read or write there
  disk_full,        // no room left for the new list
  other,
};

// One failure: what its console line holds (its reason, or its first words), and the notice's
// sentence, in which {list} and {line} stand for the list and the line concerned.
struct failure_text {
  failure_kind kind;
  std::string_view console;
  std::string_view notice;
};

inline constexpr failure_text failure_texts[] = {
    {failure_kind::no_suite_folder, "无法创建XML文件",
     "没有找到办公套件的插件文件夹：办公套件还没有启动过。请先启动一次办公套件，关闭它，然后再安装"
     "。"},
    {failure_kind::malformed, "有XML格式错误",
     "插件列表{list}的第{line}行有错误，安装程序没有做任何修改。请修正或删除这个文件后再试。"},
    {failure_kind::busy, "另一个安装程序仍在修改XML文件",
     "另一个安装程序一直在修改插件列表。请等它结束后再试。"},
    {failure_kind::no_permission, "Permission denied",
     "没有权限修改插件列表{list}。请以使用办公套件的用户身份运行安装程序。"},
    {failure_kind::disk_full, "No space left on device",
     "磁盘已满，插件列表保持原样。请腾出一些磁盘空间后再试。"},
};

// The notice's sentence for a failure of `kind` in `list` at `line`; for `other`, the console's
// own line, which is all that is known.
std::string notice_text(failure_kind kind, std::string_view list, std::uint64_t line,
                        std::string_view console_line);
