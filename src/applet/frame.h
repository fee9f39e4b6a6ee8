// SPDX-License-Identifier: GPL-2.0-or-later
// The applet's X side, shared by the program and its benchmarks and tests.
#pragma once

#include "applet.h"

#include <X11/Xlib.h>

extern std::array<unsigned long, palette_size> pixel_table;  // X pixel of each palette index
extern XImage *frame_image;                                   // the well, client side
extern int frame_scale;                                       // 1..scale_max; before applet_setup

// Everything after dock_open_window: pixels for the screen's depth, the
// frame image and the renderer's tables.  Ends the process below 8 bits.
void applet_setup();
// The settings were read again: the palette, its pixels and the tables
// follow them; the animation goes on from where it was.
void applet_reload();
// One frame: take its events; then, unless nobody can see the applet,
// render, upload into the frame pixmap, show it, and send it all to the
// server with one write.
void applet_frame();

// index_frame into an image through pixel_table: XPutPixel for any format,
// or straight into the buffer, which declines (false) all but ZPixmap at
// 8, 16 or 32 bits per pixel in the host's byte order.
void convert_frame_generic(XImage *image);
bool convert_frame_direct(XImage *image);
