// SPDX-License-Identifier: MIT
// What the Win32 backend and the OLE picture service both ask of the screen.
#pragma once

// The screen's pixels per inch for GetDeviceCaps index `which` (LOGPIXELSX or LOGPIXELSY); 96
// when the screen cannot be asked.
int ScreenDensity(int which);
