// SPDX-License-Identifier: MIT
// The platform layer: everything the program code needs from the operating system, as plain
// procedures over numbered objects. Program code includes this header and nothing of GTK or Win32.
//
// Two halves:
//  - the portable core (platform/*.cpp): image store and file load, decoder registry, threads,
//    memory blocks, clock, file-size query;
//  - one backend per target (platform/gtk, platform/headless, platform/win32): windows, controls,
//    event queues, dialogs, desktop information, the picture service, program start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// ---------------------------------------------------------------------------------------------
// Program start and end (backend)

// Runs `programMain` as the program's main thread and returns the process exit code. The GTK
// backend keeps the toolkit on the process's own main thread and starts `programMain` on a thread
// of its own. Call once, from main().
int RunPlatform(int (*programMain)());

// Releases the platform services in this order: thread records, controls and windows, event
// queues, desktop information, image objects, memory blocks. Then ends the process with exit code
// 0. Never returns. Program main thread only.
[[noreturn]] void EndPlatform();

// ---------------------------------------------------------------------------------------------
// Windows and controls (backend). Numbers are the program's own; one number names one object.
// Every call may be made from any program thread; a window belongs to the thread that opened it,
// and its events go to that thread's queue.

enum WindowFlags : int {
  WindowTitleBar = 1,   // a caption bar with the title
  WindowCloseBox = 2,   // system menu and close button (without it: no way to close by hand)
  WindowCentered = 4,   // centred on the primary screen before it is shown
  WindowHidden = 8,     // made hidden; ShowProgramWindow reveals it
};

// Opens top-level window `number` whose client area is exactly width x height pixels, with a fixed
// (non-resizable) frame and no minimise/maximise box. Frees a window that already has the number.
// Returns false when the window cannot be made.
bool OpenWindow(int number, int width, int height, const std::string& title, int flags);
void ShowProgramWindow(int number);          // makes a hidden window visible
void CloseWindow(int number);                // destroys it with its controls; unknown numbers: nothing
bool WindowExists(int number);

struct NativeImage;  // what an image view shows; see ImageHandle

// Controls, numbered program-wide ("gadgets"), placed in the client area of window `window` at
// (x, y) with the given size. Each returns false when the control cannot be made; calls on a
// control that does not exist do nothing.
bool AddImageView(int gadget, int window, int x, int y, int width, int height, NativeImage* image);
bool AddProgressBar(int gadget, int window, int x, int y, int width, int height, int minimum,
                    int maximum);
bool AddCentredText(int gadget, int window, int x, int y, int width, int height,
                    const std::string& text);
void SetProgressValue(int gadget, int value);  // cheap: updates are coalesced

// ---------------------------------------------------------------------------------------------
// Events (backend). Each program thread has a queue of its own, made on first use.

constexpr int EventNone = 0;
constexpr int EventClose = 16;      // the user asked to close a window; the window stays open
constexpr int EventActivity = 1;    // any other event (paint, input, moving); carries no meaning

int WaitEvent();   // blocks until the calling thread's next event; returns its number
int PollEvent();   // the calling thread's next event, or EventNone at once

// ---------------------------------------------------------------------------------------------
// Dialogs (backend). Modal; the calling thread blocks until the user answers.

enum MessageIcon : int { MessageInformation = 1, MessageError = 2 };

// A message box with one OK button.
void ShowMessageBox(const std::string& title, const std::string& text, MessageIcon icon);

// The file-open dialog: one existing or new file name in an existing folder; every file listed.
// Returns the chosen path, or "" when the user cancels or the dialog fails. Leaves the current
// directory unchanged.
std::string RequestFile(const std::string& title);

// ---------------------------------------------------------------------------------------------
// Desktop information (backend)

int DesktopWidth();    // primary display in device pixels; 0 when no display is known
int DesktopHeight();
int DesktopDensityX(); // logical pixels per inch along the width (96 when unknown)
int DesktopDensityY();

// ---------------------------------------------------------------------------------------------
// Image store (portable core). Numbered image objects of 1..32767 x 1..32767 pixels, depth 24 or
// 32. Pixels are 32-bit words, blue in bits 0-7, green 8-15, red 16-23, top byte 24-31, rows
// top-down without padding. In a 24-bit image the top byte is always 0; in a 32-bit one it is
// the pixel's alpha. The store may be used from any thread, one thread at a time per object.

constexpr int ImageMaxSide = 32767;

bool CreateImage(int number, int width, int height, int depth);  // black; frees an old image n
void FreeImage(int number);            // missing: nothing
void FreeAllImages();
bool ImageExists(int number);
int ImageWidth(int number);            // 0 for a missing image
int ImageHeight(int number);
int ImageDepth(int number);
NativeImage* ImageHandle(int number);  // null for a missing image

// Replaces image `number` with a smoothly scaled copy (area average) of the new size, keeping its
// number and depth; every pixel is taken as opaque. Same size: nothing. Returns false and leaves
// the image as it was when the copy cannot be made.
bool ResizeImage(int number, int width, int height);

// Direct access to an image's words, for the pixel bridge and for drawing. `words` is null for a
// missing image. StartDrawing/StopDrawing bracket drawing into an image (the picture service).
struct ImageWords {
  std::uint32_t* words;
  int width;
  int height;
  int depth;
};
ImageWords AccessImage(int number);
ImageWords StartDrawing(int number);
void StopDrawing(int number);

// Reads a NativeImage's words (for backends that paint an image view).
ImageWords AccessNativeImage(NativeImage* image);

// The store's file load: reads the whole file, frees image n, then tries the built-in BMP reader,
// the built-in icon reader and the registered decoders in registry order. Returns true when
// image n was created. Shows no message.
bool LoadImageFile(int number, const std::string& path);

// The same load from bytes already in memory (after the file has been read).
bool LoadImageMemory(int number, const unsigned char* data, std::size_t size);

// A whole file in memory. The bytes are not initialised before the read fills them.
struct FileBlock {
  std::unique_ptr<unsigned char[]> data;
  std::size_t size = 0;
};
// Reads a whole file into `out` with one read. False (and an empty block) unless exactly the
// file's size arrived.
bool ReadWholeFile(const std::string& path, FileBlock& out);

// ---------------------------------------------------------------------------------------------
// Decoder registry (portable core)

// Working state of one load through one decoder; cleared (all zero) before each probe.
struct DecoderState {
  int width;
  int height;
  int depth;          // 24 or 32
  void* state;        // the decoder's own data between probe, decode and release
};

struct ImageDecoder {
  const char* name;
  // Takes the file or not. On true: width, height (1..ImageMaxSide) and depth are set.
  // A probe that declines frees whatever it made itself.
  bool (*probe)(const unsigned char* data, std::size_t size, DecoderState& st);
  // Writes every pixel upright into `pixels` (rows of `stride` bytes, words as in the store).
  bool (*decode)(DecoderState& st, std::uint32_t* pixels, int stride);
  // Frees the probe's state; called after every accepted probe.
  void (*release)(DecoderState& st);
};

void RegisterImageDecoder(const ImageDecoder* decoder);  // appends; the same decoder twice: once

// ---------------------------------------------------------------------------------------------
// Picture service (backend; gdk-pixbuf on Linux, OLE pictures on Windows)

struct Picture;
// Reads a picture from memory; null when the service cannot read the data. The service copies
// what it needs; `data` may be freed once the picture is released.
Picture* LoadPicture(const unsigned char* data, std::size_t size);
// The picture's extent in HIMETRIC units (0.01 mm).
void GetPictureExtent(Picture* picture, std::int32_t& himetricWidth, std::int32_t& himetricHeight);
// Draws the source rectangle (HIMETRIC, y upward) scaled into the destination rectangle
// (pixels; a negative cy runs upward from y) of a drawing started with StartDrawing.
bool RenderPicture(Picture* picture, const ImageWords& target, int x, int y, int cx, int cy,
                   std::int32_t xSrc, std::int32_t ySrc, std::int32_t cxSrc, std::int32_t cySrc);
void ReleasePicture(Picture* picture);

// ---------------------------------------------------------------------------------------------
// Threads (portable core). Worker-thread bodies take one int and return an int nobody reads.

using ThreadBody = int (*)(int value);
int StartThread(ThreadBody body, int value);  // numbers count up from 1; 0: not started
void WaitThread(int number);                  // no time limit; at once for 0, unknown or ended
void ReleaseThreads();                        // forgets the records (threads still running detach)

// ---------------------------------------------------------------------------------------------
// Memory blocks (portable core)

void* AllocateBlock(std::int64_t bytes);  // zero-filled; null for bytes <= 0 or no memory
void FreeBlock(void* block);              // null: nothing

// ---------------------------------------------------------------------------------------------
// Clock and files (portable core)

std::int64_t ClockMilliseconds();                // monotonic
std::int64_t QueryFileSize(const std::string& path);  // bytes; -1 nothing there; -2 a directory
