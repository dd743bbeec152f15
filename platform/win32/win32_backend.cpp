// SPDX-License-Identifier: MIT
// Win32 backend: each program thread owns the windows it opens and pumps its own message queue;
// dialogs are the system's own, the image view is a STATIC control showing a DIB section.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_screen.h"

namespace {

const char* const WindowClassName = "NimbrelWindow";
constexpr int ProgramIconId = 1;               // the icon group in nimbrel.rc
constexpr UINT CloseFromOtherThread = WM_APP + 1;  // asks the owning thread to destroy a window

HINSTANCE Instance = nullptr;
HICON LargeIcon = nullptr;
HICON SmallIcon = nullptr;

struct WindowRecord {
  HWND handle = nullptr;
  DWORD owner = 0;
};

struct ControlRecord {
  int window = 0;
  HWND handle = nullptr;
  HBITMAP bitmap = nullptr;  // image views: the picture the STATIC shows, ours to delete
  int lastValue = 0;         // progress bars: the position last sent
  bool sent = false;
};

// The tables are read and written by several program threads; the window calls themselves are
// made outside the lock, because they may send messages that run window procedures.
std::mutex TablesLock;
std::map<int, WindowRecord> Windows;
std::map<int, ControlRecord> Controls;

// Close requests seen by this thread's window procedure and not yet reported as events. A close
// arrives as a sent WM_CLOSE (from the system menu or the close button) inside a dispatch, so it is
// counted here and reported once the dispatch returns.
thread_local int PendingCloses = 0;

LRESULT CALLBACK ProgramWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      ++PendingCloses;
      return 0;  // the window stays until the program closes it
    case CloseFromOtherThread:
      DestroyWindow(window);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

bool RegisterWindowClass() {
  LargeIcon = static_cast<HICON>(LoadImageA(Instance, MAKEINTRESOURCEA(ProgramIconId), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  SmallIcon = static_cast<HICON>(LoadImageA(Instance, MAKEINTRESOURCEA(ProgramIconId), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXSMICON),
                                            GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ProgramWindowProcedure;
  windowClass.hInstance = Instance;
  windowClass.hIcon = LargeIcon;
  windowClass.hIconSm = SmallIcon;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = WindowClassName;
  return RegisterClassExA(&windowClass) != 0;
}

// Destroys a window on the thread that owns it: DestroyWindow works only there.
void DestroyOwnedWindow(HWND handle, DWORD owner) {
  if (handle == nullptr) return;
  if (owner == GetCurrentThreadId()) {
    DestroyWindow(handle);
  } else {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(handle, CloseFromOtherThread, 0, 0, SMTO_NORMAL, 5000, &ignored);
  }
}

// Takes window `number` and its controls out of the tables and destroys them.
void CloseWindowRecord(int number) {
  WindowRecord window;
  std::vector<HBITMAP> bitmaps;
  {
    std::lock_guard<std::mutex> hold(TablesLock);
    auto found = Windows.find(number);
    if (found == Windows.end()) return;
    window = found->second;
    Windows.erase(found);
    for (auto it = Controls.begin(); it != Controls.end();) {
      if (it->second.window == number) {
        if (it->second.bitmap != nullptr) bitmaps.push_back(it->second.bitmap);
        it = Controls.erase(it);
      } else {
        ++it;
      }
    }
  }
  DestroyOwnedWindow(window.handle, window.owner);  // takes the child controls with it
  for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
}

// Makes a 24-bit DIB section holding the image's pixels, through one transfer of the store's
// 32-bit top-down words. A 24-bit bitmap has no alpha, so the STATIC paints it opaque whatever
// the top bytes hold.
HBITMAP MakeViewBitmap(NativeImage* image) {
  ImageWords words = AccessNativeImage(image);
  if (words.words == nullptr || words.width <= 0 || words.height <= 0) return nullptr;
  HDC display = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  if (display == nullptr) return nullptr;
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format.bmiHeader.biWidth = words.width;
  format.bmiHeader.biHeight = -words.height;  // top-down
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 24;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(display, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    format.bmiHeader.biBitCount = 32;
    if (SetDIBits(display, bitmap, 0, static_cast<UINT>(words.height), words.words, &format,
                  DIB_RGB_COLORS) != words.height) {
      DeleteObject(bitmap);
      bitmap = nullptr;
    }
  }
  DeleteDC(display);
  return bitmap;
}

// Adds a child control to window `window`; replaces an older control with the same number.
bool AddControl(int gadget, int window, HWND handle, HBITMAP bitmap) {
  ControlRecord old;
  bool hadOld = false;
  {
    std::lock_guard<std::mutex> hold(TablesLock);
    auto found = Controls.find(gadget);
    if (found != Controls.end()) {
      old = found->second;
      hadOld = true;
    }
    ControlRecord record;
    record.window = window;
    record.handle = handle;
    record.bitmap = bitmap;
    Controls[gadget] = record;
  }
  if (hadOld) {
    DestroyWindow(old.handle);
    if (old.bitmap != nullptr) DeleteObject(old.bitmap);
  }
  return true;
}

HWND ParentOf(int window) {
  std::lock_guard<std::mutex> hold(TablesLock);
  auto found = Windows.find(window);
  return found == Windows.end() ? nullptr : found->second.handle;
}

HWND MakeChild(int window, const char* className, DWORD style, int x, int y, int width,
               int height, const char* text) {
  HWND parent = ParentOf(window);
  if (parent == nullptr) return nullptr;
  HWND child = CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width,
                               height, parent, nullptr, Instance, nullptr);
  if (child != nullptr) {
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
  }
  return child;
}

// Dispatches one message taken from the queue and says which event it was.
int DispatchTaken(MSG& message) {
  TranslateMessage(&message);
  DispatchMessageA(&message);
  if (PendingCloses > 0) {
    --PendingCloses;
    return EventClose;
  }
  return EventActivity;
}

}  // namespace

// ---- Program start and end ----------------------------------------------------------------------

int RunPlatform(int (*programMain)()) {
  Instance = GetModuleHandleA(nullptr);
  // The file dialog and the picture service need the component-object system on this thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  if (!RegisterWindowClass()) return 1;
  return programMain();
}

void EndPlatform() {
  ReleaseThreads();
  for (;;) {
    int number;
    {
      std::lock_guard<std::mutex> hold(TablesLock);
      if (Windows.empty()) break;
      number = Windows.begin()->first;
    }
    CloseWindowRecord(number);
  }
  PendingCloses = 0;
  FreeAllImages();
  CoUninitialize();
  ExitProcess(0);
}

// ---- Windows and controls -------------------------------------------------------------------------

bool OpenWindow(int number, int width, int height, const std::string& title, int flags) {
  CloseWindowRecord(number);
  // A fixed frame without sizing border, minimise or maximise box; without a system menu there is
  // no close button.
  DWORD style = WS_OVERLAPPED | WS_BORDER | WS_CLIPCHILDREN;
  if (flags & WindowTitleBar) style |= WS_CAPTION;
  if (flags & WindowCloseBox) style |= WS_SYSMENU;
  const DWORD extended = 0;
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, style, FALSE, extended);
  const int outerWidth = frame.right - frame.left;
  const int outerHeight = frame.bottom - frame.top;
  int x = CW_USEDEFAULT, y = CW_USEDEFAULT;
  if (flags & WindowCentered) {
    x = (GetSystemMetrics(SM_CXSCREEN) - outerWidth) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - outerHeight) / 2;
  }
  HWND handle = CreateWindowExA(extended, WindowClassName, title.c_str(), style, x, y, outerWidth,
                                outerHeight, nullptr, nullptr, Instance, nullptr);
  if (handle == nullptr) return false;
  // Both sizes, so that the caption, the task bar and the task switcher each get a drawn one.
  SendMessageA(handle, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LargeIcon));
  SendMessageA(handle, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(SmallIcon));
  {
    std::lock_guard<std::mutex> hold(TablesLock);
    Windows[number] = WindowRecord{handle, GetCurrentThreadId()};
  }
  if (!(flags & WindowHidden)) {
    ShowWindow(handle, SW_SHOWNORMAL);
    UpdateWindow(handle);
  }
  return true;
}

void ShowProgramWindow(int number) {
  HWND handle = ParentOf(number);
  if (handle == nullptr) return;
  ShowWindow(handle, SW_SHOWNORMAL);
  UpdateWindow(handle);
}

void CloseWindow(int number) { CloseWindowRecord(number); }

bool WindowExists(int number) {
  std::lock_guard<std::mutex> hold(TablesLock);
  return Windows.count(number) != 0;
}

bool AddImageView(int gadget, int window, int x, int y, int width, int height, NativeImage* image) {
  HBITMAP bitmap = image != nullptr ? MakeViewBitmap(image) : nullptr;
  // SS_REALSIZECONTROL keeps the control at the size asked for rather than the bitmap's.
  HWND view = MakeChild(window, "STATIC", SS_BITMAP | SS_REALSIZECONTROL, x, y, width, height,
                        nullptr);
  if (view == nullptr) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    return false;
  }
  if (bitmap != nullptr) {
    SendMessageA(view, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    SetWindowPos(view, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return AddControl(gadget, window, view, bitmap);
}

bool AddProgressBar(int gadget, int window, int x, int y, int width, int height, int minimum,
                    int maximum) {
  HWND bar = MakeChild(window, PROGRESS_CLASSA, 0, x, y, width, height, nullptr);
  if (bar == nullptr) return false;
  SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(minimum), static_cast<LPARAM>(maximum));
  return AddControl(gadget, window, bar, nullptr);
}

bool AddCentredText(int gadget, int window, int x, int y, int width, int height,
                    const std::string& text) {
  HWND label = MakeChild(window, "STATIC", SS_CENTER, x, y, width, height, text.c_str());
  if (label == nullptr) return false;
  return AddControl(gadget, window, label, nullptr);
}

void SetProgressValue(int gadget, int value) {
  HWND bar = nullptr;
  {
    std::lock_guard<std::mutex> hold(TablesLock);
    auto found = Controls.find(gadget);
    if (found == Controls.end()) return;
    // A busy loop sets the same position over and over; only a change reaches the control.
    if (found->second.sent && found->second.lastValue == value) return;
    found->second.sent = true;
    found->second.lastValue = value;
    bar = found->second.handle;
  }
  if (GetWindowThreadProcessId(bar, nullptr) == GetCurrentThreadId()) {
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
  } else {
    PostMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
  }
}

// ---- Events -------------------------------------------------------------------------------------------

int WaitEvent() {
  if (PendingCloses > 0) {
    --PendingCloses;
    return EventClose;
  }
  MSG message;
  if (GetMessageA(&message, nullptr, 0, 0) <= 0) return EventActivity;  // WM_QUIT or error
  return DispatchTaken(message);
}

int PollEvent() {
  if (PendingCloses > 0) {
    --PendingCloses;
    return EventClose;
  }
  MSG message;
  if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return EventNone;
  if (message.message == WM_QUIT) return EventActivity;
  return DispatchTaken(message);
}

// ---- Dialogs --------------------------------------------------------------------------------------------

void ShowMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
  // Task-modal: every window of the calling thread takes no input while the box is up.
  UINT style = MB_OK | MB_TASKMODAL | MB_SETFOREGROUND;
  style |= icon == MessageError ? MB_ICONERROR : MB_ICONINFORMATION;
  MessageBoxA(nullptr, text.c_str(), title.c_str(), style);
}

std::string RequestFile(const std::string& title) {
  char path[MAX_PATH] = "";  // 259 characters and the terminator: longer choices fail
  OPENFILENAMEA request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = nullptr;
  request.hInstance = Instance;
  request.lpstrFilter = nullptr;  // every file listed
  request.nFilterIndex = 0;
  request.lpstrFile = path;
  request.nMaxFile = sizeof path;
  request.lpstrTitle = title.c_str();
  request.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameA(&request)) return "";
  return path;
}

// ---- Desktop information ---------------------------------------------------------------------------

namespace {
bool PrimaryDisplayMode(DEVMODEA& mode) {
  std::memset(&mode, 0, sizeof mode);
  mode.dmSize = sizeof mode;
  return EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode) &&
         (mode.dmFields & (DM_PELSWIDTH | DM_PELSHEIGHT)) == (DM_PELSWIDTH | DM_PELSHEIGHT) &&
         mode.dmPelsWidth > 0 && mode.dmPelsHeight > 0;
}
}  // namespace

int DesktopWidth() {
  DEVMODEA mode;
  if (PrimaryDisplayMode(mode)) return static_cast<int>(mode.dmPelsWidth);
  return GetSystemMetrics(SM_CXSCREEN);
}

int DesktopHeight() {
  DEVMODEA mode;
  if (PrimaryDisplayMode(mode)) return static_cast<int>(mode.dmPelsHeight);
  return GetSystemMetrics(SM_CYSCREEN);
}

int DesktopDensityX() { return ScreenDensity(LOGPIXELSX); }
int DesktopDensityY() { return ScreenDensity(LOGPIXELSY); }
