// Dock window toolkit: the X connection, the shaped main and icon windows a
// docking window manager swallows, the off-screen frame pixmap they show,
// and colour lookup by name.  Every failure to set up ends the process.
#pragma once

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
