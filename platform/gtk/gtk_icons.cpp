// SPDX-License-Identifier: MIT
// Loads the program's icon in every size that is present and hands it to GTK.
#include "platform/gtk/gtk_icons.h"

#include <gtk/gtk.h>

#include <string>

#ifndef NIMBREL_ICON_DIRS
#define NIMBREL_ICON_DIRS ""
#endif

void InstallProgramIcon() {
  static const int Sizes[] = {16, 32, 48, 64, 128, 256};
  // Colon-separated folders holding <size>x<size>/apps/nimbrel.png, installed tree first.
  std::string dirs = NIMBREL_ICON_DIRS;
  GList* icons = nullptr;
  std::size_t start = 0;
  while (icons == nullptr && start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    if (dir.empty()) continue;
    for (int size : Sizes) {
      std::string path = dir + "/" + std::to_string(size) + "x" + std::to_string(size) +
                         "/apps/nimbrel.png";
      if (GdkPixbuf* icon = gdk_pixbuf_new_from_file(path.c_str(), nullptr)) {
        icons = g_list_append(icons, icon);
      }
    }
  }
  if (icons == nullptr) {
    // Installed elsewhere than the prefix this was built for: the icon theme may still know it.
    gtk_window_set_default_icon_name("nimbrel");
    return;
  }
  gtk_window_set_default_icon_list(icons);
  g_list_free_full(icons, g_object_unref);
}
