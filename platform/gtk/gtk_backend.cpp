// SPDX-License-Identifier: MIT
// GTK 3 backend: GTK lives on the process's main thread; the program's main thread and its workers
// call in synchronously, and each program thread receives the events of its own windows.
#include <gtk/gtk.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/gtk/gtk_icons.h"
#include "platform/platform.h"

namespace {

std::thread::id GuiThread;

// ---- Calls into the GUI thread ---------------------------------------------------------------

struct GuiCall {
  std::function<void()> work;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
};

gboolean RunGuiCall(gpointer data) {
  auto* call = static_cast<GuiCall*>(data);
  call->work();
  std::lock_guard<std::mutex> hold(call->lock);
  call->done = true;
  call->finished.notify_all();
  return G_SOURCE_REMOVE;
}

// Runs `work` on the GUI thread and waits for it. An idle source on the default context rather
// than g_main_context_invoke, which would run the work on the calling thread before gtk_main.
void OnGui(std::function<void()> work) {
  if (std::this_thread::get_id() == GuiThread) {
    work();
    return;
  }
  GuiCall call;
  call.work = std::move(work);
  gdk_threads_add_idle_full(G_PRIORITY_DEFAULT, RunGuiCall, &call, nullptr);
  std::unique_lock<std::mutex> hold(call.lock);
  call.finished.wait(hold, [&] { return call.done; });
}

// ---- Event queues, one per program thread -----------------------------------------------------

struct EventQueue {
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<int> events;
};

std::mutex QueuesLock;
std::map<std::thread::id, std::shared_ptr<EventQueue>> Queues;

std::shared_ptr<EventQueue> QueueOf(std::thread::id thread) {
  std::lock_guard<std::mutex> hold(QueuesLock);
  auto& queue = Queues[thread];
  if (!queue) queue = std::make_shared<EventQueue>();
  return queue;
}

void PostEvent(std::thread::id thread, int event) {
  auto queue = QueueOf(thread);
  std::lock_guard<std::mutex> hold(queue->lock);
  queue->events.push_back(event);
  queue->arrived.notify_all();
}

// ---- Windows and controls (GUI thread only, except the progress values) ----------------------

struct WindowRecord {
  GtkWidget* window = nullptr;
  GtkWidget* fixed = nullptr;
  std::thread::id owner;
};

struct ControlRecord {
  int window = 0;
  GtkWidget* widget = nullptr;
  NativeImage* image = nullptr;  // image views
  int minimum = 0;               // progress bars
  int maximum = 100;
};

std::map<int, WindowRecord> Windows;
std::map<int, ControlRecord> Controls;
std::map<std::thread::id, int> LastWindowOf;  // parent for the thread's dialogs
int DeviceScale = 1;                          // device pixels per GTK unit on the primary display

// Progress values are set from program threads many times a second; the GUI thread takes the
// latest value with at most one update pending per bar.
struct PendingProgress {
  std::atomic<int> value{0};
  std::atomic<bool> pending{false};
};
std::mutex ProgressLock;
std::map<int, std::shared_ptr<PendingProgress>> Progress;

gboolean WindowDeleteHandler(GtkWidget*, GdkEvent*, gpointer data) {
  int number = GPOINTER_TO_INT(data);
  auto found = Windows.find(number);
  if (found != Windows.end()) PostEvent(found->second.owner, EventClose);
  return TRUE;  // the window stays until the program closes it
}

gboolean WindowInputHandler(GtkWidget*, GdkEvent*, gpointer data) {
  auto found = Windows.find(GPOINTER_TO_INT(data));
  if (found != Windows.end()) PostEvent(found->second.owner, EventActivity);
  return FALSE;
}

gboolean ImageViewDrawHandler(GtkWidget*, cairo_t* cr, gpointer data) {
  auto found = Controls.find(GPOINTER_TO_INT(data));
  if (found == Controls.end()) return FALSE;
  ImageWords image = AccessNativeImage(found->second.image);
  if (image.words == nullptr) return FALSE;
  // RGB24 has exactly the store's word layout and ignores the top byte: the picture is opaque.
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      reinterpret_cast<unsigned char*>(image.words), CAIRO_FORMAT_RGB24, image.width, image.height,
      image.width * 4);
  cairo_scale(cr, 1.0 / DeviceScale, 1.0 / DeviceScale);  // one image pixel per device pixel
  cairo_set_source_surface(cr, surface, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_surface_destroy(surface);
  return TRUE;
}

int Logical(int devicePixels) { return (devicePixels + DeviceScale - 1) / DeviceScale; }

void DestroyControlsOf(int window) {
  for (auto it = Controls.begin(); it != Controls.end();) {
    if (it->second.window == window) {
      std::lock_guard<std::mutex> hold(ProgressLock);
      Progress.erase(it->first);
      it = Controls.erase(it);
    } else {
      ++it;
    }
  }
}

void CloseOnGui(int number) {
  auto found = Windows.find(number);
  if (found == Windows.end()) return;
  DestroyControlsOf(number);
  GtkWidget* window = found->second.window;
  Windows.erase(found);
  gtk_widget_destroy(window);
}

bool AddControlOnGui(int gadget, int window, int x, int y, int width, int height,
                     GtkWidget* widget, ControlRecord record) {
  auto found = Windows.find(window);
  if (found == Windows.end()) {
    g_object_ref_sink(widget);
    g_object_unref(widget);
    return false;
  }
  auto old = Controls.find(gadget);
  if (old != Controls.end()) {
    gtk_widget_destroy(old->second.widget);
    Controls.erase(old);
  }
  gtk_widget_set_size_request(widget, Logical(width), Logical(height));
  gtk_fixed_put(GTK_FIXED(found->second.fixed), widget, Logical(x), Logical(y));
  gtk_widget_show(widget);
  record.window = window;
  record.widget = widget;
  Controls[gadget] = record;
  return true;
}

GtkWindow* ParentFor(std::thread::id thread) {
  auto last = LastWindowOf.find(thread);
  if (last == LastWindowOf.end()) return nullptr;
  auto found = Windows.find(last->second);
  return found == Windows.end() ? nullptr : GTK_WINDOW(found->second.window);
}

void InstallStyle() {
  // The default theme draws a progress bar as a thin strip; make it fill its whole area.
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
                                  "progressbar.nimbrel trough { min-height: 18px; }\n"
                                  "progressbar.nimbrel progress { min-height: 18px; }\n",
                                  -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
}

GdkMonitor* PrimaryMonitor() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return nullptr;
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr && gdk_display_get_n_monitors(display) > 0) {
    monitor = gdk_display_get_monitor(display, 0);
  }
  return monitor;
}

void ProgramThread(int (*programMain)()) {
  programMain();
  EndPlatform();
}

}  // namespace

int RunPlatform(int (*programMain)()) {
  GuiThread = std::this_thread::get_id();
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "nimbrel: cannot open the display\n");
    return 1;
  }
  if (GdkMonitor* monitor = PrimaryMonitor()) DeviceScale = gdk_monitor_get_scale_factor(monitor);
  if (DeviceScale < 1) DeviceScale = 1;
  InstallStyle();
  InstallProgramIcon();
  std::thread(ProgramThread, programMain).detach();
  gtk_main();
  return 0;
}

void EndPlatform() {
  ReleaseThreads();
  OnGui([] {
    while (!Windows.empty()) CloseOnGui(Windows.begin()->first);
  });
  {
    std::lock_guard<std::mutex> hold(QueuesLock);
    Queues.clear();
  }
  FreeAllImages();
  OnGui([] { gtk_main_quit(); });  // RunPlatform returns 0 and the process ends
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool OpenWindow(int number, int width, int height, const std::string& title, int flags) {
  std::thread::id owner = std::this_thread::get_id();
  QueueOf(owner);
  bool made = false;
  OnGui([&] {
    CloseOnGui(number);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), title.c_str());
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_deletable(GTK_WINDOW(window), (flags & WindowCloseBox) != 0);
    if (flags & WindowCentered) gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, Logical(width), Logical(height));
    gtk_container_add(GTK_CONTAINER(window), fixed);
    gtk_widget_show(fixed);
    g_signal_connect(window, "delete-event", G_CALLBACK(WindowDeleteHandler),
                     GINT_TO_POINTER(number));
    gtk_widget_add_events(window, GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);
    g_signal_connect(window, "button-press-event", G_CALLBACK(WindowInputHandler),
                     GINT_TO_POINTER(number));
    g_signal_connect(window, "key-press-event", G_CALLBACK(WindowInputHandler),
                     GINT_TO_POINTER(number));
    gtk_widget_realize(window);
    // A title bar and, with a close box, the window menu and close button; never minimise,
    // maximise or a sizing border.
    GdkWindow* frame = gtk_widget_get_window(window);
    int decorations = GDK_DECOR_BORDER;
    int functions = GDK_FUNC_MOVE;
    if (flags & WindowTitleBar) decorations |= GDK_DECOR_TITLE;
    if (flags & WindowCloseBox) {
      decorations |= GDK_DECOR_MENU;
      functions |= GDK_FUNC_CLOSE;
    }
    gdk_window_set_decorations(frame, static_cast<GdkWMDecoration>(decorations));
    gdk_window_set_functions(frame, static_cast<GdkWMFunction>(functions));
    Windows[number] = WindowRecord{window, fixed, owner};
    LastWindowOf[owner] = number;
    if ((flags & WindowHidden) == 0) gtk_widget_show(window);
    made = true;
  });
  return made;
}

void ShowProgramWindow(int number) {
  OnGui([&] {
    auto found = Windows.find(number);
    if (found != Windows.end()) gtk_widget_show(found->second.window);
  });
}

void CloseWindow(int number) {
  OnGui([&] { CloseOnGui(number); });
}

bool WindowExists(int number) {
  bool exists = false;
  OnGui([&] { exists = Windows.count(number) != 0; });
  return exists;
}

bool AddImageView(int gadget, int window, int x, int y, int width, int height, NativeImage* image) {
  bool made = false;
  OnGui([&] {
    GtkWidget* area = gtk_drawing_area_new();
    ControlRecord record;
    record.image = image;
    made = AddControlOnGui(gadget, window, x, y, width, height, area, record);
    if (made) {
      g_signal_connect(area, "draw", G_CALLBACK(ImageViewDrawHandler), GINT_TO_POINTER(gadget));
    }
  });
  return made;
}

bool AddProgressBar(int gadget, int window, int x, int y, int width, int height, int minimum,
                    int maximum) {
  bool made = false;
  OnGui([&] {
    GtkWidget* bar = gtk_progress_bar_new();
    gtk_style_context_add_class(gtk_widget_get_style_context(bar), "nimbrel");
    ControlRecord record;
    record.minimum = minimum;
    record.maximum = maximum;
    made = AddControlOnGui(gadget, window, x, y, width, height, bar, record);
    if (made) {
      std::lock_guard<std::mutex> hold(ProgressLock);
      Progress[gadget] = std::make_shared<PendingProgress>();
    }
  });
  return made;
}

bool AddCentredText(int gadget, int window, int x, int y, int width, int height,
                    const std::string& text) {
  bool made = false;
  OnGui([&] {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    gtk_label_set_xalign(GTK_LABEL(label), 0.5f);
    made = AddControlOnGui(gadget, window, x, y, width, height, label, ControlRecord{});
  });
  return made;
}

namespace {
gboolean ApplyProgress(gpointer data) {
  int gadget = GPOINTER_TO_INT(data);
  std::shared_ptr<PendingProgress> progress;
  {
    std::lock_guard<std::mutex> hold(ProgressLock);
    auto found = Progress.find(gadget);
    if (found == Progress.end()) return G_SOURCE_REMOVE;
    progress = found->second;
  }
  progress->pending.store(false);
  auto control = Controls.find(gadget);
  if (control == Controls.end() || !GTK_IS_PROGRESS_BAR(control->second.widget)) {
    return G_SOURCE_REMOVE;
  }
  const ControlRecord& bar = control->second;
  double span = bar.maximum - bar.minimum;
  double fraction = span > 0 ? (progress->value.load() - bar.minimum) / span : 0.0;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar.widget),
                                fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
  return G_SOURCE_REMOVE;
}
}  // namespace

void SetProgressValue(int gadget, int value) {
  std::shared_ptr<PendingProgress> progress;
  {
    std::lock_guard<std::mutex> hold(ProgressLock);
    auto found = Progress.find(gadget);
    if (found == Progress.end()) return;
    progress = found->second;
  }
  progress->value.store(value);
  if (!progress->pending.exchange(true)) {
    gdk_threads_add_idle_full(G_PRIORITY_DEFAULT_IDLE, ApplyProgress, GINT_TO_POINTER(gadget),
                              nullptr);
  }
}

int WaitEvent() {
  auto queue = QueueOf(std::this_thread::get_id());
  std::unique_lock<std::mutex> hold(queue->lock);
  queue->arrived.wait(hold, [&] { return !queue->events.empty(); });
  int event = queue->events.front();
  queue->events.pop_front();
  return event;
}

int PollEvent() {
  auto queue = QueueOf(std::this_thread::get_id());
  std::lock_guard<std::mutex> hold(queue->lock);
  if (queue->events.empty()) return EventNone;
  int event = queue->events.front();
  queue->events.pop_front();
  return event;
}

void ShowMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
  std::thread::id caller = std::this_thread::get_id();
  OnGui([&] {
    GtkWindow* parent = ParentFor(caller);
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        title.c_str(), parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL), "_OK",
        GTK_RESPONSE_OK, nullptr);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_position(GTK_WINDOW(dialog),
                            parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(row), 12);
    GtkWidget* image = gtk_image_new_from_icon_name(
        icon == MessageError ? "dialog-error" : "dialog-information", GTK_ICON_SIZE_DIALOG);
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
    gtk_label_set_selectable(GTK_LABEL(label), FALSE);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row);
    gtk_widget_show_all(row);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
  });
}

std::string RequestFile(const std::string& title) {
  std::string chosen;
  std::thread::id caller = std::this_thread::get_id();
  OnGui([&] {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        title.c_str(), ParentFor(caller), GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
        GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), FALSE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
      if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
        chosen = name;
        g_free(name);
      }
    }
    gtk_widget_destroy(dialog);
  });
  return chosen;
}

int DesktopWidth() {
  int width = 0;
  OnGui([&] {
    if (GdkMonitor* monitor = PrimaryMonitor()) {
      GdkRectangle area;
      gdk_monitor_get_geometry(monitor, &area);
      width = area.width * gdk_monitor_get_scale_factor(monitor);
    }
  });
  return width;
}

int DesktopHeight() {
  int height = 0;
  OnGui([&] {
    if (GdkMonitor* monitor = PrimaryMonitor()) {
      GdkRectangle area;
      gdk_monitor_get_geometry(monitor, &area);
      height = area.height * gdk_monitor_get_scale_factor(monitor);
    }
  });
  return height;
}

namespace {
int ScreenDensity() {
  double dpi = -1;
  OnGui([&] {
    if (GdkScreen* screen = gdk_screen_get_default()) dpi = gdk_screen_get_resolution(screen);
  });
  return dpi > 0 ? static_cast<int>(dpi + 0.5) : 96;
}
}  // namespace

int DesktopDensityX() { return ScreenDensity(); }
int DesktopDensityY() { return ScreenDensity(); }
