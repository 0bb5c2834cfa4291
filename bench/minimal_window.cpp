// The floor that the installer's window is measured against: GTK 3 showing the same background
// in an undecorated, centred window, and, on a click, the same notice with nothing edited first.
#include <gtk/gtk.h>

namespace {

gboolean on_window_button_release_event(GtkWidget*, GdkEventButton*, gpointer) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                             GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", "安装成功!");
  gtk_window_set_title(GTK_WINDOW(dialog), "安装提示");
  gtk_window_set_default_size(GTK_WINDOW(dialog), 250, 80);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  gtk_main_quit();
  return TRUE;
}

}  // namespace

int main(int argc, char* argv[]) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_container_add(GTK_CONTAINER(window), gtk_image_new_from_file("./imgs/bg.jpg"));
  gtk_widget_add_events(window, GDK_BUTTON_RELEASE_MASK);
  g_signal_connect(window, "button-release-event", G_CALLBACK(on_window_button_release_event),
                   nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
