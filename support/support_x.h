// SPDX-License-Identifier: GPL-2.0-or-later
// The X side of the shared helpers: private Xvfb servers, and finding and
// reading back the applet's windows.
#pragma once

#include "support.h"

#include <X11/Xlib.h>

struct xvfb_server {
	pid_t pid = -1;
	std::string name;            // ":N"
	Display *dpy = nullptr;      // our own connection
};

// Starts Xvfb (it picks a free display through -displayfd) with one screen
// of the given depth, and of the given default visual class unless it is
// -1, and connects to it; false with a reason if it is not up within ten
// seconds.  The server never resets, and dies with us.
bool xvfb_start(xvfb_server &x, std::string &error, int depth, int width = 320, int height = 240,
                int visual_class = -1);
void xvfb_stop(xvfb_server &x);

// The window whose WM_CLASS res_class is `cls`, searched from `top` (the
// root by default) down, or None.
Window find_by_class(Display *dpy, const char *cls, Window top = None);
Window first_child(Display *dpy, Window w);

// Pixel values of a rectangle of a window, row-major; empty if unreadable.
std::vector<unsigned long> read_pixels(Display *dpy, Window w, int x, int y, int width, int height);
std::vector<unsigned long> read_well(Display *dpy, Window w);

// Whether a window manager has announced itself on the root window.
bool wm_announced(Display *dpy);
// Sets up `home` so fluxbox runs headless and out of the way: no toolbar
// over the slit at small sizes, no wallpaper setter eating colour cells at
// 8 bits.  Returns the file to give fluxbox's -rc.
std::string fluxbox_headless_config(const std::string &home);

// How many times the applet on `dpy` has finished a click command and
// begun taking presses again (0 before the first), or -1 when no applet
// runs there.
long applet_commands_done(Display *dpy);
// Asks the window manager to show desktop `desk` (from 0), as a pager does.
void switch_desktop(Display *dpy, long desk);
