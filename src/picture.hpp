// The window's pictures, sharp on screens with twice the pixels: each picture comes with a copy
// drawn at twice its size (imgs/NAME@2x.EXT), shown when the window's scale factor asks for it.
#pragma once

#include <gtk/gtk.h>

#include <string>

// An image widget that shows the picture file at `path` at the widget's scale factor, and again
// whenever that changes (the window moved to another screen). At scale 1, and wherever the
// picture's @2x copy can't be read, it shows the file itself exactly as gtk_image_new_from_file
// does, GTK's broken-image placeholder included; at 2 or more it shows the @2x copy at the plain
// picture's size, one of its pixels to each of the screen's. `path` should be absolute: the
// editor changes the working folder.
GtkWidget* picture_new(const std::string& path);

// Shows the picture of `image` a little darker while the pointer is over `button`, which holds it:
// a change people see in every theme, whatever the theme draws behind it.
void picture_follow_pointer(GtkWidget* image, GtkWidget* button);
