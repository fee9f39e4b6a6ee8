// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the X connection, the shaped main and icon windows a
// docking window manager swallows, the off-screen frame pixmap they show,
// and colour lookup by name.  Every failure to set up ends the process;
// a dock that destroys the windows it swallowed, or another client, does
// not.  open.cpp sets up; windows.cpp owns the windows and what X errors
// are outlived, connection.cpp the stream of events and the pause; the
// extras are in extras.cpp, and the services that need no X in words.h.
#pragma once

#include "words.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/xpm.h>

#include <span>

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

// Copies of the applet with the same instance (null, or a word of letters
// and digits) replace each other on a screen; those with another do not.
// Before dock_open_window.
void dock_set_instance(const char *id);
// Connects to `display_name` (null: DISPLAY) and maps the windows.  `argv`
// must last as long as the process, as main's does: a rebuild reads it.
void dock_open_window(int argc, char *argv[], const char *display_name, const char *const xpm_data[],
                      const unsigned char *mask_bits, int mask_width, int mask_height);
unsigned long dock_get_color(const char *name);
// Allocates each colour's RGB in the default colormap, at once: the pixel
// goes into the colour, and `allocated` says which succeeded.
void dock_alloc_colors(std::span<XColor> colours, std::span<bool> allocated);
// Stores `cells` in a colormap of the default visual whose every cell is
// the applet's, made at the first call and given to every main window.
void dock_private_colormap(std::span<const XColor> cells);
// Puts a ZPixmap `image` into the frame pixmap at (x, y), whatever
// scanline pad the image has.
void dock_put_image(const XImage *image, int x, int y);
// Copies the frame pixmap into the icon window and the main window.
void dock_redraw();
// The pointer came into the applet (or left it): the keyboard focus goes
// to the icon window when the server can give it (or to none), and a
// private colormap is installed (or uninstalled).
void dock_crossing(bool entered);

// The frame loop's I/O: the toolkit alone decides when to read and write.
// A frame takes its events with dock_next_event, draws only while
// dock_seen, sends what it drew with dock_flush and ends with dock_pause.
//
// What the applet is handed of an event; the toolkit itself takes care of
// everything else (which windows are seen, a dock destroying them).
struct dock_event {
	int type;                        // ButtonPress, EnterNotify, LeaveNotify
	unsigned button;                 // of a press
	Window window;
};
// The next event of this frame, or false when none is left.  A frame reads
// only when something has come, and for a few milliseconds at most; what
// the applet is handed is bounded, so a flood never piles up here.
bool dock_next_event(dock_event *ev);
// Whether anyone can see the applet: one of its windows is mapped, in
// mapped ancestors, and not fully obscured, as far as the events read so
// far tell, and the screen saver is off.  A window counts as seen once
// mapped, until its first VisibilityNotify; under a compositing manager,
// which makes VisibilityNotify say nothing, until the windows above it
// hide its visible part for certain.
bool dock_seen();
// Seen only as far as a compositing manager lets one be sure: covered by
// windows that look opaque, which it may still show the applet through.
// The pause then lasts half a second.
bool dock_faint();
// Presses made until now (during a command, say) are dropped: those the
// server has not yet sent as well as those already read.  The number of
// times this was done is the CARDINAL of the helper window (the owner of
// the selection "_QUARVEL_S<screen>", with "_<instance>" after it when
// there is one) of that name.
void dock_drop_presses();
// Blocks `sig` but while the pause waits, so that a pause ends at once
// when it comes, and it never comes at any other moment.
void dock_wake_on(int sig);
// Sends every request not yet sent, with one write and no read.
void dock_flush();
// Ends the frame.  While seen: waits `ns` nanoseconds, never less and never
// woken early but by the signal of dock_wake_on, reading what comes
// meanwhile.  While unseen: blocks until something comes, with no timeout,
// after sending what is held.
void dock_pause(long ns);

// Extras for dock applets.
void dock_redraw_at(int x, int y);           // as dock_redraw, from (x, y) of the pixmap
void dock_copy_pixmap_area(int src_x, int src_y, int width, int height, int dst_x, int dst_y);
void dock_set_mask_at(int x, int y);         // moves the bounding shape of both windows

// Mouse regions 0..7; other indexes are ignored.  dock_find_region gives the
// lowest enabled region holding (x, y), or -1.
void dock_add_region(int index, int left, int top, int right, int bottom);
int dock_find_region(int x, int y);
