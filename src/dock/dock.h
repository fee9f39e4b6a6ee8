// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the X connection, the shaped main and icon windows a
// docking window manager swallows, the off-screen frame pixmap they show,
// and colour lookup by name.  Every failure to set up ends the process;
// a dock that destroys the windows it swallowed does not.
// The services that need no X are in words.h.
#pragma once

#include "words.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/xpm.h>

inline constexpr int dock_region_count = 8;

// Bounds are inclusive window coordinates.
struct mouse_region {
	int enabled;
	int top, bottom, left, right;
};

struct dock_state_record {
	Window icon_window;              // child of main_window; what a dock swallows
	Display *display;
	Pixmap frame_pixmap;             // every visible pixel comes from here
	Pixmap frame_pixmap_mask;        // returned by the XPM reader; unused
	XpmAttributes xpm_attributes;    // width and height: the size dock_redraw copies
	GC normal_gc;
	Window main_window;
	mouse_region regions[dock_region_count];
	Pixmap shape_mask;
	int screen;
	Window root;
	XSizeHints size_hints;
	unsigned long white_pixel;
	unsigned long black_pixel;
	XWMHints wm_hints;
	Colormap colormap;               // set on every main window; None: the screen's
};

extern dock_state_record dock_state;

// The event mask of both windows: button press and release, pointer motion,
// exposure, visibility and structure changes (0x3804C).
inline constexpr long dock_event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                                        ExposureMask | VisibilityChangeMask | StructureNotifyMask;

// Prints one line on standard error and ends the process with `status`:
// the toolkit's and the applet's fatal paths.
[[noreturn]] void dock_fatal(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

// `argv` must last as long as the process, as main's does: a rebuild reads it.
void dock_open_window(int argc, char *argv[], const char *const xpm_data[],
                      const unsigned char *mask_bits, int mask_width, int mask_height);
unsigned long dock_get_color(const char *name);
void dock_redraw();
// Gives the main window, and every main window a rebuild makes, `colormap`.
void dock_set_colormap(Colormap colormap);
// The applet passes every DestroyNotify here.  When a dock took the main or
// the icon window with it, the pair is made again and mapped, so the dock
// (or the next one to start) swallows this same process again.
void dock_window_destroyed(const XDestroyWindowEvent &ev);

// The frame loop's I/O: the toolkit alone decides when Xlib reads and
// writes.  A frame takes its events with dock_next_event, draws only while
// dock_seen, sends what it drew with dock_flush and ends with dock_pause.
//
// The next event of this frame, or false when none is left.  A frame reads
// only when something has come, and takes at most a few thousand events:
// the rest waits in the socket and the server for the next frames, so a
// flood of events never piles up here.  X errors reach the error handler
// while the frame reads, in the order they came: the events read before
// an error are in Xlib's queue then, not yet handed out.
bool dock_next_event(XEvent *ev);
// Whether anyone can see the applet: one of its windows is mapped and not
// fully obscured, as far as the events handed out so far tell, and the
// screen saver is off.  A window counts as seen once mapped, until its
// first VisibilityNotify.
bool dock_seen();
// Forgets what was known of the main and icon windows: a new pair (a
// rebuild) starts unmapped, so unseen until its MapNotify.
void dock_reset_views();
// Sends every request Xlib holds, with one write and no read.
void dock_flush();
// Ends the frame.  While seen: waits `ns` nanoseconds, never less and never
// woken early, watching the connection meanwhile.  While unseen: blocks
// until something comes, with no timeout, after sending what Xlib holds.
void dock_pause(long ns);

// Extras for dock applets.
void dock_redraw_at(int x, int y);           // as dock_redraw, from (x, y) of the pixmap
void dock_copy_pixmap_area(int src_x, int src_y, int width, int height, int dst_x, int dst_y);
void dock_set_mask_at(int x, int y);         // moves the bounding shape of both windows

// Mouse regions 0..7; other indexes are ignored.  dock_find_region gives the
// lowest enabled region holding (x, y), or -1.
void dock_add_region(int index, int left, int top, int right, int bottom);
int dock_find_region(int x, int y);
