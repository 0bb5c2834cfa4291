// The installer's window: a background with three picture buttons, the install and uninstall
// actions, and the notice that ends the run. The command that people run starts it for every
// command line but a mode alone; started directly, its options run the editor without it too.
#include <gtk/gtk.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "addon_list.hpp"
#include "command.hpp"
#include "editor.hpp"
#include "picture.hpp"
#include "printable.hpp"
#include "render_text.hpp"
#include "texts.hpp"
#include "window_start.hpp"

// The main window, set once at start-up.
GtkWidget* window = nullptr;

namespace {

// The first rule is the buttons' look of old. The others keep every theme's hover and press
// boxes (Adwaita's grey, the dark and inverse themes' dark ones) off the pictures' white
// margins: hover darkens the picture (see picture.hpp) and rings it with a tint of the brand's
// blue, which shows through the ×'s clear ground, and a press nudges the picture itself. Keyboard
// focus gets a solid ring in the brand's ink, 6.5:1 against the white around the buttons, where
// Adwaita's dashed grey line is 1.8:1; it stays inside the button, in the margin around its
// picture.
constexpr char button_css[] =
    "button {border-style: none; border-width: 1px; border-color: #ffffff;}\n"
    "button, button:hover, button:active, button:checked, button:backdrop {"
    " background-color: transparent; background-image: none; box-shadow: none;"
    " text-shadow: none; -gtk-icon-shadow: none; outline-color: transparent;}\n"
    "button:hover {background-color: rgba(52, 81, 209, 0.14); border-radius: 999px;}\n"
    "button:active {-gtk-icon-effect: none; -gtk-icon-transform: translateY(1px);}\n"
    "button:focus {outline-color: #3451d1; outline-style: solid; outline-width: 2px;"
    " outline-offset: -3px; -gtk-outline-radius: 6px;}\n"
    "#waiting {color: #4b5263; font-size: smaller;}\n";

// GTK's user priority: the buttons' own style wins over the theme's.
constexpr guint button_css_priority = 800;

// What the window's callbacks share: its three buttons, whether an edit runs in the background
// (they take no clicks and no Escape while it does, and the window does not close), and when the
// notice came on screen (monotonic µs, 0 before).
struct window_state {
  GtkWidget* buttons[3] = {};
  GtkWidget* waiting = nullptr;  // the words shown while another copy holds a list
  bool editing = false;
  gint64 notice_mapped_at = 0;
};
window_state state;

// Whether the edit waits for another copy's lock before it has changed any list: the home's own
// list comes first, so a wait on it comes before any change. The editor's thread sets it, and
// holds the mutex as it learns that the wait is over, so that a run given up under the mutex ends
// before the editor goes on to change anything.
std::mutex lock_wait_mutex;
bool waiting_before_any_change = false;

// A button that shows only a picture. Screen readers say `name`, since there is no label.
GtkWidget* make_picture_button(const std::string& picture, const char* name) {
  GtkWidget* button = gtk_button_new();
  gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
  GtkWidget* image = picture_new(picture);
  gtk_button_set_image(GTK_BUTTON(button), image);
  picture_follow_pointer(image, button);
  atk_object_set_name(gtk_widget_get_accessible(button), name);
  return button;
}

gboolean on_notice_map_event(GtkWidget*, GdkEvent*, gpointer) {
  state.notice_mapped_at = g_get_monotonic_time();
  return FALSE;
}

// The notice opens under the pointer that has just clicked 安装 or 卸载: the second click of a
// double-click would land on OK and throw the result away unread. So OK takes no press for a
// double-click time after the notice shows, as browsers guard their prompts; the keyboard and
// later clicks work at once.
gboolean on_ok_btn_button_press_event(GtkWidget* button, GdkEventButton*, gpointer) {
  gint double_click_ms = 400;
  g_object_get(gtk_widget_get_settings(button), "gtk-double-click-time", &double_click_ms, nullptr);
  return state.notice_mapped_at == 0 ||
         g_get_monotonic_time() - state.notice_mapped_at < gint64{double_click_ms} * 1000;
}

// Ends the program at once, status 0, where the edit still waits for another copy's lock with
// nothing changed yet: the person may leave then. False where the edit has gone further.
bool leave_while_waiting() {
  const std::lock_guard<std::mutex> hold(lock_wait_mutex);
  if (!waiting_before_any_change)
    return false;
  print_line(true, std::string(texts::gave_up_waiting));
  std::fflush(stdout);
  std::fflush(stderr);
  // The editor's thread stands still in the lock's wait, or at the mutex: nothing may run after.
  _exit(0);
}

// Shows the window as busy, or as ready again: the buttons insensitive and a busy cursor.
void set_busy(bool busy) {
  state.editing = busy;
  for (GtkWidget* button : state.buttons)
    gtk_widget_set_sensitive(button, !busy);
  GdkWindow* surface = gtk_widget_get_window(window);
  if (surface == nullptr)
    return;
  g_autoptr(GdkCursor) cursor =
      busy ? gdk_cursor_new_from_name(gdk_window_get_display(surface), "wait") : nullptr;
  gdk_window_set_cursor(surface, cursor);
}

// What one edit does, and the notice's text after it.
struct edit {
  mode what;
  const char* success;
  const char* failure;
};
constexpr edit install_edit{mode::install, "安装成功!", "安装失败!"};
constexpr edit uninstall_edit{mode::uninstall, "卸载成功!", "卸载失败!"};

}  // namespace

// Shows the notice with `message` (an error notice when `type` says so), waits until the user
// dismisses it, then ends the main loop. `parent` may be null: the notice then stands alone.
void show_info(gpointer parent, const char* message, GtkMessageType type = GTK_MESSAGE_INFO,
               const std::string& why = {}) {
  // GTK's own words for the button and the kind of notice follow the locale, and there are none
  // but English in the C locale that minimal systems run in: the notice says its own.
  GtkWidget* dialog =
      gtk_message_dialog_new(static_cast<GtkWindow*>(parent), GTK_DIALOG_DESTROY_WITH_PARENT, type,
                             GTK_BUTTONS_NONE, "%s", message);
  gtk_dialog_add_button(GTK_DIALOG(dialog), texts::ok_button, GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  atk_object_set_name(gtk_widget_get_accessible(dialog), type == GTK_MESSAGE_ERROR
                                                             ? texts::error_notice_name
                                                             : texts::info_notice_name);
  if (!why.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", why.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "安装提示");
  gtk_window_set_default_size(GTK_WINDOW(dialog), 250, 80);
  state.notice_mapped_at = 0;
  g_signal_connect(dialog, "map-event", G_CALLBACK(on_notice_map_event), nullptr);
  g_signal_connect(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK),
                   "button-press-event", G_CALLBACK(on_ok_btn_button_press_event), nullptr);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  gtk_main_quit();
}

namespace {

// While the edit waits with nothing changed, × takes clicks again, to leave.
gboolean on_wait_started(gpointer) {
  if (state.editing) {
    gtk_widget_show(state.waiting);
    const std::lock_guard<std::mutex> hold(lock_wait_mutex);
    gtk_widget_set_sensitive(state.buttons[1], waiting_before_any_change);
  }
  return G_SOURCE_REMOVE;
}

gboolean on_wait_over(gpointer) {
  gtk_widget_hide(state.waiting);
  if (state.editing)
    gtk_widget_set_sensitive(state.buttons[1], FALSE);
  return G_SOURCE_REMOVE;
}

// The editor's run, as write_file makes it, with its record kept for the notice.
void on_edit_thread(GTask* task, gpointer, gpointer task_data, GCancellable*) {
  edit_request request;
  request.what = static_cast<const edit*>(task_data)->what;
  request.home_path = home_variable();
  request.on_wait = [](const std::string& list, bool waiting) {
    {
      const std::lock_guard<std::mutex> hold(lock_wait_mutex);
      waiting_before_any_change = waiting && list == list_path;
    }
    if (waiting)
      print_line(true, std::string(texts::waiting));
    // The window is the main loop's: it learns of the wait there.
    g_idle_add(waiting ? on_wait_started : on_wait_over, nullptr);
  };
  auto* run = new run_report(run_editor(request));
  print_console(*run);
  g_task_return_pointer(task, run, [](gpointer done) { delete static_cast<run_report*>(done); });
}

// The edit has ended: the notice tells what it did, so a failed run never reads as a success,
// and why it failed and what the user can do, for she may never see the console.
void on_edit_done(GObject* parent, GAsyncResult* result, gpointer) {
  const auto* what = static_cast<const edit*>(g_task_get_task_data(G_TASK(result)));
  const std::unique_ptr<run_report> done(
      static_cast<run_report*>(g_task_propagate_pointer(G_TASK(result), nullptr)));
  set_busy(false);
  gtk_widget_hide(state.waiting);
  if (done && succeeded(*done))
    show_info(parent, what->success, GTK_MESSAGE_INFO, notice_text(*done));
  else
    show_info(parent, what->failure, GTK_MESSAGE_ERROR, done ? notice_text(*done) : std::string());
}

// The editor runs in a thread of its own, so that the window keeps drawing and answering while
// it waits for another copy's lock on the list; the notice follows on the main loop.
void start_edit(gpointer parent, const edit& what) {
  if (state.editing)
    return;
  set_busy(true);
  g_autoptr(GTask) task = g_task_new(parent, nullptr, on_edit_done, nullptr);
  g_task_set_task_data(task, const_cast<edit*>(&what), nullptr);
  g_task_run_in_thread(task, on_edit_thread);
}

}  // namespace

// `data` is the main window, the notice's parent.
void on_install_btn_clicked(GtkWidget*, gpointer data) {
  start_edit(data, install_edit);
}

void on_uninstall_btn_clicked(GtkWidget*, gpointer data) {
  start_edit(data, uninstall_edit);
}

void on_quit_btn_clicked(GtkWidget*, gpointer) {
  if (!state.editing || leave_while_waiting())
    gtk_main_quit();
}

void on_window_closed(GtkWidget*, gpointer) {
  gtk_main_quit();
}

// While the editor runs the window stays, for the notice that follows tells what it did; only
// while it waits for another copy with nothing changed may the person leave.
gboolean on_window_delete_event(GtkWidget*, GdkEvent*, gpointer) {
  return state.editing && !leave_while_waiting();
}

// Escape closes the window like 退出.
gboolean on_window_key_press_event(GtkWidget*, GdkEventKey* event, gpointer) {
  if (event->keyval != GDK_KEY_Escape)
    return FALSE;
  if (!state.editing || leave_while_waiting())
    gtk_main_quit();
  return TRUE;
}

// The window has no title bar, so its background is the handle that moves it.
gboolean on_window_button_press_event(GtkWidget*, GdkEventButton* event, gpointer) {
  if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) {
    return FALSE;
  }
  gtk_window_begin_move_drag(GTK_WINDOW(window), static_cast<gint>(event->button),
                             static_cast<gint>(event->x_root), static_cast<gint>(event->y_root),
                             event->time);
  return TRUE;
}

namespace {

// The size of imgs/bg.jpg, the window's inside.
constexpr int background_width = 652;
constexpr int background_height = 356;

// The width of the background's column of words, which the waiting words wrap within.
constexpr int waiting_width = 280;

// Puts `child` over the background with its corner at (x, y).
void place_over(GtkWidget* overlay, GtkWidget* child, int x, int y) {
  gtk_widget_set_halign(child, GTK_ALIGN_START);
  gtk_widget_set_valign(child, GTK_ALIGN_START);
  gtk_widget_set_margin_start(child, x);
  gtk_widget_set_margin_top(child, y);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), child);
}

// One console line naming the window's pictures that can't be loaded from `imgs`: started from
// another folder the window shows placeholders, and this says why.
void say_missing_pictures(const std::string& imgs) {
  std::string names;
  for (const char* name : {"bg.jpg", "install.png", "exit.png", "uninstall.png"}) {
    if (gdk_pixbuf_get_file_info((imgs + name).c_str(), nullptr, nullptr) == nullptr)
      names += (names.empty() ? "" : "、") + std::string(name);
  }
  if (!names.empty())
    print_line(true, std::string(texts::pictures_missing) + printable(imgs) + "：" + names);
}

// What a sighted user reads on the pictures.
void name_for_screen_readers() {
  AtkObject* accessible = gtk_widget_get_accessible(window);
  atk_object_set_name(accessible, texts::window_name);
  atk_object_set_description(accessible, texts::window_description);
}

// Gives each button the buttons' own style, at GTK's user priority.
void style_buttons() {
  g_autoptr(GtkCssProvider) provider = gtk_css_provider_new();
  g_autoptr(GError) error = nullptr;
  if (!gtk_css_provider_load_from_data(provider, button_css, -1, &error)) {
    g_printerr("Error loading CSS: %s\n", error->message);
  }
  for (GtkWidget* button : state.buttons) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(button),
                                   GTK_STYLE_PROVIDER(provider), button_css_priority);
  }
  gtk_style_context_add_provider(gtk_widget_get_style_context(state.waiting),
                                 GTK_STYLE_PROVIDER(provider), button_css_priority);
}

void connect_handlers(GtkWidget* install_btn, GtkWidget* quit_btn, GtkWidget* uninstall_btn) {
  // The notice opens over the window, as its transient, wherever the desktop puts windows.
  g_signal_connect(install_btn, "clicked", G_CALLBACK(on_install_btn_clicked), window);
  g_signal_connect(uninstall_btn, "clicked", G_CALLBACK(on_uninstall_btn_clicked), window);
  g_signal_connect(quit_btn, "clicked", G_CALLBACK(on_quit_btn_clicked), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(on_window_closed), nullptr);
  g_signal_connect(window, "delete-event", G_CALLBACK(on_window_delete_event), nullptr);
  g_signal_connect(window, "key-press-event", G_CALLBACK(on_window_key_press_event), nullptr);
  gtk_widget_add_events(window, GDK_BUTTON_PRESS_MASK);
  g_signal_connect(window, "button-press-event", G_CALLBACK(on_window_button_press_event), nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const std::optional<int> status = before_the_window(&argc, &argv))
    return *status;

  // What task switchers and screen readers call a window without a title; the program's name,
  // which names the window's class, stays as the desktop entry's StartupWMClass has it.
  g_set_application_name(texts::window_name);
  gtk_init(&argc, &argv);
  gtk_window_set_default_icon_name("com.quillora.Installer");

  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_container_set_border_width(GTK_CONTAINER(window), 1);

  name_for_screen_readers();

  // Pictures are found in ./imgs of the folder the program was started from, held by its full
  // path since the editor changes the working folder; a missing one shows GTK's broken-image
  // placeholder and the buttons still work, and the console names what is missing.
  g_autofree gchar* start_folder = g_get_current_dir();
  const std::string imgs = std::string(start_folder) + "/imgs/";
  say_missing_pictures(imgs);
  GtkWidget* background = picture_new(imgs + "bg.jpg");
  // The background alone sizes the window: what lies over it is clipped to it, so larger text
  // never widens the window past its picture nor moves it off the centre.
  // Without its picture, the placeholder stands in a background of the picture's size all the same.
  GtkWidget* overlay = gtk_overlay_new();
  gtk_widget_set_size_request(background, background_width, background_height);
  gtk_container_add(GTK_CONTAINER(overlay), background);

  GtkWidget* install_btn = make_picture_button(imgs + "install.png", texts::install_button);
  GtkWidget* quit_btn = make_picture_button(imgs + "exit.png", texts::quit_button);
  GtkWidget* uninstall_btn = make_picture_button(imgs + "uninstall.png", texts::uninstall_button);
  state.buttons[0] = install_btn;
  state.buttons[1] = quit_btn;
  state.buttons[2] = uninstall_btn;
  // Shown only while another copy of the program holds a list, in the background's free band
  // between its words and 安装, wrapped within it.
  state.waiting = gtk_label_new(texts::window_waiting);
  gtk_widget_set_name(state.waiting, "waiting");
  gtk_label_set_line_wrap(GTK_LABEL(state.waiting), TRUE);
  gtk_label_set_xalign(GTK_LABEL(state.waiting), 0);
  gtk_label_set_max_width_chars(GTK_LABEL(state.waiting), 1);
  gtk_widget_set_size_request(state.waiting, waiting_width, -1);
  style_buttons();

  place_over(overlay, install_btn, 330, 185);
  place_over(overlay, uninstall_btn, 570, 290);
  place_over(overlay, quit_btn, 585, 20);
  place_over(overlay, state.waiting, 345, 155);
  gtk_container_add(GTK_CONTAINER(window), overlay);
  connect_handlers(install_btn, quit_btn, uninstall_btn);

  gtk_widget_show(background);
  gtk_widget_show(install_btn);
  gtk_widget_show(uninstall_btn);
  gtk_widget_show(quit_btn);
  gtk_widget_show(overlay);
  // Enter or space at start installs, the one thing people come for; 退出 took the first focus.
  gtk_widget_grab_focus(install_btn);
  gtk_widget_show(window);

  gtk_main();
  return 0;
}
