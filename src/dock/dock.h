// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the X connection, the shaped main and icon windows a
// docking window manager swallows, the off-screen frame pixmap they show,
// and colour lookup by name.  Every failure to set up ends the process.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/xpm.h>

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

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
};

extern dock_state_record dock_state;

// The event mask of both windows: button press and release, pointer motion,
// exposure and structure changes (0x2804C).
inline constexpr long dock_event_mask =
	ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ExposureMask | StructureNotifyMask;

void dock_open_window(int argc, char *argv[], const char *const xpm_data[],
                      const unsigned char *mask_bits, int mask_width, int mask_height);
unsigned long dock_get_color(const char *name);
void dock_redraw();
// Sends every request Xlib holds, with one write and no read unless the
// write itself had to take in what the server sent meanwhile.
void dock_flush();
// Sleeps `ns` nanoseconds, never less and never woken early, watching the
// connection meanwhile: true when the server sent something (or went
// away), so the caller knows whether there is anything to read.
bool dock_sleep(long ns);

// Extras for dock applets.
void dock_redraw_at(int x, int y);           // as dock_redraw, from (x, y) of the pixmap
void dock_copy_pixmap_area(int src_x, int src_y, int width, int height, int dst_x, int dst_y);
void dock_set_mask_at(int x, int y);         // moves the bounding shape of both windows

// Mouse regions 0..7; other indexes are ignored.  dock_find_region gives the
// lowest enabled region holding (x, y), or -1.
void dock_add_region(int index, int left, int top, int right, int bottom);
int dock_find_region(int x, int y);

// Shell-like word splitting: blanks separate words, double and single
// quotes group them, a backslash keeps the next character.  No X here.
struct dock_word {
	std::optional<std::string> word;   // none for an empty word
	const char *rest;                  // after the word; null at the end of text
};
dock_word dock_next_word(const char *text);
// The words in order; an empty word ("" or '') ends the list.
std::vector<std::string> dock_split_words(const char *text);
// Starts the words as a program without waiting for it: the child's pid,
// 0 when there are no words, -1 when fork fails.  A child that cannot exec
// exits with status 10.
pid_t dock_spawn_command(const char *text);

// "label: value  # comment" lines: each value found replaces the one the
// pair's variable held.  The table ends with a null label.
struct rc_pair {
	const char *label;
	std::optional<std::string> *value;
};
void dock_parse_rc_pairs(const char *path, const rc_pair *pairs);
