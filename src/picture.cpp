// The window's pictures, loaded for the scale factor of the screen they are shown on.
#include "picture.hpp"

#include <memory>

namespace {

constexpr char path_key[] = "quillora-picture-path";

// The copy of the picture at `path` drawn at twice its size: "@2x" before the extension.
std::string sharp_picture_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + "@2x";
  return path.substr(0, dot) + "@2x" + path.substr(dot);
}

// Shows the picture that fits the image's scale factor now.
void show_for_scale(GtkImage* image) {
  const auto* path = static_cast<const char*>(g_object_get_data(G_OBJECT(image), path_key));
  const int scale = gtk_widget_get_scale_factor(GTK_WIDGET(image));
  if (scale >= 2) {
    g_autoptr(GdkPixbuf) sharp =
        gdk_pixbuf_new_from_file(sharp_picture_path(path).c_str(), nullptr);
    if (sharp != nullptr) {
      // A surface with a device scale of 2 lays out at half its pixel size, so the window keeps
      // its size and each of the picture's pixels lands on one pixel of the screen.
      std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
          gdk_cairo_surface_create_from_pixbuf(sharp, 2, nullptr), cairo_surface_destroy);
      gtk_image_set_from_surface(image, surface.get());
      return;
    }
  }
  gtk_image_set_from_file(image, path);
}

void on_picture_scale_factor_notify(GObject* image, GParamSpec*, gpointer) {
  show_for_scale(GTK_IMAGE(image));
}

}  // namespace

GtkWidget* picture_new(const std::string& path) {
  GtkWidget* image = gtk_image_new();
  g_object_set_data_full(G_OBJECT(image), path_key, g_strdup(path.c_str()), g_free);
  show_for_scale(GTK_IMAGE(image));
  g_signal_connect(image, "notify::scale-factor", G_CALLBACK(on_picture_scale_factor_notify),
                   nullptr);
  return image;
}
