// The editor's entry as the window has always called it: a mode number, the console lines.
#include "addon_list.hpp"
#include "editor.hpp"
#include "render_text.hpp"
#include "texts.hpp"

bool write_file(int mode_number) {
  edit_request request;
  request.what = mode_number == 0 ? mode::install : mode::uninstall;
  request.home_path = home_variable();
  request.on_wait = [](const std::string&, bool waiting) {
    if (waiting)
      print_line(true, std::string(texts::waiting));
  };
  const run_report run = run_editor(request);
  print_console(run);
  return succeeded(run);
}
