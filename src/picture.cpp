// The window's pictures, loaded for the scale factor of the screen they are shown on.
#include "picture.hpp"

#include <memory>

namespace {

constexpr char path_key[] = "quillora-picture-path";
constexpr char lit_key[] = "quillora-picture-lit";

// How much darker a picture is drawn under the pointer: a tenth, which people see on the white
// of 卸载 and on the blue of 安装 alike, in every theme, since the picture itself changes.
constexpr double lit_darkening = 0.88;

// A copy of `picture` with each pixel's colour darker, its transparency as it was.
GdkPixbuf* darker(GdkPixbuf* picture) {
  GdkPixbuf* copy = gdk_pixbuf_copy(picture);
  if (copy == nullptr || gdk_pixbuf_get_bits_per_sample(copy) != 8)
    return copy;
  const int channels = gdk_pixbuf_get_n_channels(copy);
  const int stride = gdk_pixbuf_get_rowstride(copy);
  guchar* pixels = gdk_pixbuf_get_pixels(copy);
  for (int y = 0; y < gdk_pixbuf_get_height(copy); ++y) {
    guchar* row = pixels + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < gdk_pixbuf_get_width(copy); ++x) {
      for (int c = 0; c < 3; ++c)
        row[x * channels + c] = static_cast<guchar>(row[x * channels + c] * lit_darkening);
    }
  }
  return copy;
}

// The copy of the picture at `path` drawn at twice its size: "@2x" before the extension.
std::string sharp_picture_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + "@2x";
  return path.substr(0, dot) + "@2x" + path.substr(dot);
}

// Shows the picture that fits the image's scale factor now, darker while its button is lit.
void show_for_scale(GtkImage* image) {
  const auto* path = static_cast<const char*>(g_object_get_data(G_OBJECT(image), path_key));
  const bool lit = g_object_get_data(G_OBJECT(image), lit_key) != nullptr;
  int device_scale = 1;
  g_autoptr(GdkPixbuf) picture = nullptr;
  if (gtk_widget_get_scale_factor(GTK_WIDGET(image)) >= 2) {
    picture = gdk_pixbuf_new_from_file(sharp_picture_path(path).c_str(), nullptr);
    device_scale = picture != nullptr ? 2 : 1;
  }
  if (picture == nullptr && lit)
    picture = gdk_pixbuf_new_from_file(path, nullptr);
  if (picture == nullptr) {
    // As GTK shows a file, its broken-image placeholder included.
    gtk_image_set_from_file(image, path);
    return;
  }
  g_autoptr(GdkPixbuf) shown = lit ? darker(picture) : GDK_PIXBUF(g_object_ref(picture));
  // A surface with a device scale of 2 lays out at half its pixel size, so the window keeps its
  // size and each of the picture's pixels lands on one pixel of the screen.
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      gdk_cairo_surface_create_from_pixbuf(shown, device_scale, nullptr), cairo_surface_destroy);
  gtk_image_set_from_surface(image, surface.get());
}

void on_picture_scale_factor_notify(GObject* image, GParamSpec*, gpointer) {
  show_for_scale(GTK_IMAGE(image));
}

void on_button_state_flags_changed(GtkWidget* button, GtkStateFlags, gpointer image) {
  const bool lit = (gtk_widget_get_state_flags(button) & GTK_STATE_FLAG_PRELIGHT) != 0;
  if (lit == (g_object_get_data(G_OBJECT(image), lit_key) != nullptr))
    return;
  g_object_set_data(G_OBJECT(image), lit_key, lit ? GINT_TO_POINTER(1) : nullptr);
  show_for_scale(GTK_IMAGE(image));
}

}  // namespace

void picture_follow_pointer(GtkWidget* image, GtkWidget* button) {
  g_signal_connect_object(button, "state-flags-changed", G_CALLBACK(on_button_state_flags_changed),
                          image, static_cast<GConnectFlags>(0));
}

GtkWidget* picture_new(const std::string& path) {
  GtkWidget* image = gtk_image_new();
  g_object_set_data_full(G_OBJECT(image), path_key, g_strdup(path.c_str()), g_free);
  show_for_scale(GTK_IMAGE(image));
  g_signal_connect(image, "notify::scale-factor", G_CALLBACK(on_picture_scale_factor_notify),
                   nullptr);
  return image;
}
