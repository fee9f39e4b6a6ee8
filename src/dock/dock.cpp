// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit.  dock_open_window brings up the two shaped windows in
// the order window managers expect to see them; dock_redraw copies the frame
// pixmap into both.  All handles live in dock_state until the process ends,
// but the windows: when a dock destroys them, dock_window_destroyed makes
// them again, and tolerate_gone_window holds the only X errors outlived.
#include "dock.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
#include <X11/extensions/shape.h>
#include <xcb/xcb.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

dock_state_record dock_state;

namespace {

// The last "-display" wins; one at the end of the list means no name.
const char *
display_name_from(int argc, char *argv[])
{
	const char *name = nullptr;
	for (int i = 1; i < argc; i++)
		if (std::strcmp(argv[i], "-display") == 0)
			name = argv[i + 1];      // argv[argc] is null
	return name;
}

void
redraw_window(Window w, int src_x, int src_y)
{
	XEvent ev;
	// The copy below repaints the whole window, so queued exposures are
	// moot.  An empty queue is left alone: searching it would flush and
	// read the connection for nothing.  Exposures still on their way are
	// handled when they arrive.
	if (XEventsQueued(dock_state.display, QueuedAlready))
		while (XCheckTypedWindowEvent(dock_state.display, w, Expose, &ev))
			;
	XCopyArea(dock_state.display, dock_state.frame_pixmap, w, dock_state.normal_gc,
	          src_x, src_y, dock_state.xpm_attributes.width, dock_state.xpm_attributes.height, 0, 0);
}

// What a rebuild needs besides dock_state, and what the error handler
// knows of windows that are gone.
struct windows_record {
	int argc;
	char **argv;                     // main's: alive until the process ends
	Window gone[2];                  // main and icon window replaced at the last rebuild
	XErrorHandler previous_handler;  // Xlib's default, in the applet
} windows;

// Whether Xlib has read a DestroyNotify for `w` that nobody has taken yet.
// Only memory: the error handler, which calls it, must not do protocol.
bool
destroy_read(Display *dpy, Window w)
{
	for (_XQEvent *q = dpy->head; q; q = q->next)
		if (q->event.type == DestroyNotify && !q->event.xany.send_event &&
		    q->event.xdestroywindow.window == w)
			return true;
	return false;
}

// Every X error the toolkit outlives, and only those: BadWindow or
// BadDrawable about a window of the applet known to be gone.  A dock that
// dies destroys the window it swallowed, and the requests the applet sent
// before it heard of that fail.  Known gone: a window of the pair replaced
// at the last rebuild (errors about an older pair all came before the
// DestroyNotify that started it), or the current main or icon window once
// Xlib has read its DestroyNotify: it may call us while it reads, before
// the applet takes that event.  Everything else, BadMatch and errors about live windows
// included, goes to the previous handler: its message, then exit 1.
int
tolerate_gone_window(Display *dpy, XErrorEvent *ev)
{
	const dock_state_record &ds = dock_state;
	Window w = ev->resourceid;
	bool known_gone = w != None && (w == windows.gone[0] || w == windows.gone[1] ||
	                                ((w == ds.main_window || w == ds.icon_window) && destroy_read(dpy, w)));
	if ((ev->error_code == BadWindow || ev->error_code == BadDrawable) && known_gone)
		return 0;
	return windows.previous_handler(dpy, ev);
}

// The main window and its icon window with everything a window manager
// reads, mapped: start-up's pair and every rebuilt one.  A new window is
// Withdrawn, so mapping it is the ordinary first transition: a running
// manager gets a MapRequest, and one that starts later adopts it.
void
create_windows()
{
	dock_state_record &ds = dock_state;
	char **argv = windows.argv;
	ds.size_hints.flags = USSize | USPosition;
	ds.size_hints.x = 0;
	ds.size_hints.y = 0;
	int gx, gy, gw, gh, gravity;
	XWMGeometry(ds.display, ds.screen, "", nullptr, 1, &ds.size_hints, &gx, &gy, &gw, &gh, &gravity);
	ds.size_hints.x = gx;
	ds.size_hints.y = gy;
	ds.size_hints.width = 64;
	ds.size_hints.height = 64;

	ds.main_window = XCreateSimpleWindow(ds.display, ds.root, ds.size_hints.x, ds.size_hints.y,
	                                     ds.size_hints.width, ds.size_hints.height, 1,
	                                     ds.black_pixel, ds.white_pixel);
	ds.icon_window = XCreateSimpleWindow(ds.display, ds.main_window, ds.size_hints.x, ds.size_hints.y,
	                                     ds.size_hints.width, ds.size_hints.height, 1,
	                                     ds.black_pixel, ds.white_pixel);

	XSetWMNormalHints(ds.display, ds.main_window, &ds.size_hints);
	XClassHint class_hint = { argv[0], argv[0] };
	XSetClassHint(ds.display, ds.main_window, &class_hint);

	XSelectInput(ds.display, ds.main_window, dock_event_mask);
	XSelectInput(ds.display, ds.icon_window, dock_event_mask);

	XTextProperty name_property;
	if (XStringListToTextProperty(&argv[0], 1, &name_property) == 0)
		dock_fatal(1, "%s: can't allocate window name\n", argv[0]);
	XSetWMName(ds.display, ds.main_window, &name_property);
	XFree(name_property.value);

	XShapeCombineMask(ds.display, ds.main_window, ShapeBounding, 0, 0, ds.shape_mask, ShapeSet);
	XShapeCombineMask(ds.display, ds.icon_window, ShapeBounding, 0, 0, ds.shape_mask, ShapeSet);

	ds.wm_hints.initial_state = WithdrawnState;
	ds.wm_hints.icon_window = ds.icon_window;
	ds.wm_hints.icon_x = ds.size_hints.x;
	ds.wm_hints.icon_y = ds.size_hints.y;
	ds.wm_hints.window_group = ds.main_window;
	ds.wm_hints.flags = StateHint | IconWindowHint | IconPositionHint | WindowGroupHint;
	XSetWMHints(ds.display, ds.main_window, &ds.wm_hints);

	XSetCommand(ds.display, ds.main_window, argv, windows.argc);
	if (ds.colormap != None)
		XSetWindowColormap(ds.display, ds.main_window, ds.colormap);
	XMapWindow(ds.display, ds.main_window);      // a dock maps the icon window
}

} // namespace

void
dock_fatal(int status, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	std::vfprintf(stderr, format, args);
	va_end(args);
	std::exit(status);
}

void
dock_open_window(int argc, char *argv[], const char *const xpm_data[],
                 const unsigned char *mask_bits, int mask_width, int mask_height)
{
	dock_state_record &ds = dock_state;
	const char *name = display_name_from(argc, argv);
	if (!(ds.display = XOpenDisplay(name)))
		dock_fatal(1, "%s: can't open display %s\n", argv[0], XDisplayName(name));
	windows.argc = argc;
	windows.argv = argv;
	windows.previous_handler = XSetErrorHandler(tolerate_gone_window);
	ds.screen = DefaultScreen(ds.display);
	ds.root = RootWindow(ds.display, ds.screen);

	ds.xpm_attributes.valuemask |= XpmReturnPixels | XpmReturnExtensions;
	// The XPM reader takes char ** but never writes through it.
	if (XpmCreatePixmapFromData(ds.display, ds.root, const_cast<char **>(xpm_data),
	                            &ds.frame_pixmap, &ds.frame_pixmap_mask,
	                            &ds.xpm_attributes) != XpmSuccess)
		dock_fatal(1, "Not enough free colorcells.\n");
	ds.white_pixel = dock_get_color("white");
	ds.black_pixel = dock_get_color("black");

	// Made on the root window, so they outlive every pair of windows.
	XGCValues gcv;
	gcv.foreground = ds.black_pixel;
	gcv.background = ds.white_pixel;
	gcv.graphics_exposures = False;
	ds.normal_gc = XCreateGC(ds.display, ds.root, GCForeground | GCBackground | GCGraphicsExposures, &gcv);
	ds.shape_mask = XCreateBitmapFromData(ds.display, ds.root,
	                                      reinterpret_cast<const char *>(mask_bits),
	                                      static_cast<unsigned>(mask_width),
	                                      static_cast<unsigned>(mask_height));
	create_windows();
}

unsigned long
dock_get_color(const char *name)
{
	XWindowAttributes attributes;
	XGetWindowAttributes(dock_state.display, dock_state.root, &attributes);
	XColor colour{};
	if (!XParseColor(dock_state.display, attributes.colormap, name, &colour)) {
		std::fprintf(stderr, "wm.app: can't parse %s.\n", name);
		return 0;
	}
	if (!XAllocColor(dock_state.display, attributes.colormap, &colour)) {
		std::fprintf(stderr, "wm.app: can't allocate %s.\n", name);
		return 0;
	}
	return colour.pixel;
}

void
dock_set_colormap(Colormap colormap)
{
	dock_state.colormap = colormap;
	XSetWindowColormap(dock_state.display, dock_state.main_window, colormap);
}

// A destroyed window of the pair leaves the other docked and frozen, or
// carrying a dead manager's state: both go, and a new pair takes their
// place.  A sent DestroyNotify says nothing of the window; nor does one
// about any other window.
void
dock_window_destroyed(const XDestroyWindowEvent &ev)
{
	dock_state_record &ds = dock_state;
	if (ev.send_event || (ev.window != ds.main_window && ev.window != ds.icon_window))
		return;
	windows.gone[0] = ds.main_window;
	windows.gone[1] = ds.icon_window;
	Window other = ev.window == ds.main_window ? ds.icon_window : ds.main_window;
	if (!destroy_read(ds.display, other))
		XDestroyWindow(ds.display, other);
	create_windows();
	// Both roles start unmapped and unseen again: the applet's visibility
	// state for main and icon must be reset here.
}

// XFlush would read the connection after writing, twice over with Xlib's
// bookkeeping, even when nothing can have come.  _XSend is the write alone.
// The write waits for the socket to take the bytes and may read what has
// arrived meanwhile into the connection's own queue, where no poll on the
// socket sees it any more; only then is it moved into Xlib's queue.
void
dock_flush()
{
	Display *dpy = dock_state.display;
	xcb_connection_t *c = XGetXCBConnection(dpy);
	std::uint64_t read_before = xcb_total_read(c);
	LockDisplay(dpy);
	_XSend(dpy, nullptr, 0);
	UnlockDisplay(dpy);
	if (xcb_total_read(c) != read_before)
		XEventsQueued(dpy, QueuedAfterReading);
}

bool
dock_sleep(long ns)
{
	timespec end;
	clock_gettime(CLOCK_MONOTONIC, &end);
	end.tv_nsec += ns;
	end.tv_sec += end.tv_nsec / 1000000000L;
	end.tv_nsec %= 1000000000L;
	// Waiting in poll rather than a plain sleep tells, for free, whether
	// anything came; the common quiet pause is then this one call.
	pollfd p = { ConnectionNumber(dock_state.display), POLLIN, 0 };
	timespec wait = { ns / 1000000000L, ns % 1000000000L };
	if (ppoll(&p, 1, &wait, nullptr) == 0)
		return false;
	// Something came (or a signal, or the server went away): the pause is
	// still served in full, and the caller reads what came afterwards.
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR)
		;
	return true;
}

void
dock_redraw()
{
	dock_redraw_at(0, 0);
}

void
dock_redraw_at(int x, int y)
{
	redraw_window(dock_state.icon_window, x, y);
	redraw_window(dock_state.main_window, x, y);
}

void
dock_copy_pixmap_area(int src_x, int src_y, int width, int height, int dst_x, int dst_y)
{
	XCopyArea(dock_state.display, dock_state.frame_pixmap, dock_state.frame_pixmap,
	          dock_state.normal_gc, src_x, src_y, static_cast<unsigned>(width),
	          static_cast<unsigned>(height), dst_x, dst_y);
}

void
dock_set_mask_at(int x, int y)
{
	XShapeCombineMask(dock_state.display, dock_state.main_window, ShapeBounding, x, y,
	                  dock_state.shape_mask, ShapeSet);
	XShapeCombineMask(dock_state.display, dock_state.icon_window, ShapeBounding, x, y,
	                  dock_state.shape_mask, ShapeSet);
}

void
dock_add_region(int index, int left, int top, int right, int bottom)
{
	if (index < 0 || index >= dock_region_count)
		return;
	dock_state.regions[index] = { 1, top, bottom, left, right };
}

int
dock_find_region(int x, int y)
{
	for (int i = 0; i < dock_region_count; i++) {
		const mouse_region &r = dock_state.regions[i];
		if (r.enabled && r.left <= x && x <= r.right && r.top <= y && y <= r.bottom)
			return i;
	}
	return -1;
}
