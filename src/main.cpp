// The installer's window: a background with three picture buttons, the install and uninstall
// actions, and the notice that ends the run. The command that people run starts it for every
// command line but a mode alone; started directly, its options run the editor without it too.
#include <gtk/gtk.h>

#include <optional>

#include "addon_list.hpp"
#include "command_line.hpp"
#include "run_as_user.hpp"

// The main window, set once at start-up.
GtkWidget* window = nullptr;

namespace {

constexpr char button_css[] =
    "button {border-style: none; border-width: 1px; border-color: #ffffff;}";

// GTK's user priority: the buttons' own style wins over the theme's.
constexpr guint button_css_priority = 800;

// A button that shows only a picture. Screen readers say `name`, since there is no label.
GtkWidget* make_picture_button(const char* picture, const char* name) {
  GtkWidget* button = gtk_button_new();
  gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
  gtk_button_set_image(GTK_BUTTON(button), gtk_image_new_from_file(picture));
  atk_object_set_name(gtk_widget_get_accessible(button), name);
  return button;
}

}  // namespace

// Shows the notice with `message` (an error notice when `type` says so), waits until the user
// dismisses it, then ends the main loop. `parent` may be null: the notice then stands alone.
void show_info(gpointer parent, const char* message, GtkMessageType type = GTK_MESSAGE_INFO) {
  GtkWidget* dialog =
      gtk_message_dialog_new(static_cast<GtkWindow*>(parent), GTK_DIALOG_DESTROY_WITH_PARENT, type,
                             GTK_BUTTONS_OK, "%s", message);
  gtk_window_set_title(GTK_WINDOW(dialog), "安装提示");
  gtk_window_set_default_size(GTK_WINDOW(dialog), 250, 80);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  gtk_main_quit();
}

// The notice tells what the editor did, so a failed run never reads as a success; the console
// already holds the reason. Root started on a user's home gives up root for her first.
void on_install_btn_clicked(GtkWidget*, gpointer data) {
  if (become_home_owner() && write_file(0)) {
    show_info(data, "安装成功!");
  } else {
    show_info(data, "安装失败!", GTK_MESSAGE_ERROR);
  }
}

void on_uninstall_btn_clicked(GtkWidget*, gpointer data) {
  if (become_home_owner() && write_file(1)) {
    show_info(data, "卸载成功!");
  } else {
    show_info(data, "卸载失败!", GTK_MESSAGE_ERROR);
  }
}

void on_quit_btn_clicked(GtkWidget*, gpointer) {
  gtk_main_quit();
}

void on_window_closed(GtkWidget*, gpointer) {
  gtk_main_quit();
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

int main(int argc, char* argv[]) {
  const std::optional<command> what =
      parse_command_line(&argc, &argv, [] { return gtk_get_option_group(FALSE); });
  if (!what)
    return 2;
  if (*what != command::window)
    return run_command(*what);

  gtk_init(&argc, &argv);

  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* fixed = gtk_fixed_new();
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_container_set_border_width(GTK_CONTAINER(window), 1);

  // Pictures are found relative to the folder the program was started from; a missing one
  // shows GTK's broken-image placeholder and the buttons still work.
  GtkWidget* background = gtk_image_new_from_file("./imgs/bg.jpg");
  gtk_fixed_put(GTK_FIXED(fixed), background, 0, 0);

  GtkWidget* install_btn = make_picture_button("./imgs/install.png", "安装");
  GtkWidget* quit_btn = make_picture_button("./imgs/exit.png", "退出");
  GtkWidget* uninstall_btn = make_picture_button("./imgs/uninstall.png", "卸载");

  g_autoptr(GtkCssProvider) provider = gtk_css_provider_new();
  g_autoptr(GError) error = nullptr;
  if (!gtk_css_provider_load_from_data(provider, button_css, -1, &error)) {
    g_printerr("Error loading CSS: %s\n", error->message);
  }
  for (GtkWidget* button : {install_btn, quit_btn, uninstall_btn}) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(button),
                                   GTK_STYLE_PROVIDER(provider), button_css_priority);
  }

  gtk_fixed_put(GTK_FIXED(fixed), install_btn, 330, 185);
  gtk_fixed_put(GTK_FIXED(fixed), uninstall_btn, 570, 290);
  gtk_fixed_put(GTK_FIXED(fixed), quit_btn, 585, 20);
  gtk_container_add(GTK_CONTAINER(window), fixed);

  g_signal_connect(install_btn, "clicked", G_CALLBACK(on_install_btn_clicked), nullptr);
  g_signal_connect(uninstall_btn, "clicked", G_CALLBACK(on_uninstall_btn_clicked), nullptr);
  g_signal_connect(quit_btn, "clicked", G_CALLBACK(on_quit_btn_clicked), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(on_window_closed), nullptr);
  gtk_widget_add_events(window, GDK_BUTTON_PRESS_MASK);
  g_signal_connect(window, "button-press-event", G_CALLBACK(on_window_button_press_event), nullptr);

  gtk_widget_show(background);
  gtk_widget_show(install_btn);
  gtk_widget_show(uninstall_btn);
  gtk_widget_show(quit_btn);
  gtk_widget_show(fixed);
  gtk_widget_show(window);

  gtk_main();
  return 0;
}
