// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit.  dock_open_window brings up the two shaped windows in
// the order window managers expect to see them; dock_redraw copies the frame
// pixmap into both.  All handles live in dock_state until the process ends,
// but the windows: when a dock destroys them, dock_window_destroyed makes
// them again, and tolerate_gone_window holds the only X errors outlived.
#include "dock.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/extensions/shape.h>
#include <xcb/xcb.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

dock_state_record dock_state;

namespace {

// The frame loop's I/O, between frames.
struct io_state {
	bool server_spoke;               // during the last pause, or more than a frame takes
	bool frame_read;                 // this frame has had its one chance to read
	int batch;                       // events of this frame's read not yet handed out
	std::uint64_t read_mark;         // xcb_total_read after the last read took all xcb had
	unsigned long reply_mark;        // Xlib's last_request_read then
} io;

// At most this many events a frame; a flood's rest waits in the socket and
// the server.  Xlib keeps the queue entries of the largest batch for
// reuse, some 200 bytes each: never more than 0.5 MiB.
constexpr int frame_event_limit = 2048;

// What the server has said of the applet's two windows, by role.
enum view_role { view_main, view_icon, view_roles };
struct window_view {
	bool mapped;
	bool obscured;                   // fully, by the last VisibilityNotify
};
struct view_state {
	std::array<window_view, view_roles> windows;
	bool saver_on;                   // the screen saver has blanked the screen
	int saver_event;                 // ScreenSaverNotify's type, 0 without the extension
} view;

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

// Removes the Expose events for `w` that Xlib's queue holds, without the
// read and flush XCheckTypedWindowEvent would do when it finds none there.
void
drop_queued_exposures(Window w)
{
	Display *dpy = dock_state.display;
	LockDisplay(dpy);
	_XQEvent *prev = nullptr;
	for (_XQEvent *q = dpy->head; q;) {
		_XQEvent *next = q->next;
		if (q->event.type == Expose && q->event.xexpose.window == w)
			_XDeq(dpy, prev, q);
		else
			prev = q;
		q = next;
	}
	UnlockDisplay(dpy);
}

void
redraw_window(Window w, int src_x, int src_y)
{
	// The copy below repaints the whole window, so queued exposures are
	// moot.  Exposures still on their way are handled when they arrive.
	drop_queued_exposures(w);
	XCopyArea(dock_state.display, dock_state.frame_pixmap, w, dock_state.normal_gc,
	          src_x, src_y, dock_state.xpm_attributes.width, dock_state.xpm_attributes.height, 0, 0);
}

enum class waiting { nothing, in_queue, unread };

// No event is ever left waiting.  One that has come is in one of three
// places: the socket, which the pause watches (server_spoke); xcb's
// queue, where a write that had to wait for the socket, or a round trip,
// takes in what has arrived, which no poll of the socket sees and only
// xcb_total_read moving past the mark of the last read tells; or Xlib's
// queue, which holds a batch until it is handed out, and what a round trip
// of Xlib's own read before its reply.  The first two need a read; the
// third does not, and a read that finds nothing still costs two system
// calls.
waiting
events_waiting()
{
	Display *dpy = dock_state.display;
	if (io.server_spoke || xcb_total_read(XGetXCBConnection(dpy)) != io.read_mark)
		return waiting::unread;
	return XQLength(dpy) > 0 ? waiting::in_queue : waiting::nothing;
}

// This frame's one chance to read.  Xlib's own reading goes on while
// anything is left in the socket, for as long as a flood lasts; so the
// toolkit takes from xcb itself: what xcb holds, then one socket read at a
// time, until nothing more has come or the frame has its fill.  Events go
// into Xlib's queue, where they become XEvents; errors go to the error
// handler, in the order they came, as Xlib's own reading would.
void
take_events()
{
	Display *dpy = dock_state.display;
	xcb_connection_t *c = XGetXCBConnection(dpy);
	io.frame_read = true;
	io.batch = 0;
	switch (events_waiting()) {
	case waiting::nothing:
		return;
	case waiting::unread: {
		// A round trip since the last read (set-up's, at first) may have
		// left Xlib holding back the event that followed its reply, which
		// only Xlib's own reading hands over: it reads once first.
		if (dpy->last_request_read != io.reply_mark)
			XEventsQueued(dpy, QueuedAfterReading);
		int taken = 0;
		xcb_generic_event_t *e = nullptr;
		while (taken < frame_event_limit &&
		       ((e = xcb_poll_for_queued_event(c)) || (e = xcb_poll_for_event(c)))) {
			LockDisplay(dpy);
			if (e->response_type == 0)
				_XError(dpy, reinterpret_cast<xError *>(e));
			else
				_XEnq(dpy, reinterpret_cast<xEvent *>(e));
			UnlockDisplay(dpy);
			std::free(e);
			taken++;
		}
		if (xcb_connection_has_error(c))
			_XIOError(dpy);
		io.server_spoke = taken == frame_event_limit;      // more may have come
		io.read_mark = xcb_total_read(c);
		io.reply_mark = dpy->last_request_read;
		[[fallthrough]];
	}
	case waiting::in_queue:
		io.batch = XQLength(dpy);
		break;
	}
}

window_view *
view_of(Window w)
{
	if (w == dock_state.main_window)
		return &view.windows[view_main];
	if (w == dock_state.icon_window)
		return &view.windows[view_icon];
	return nullptr;
}

// Only the server's own events count: another client's XSendEvent must not
// stop the drawing.
void
note_view(const XEvent &ev)
{
	if (ev.xany.send_event)
		return;
	if (view.saver_event && ev.type == view.saver_event) {
		view.saver_on = reinterpret_cast<const XScreenSaverNotifyEvent &>(ev).state != ScreenSaverOff;
		return;
	}
	window_view *v;
	switch (ev.type) {
	case MapNotify:
		if ((v = view_of(ev.xmap.window)))
			v->mapped = true;
		break;
	case UnmapNotify:
		if ((v = view_of(ev.xunmap.window)))
			v->mapped = false;
		break;
	case VisibilityNotify:
		if ((v = view_of(ev.xvisibility.window)))
			v->obscured = ev.xvisibility.state == VisibilityFullyObscured;
		break;
	default:
		break;
	}
}

// A blanked screen sends no window event; the screen saver extension
// tells.  Where it is missing, only the windows' events count.
void
watch_screen_saver()
{
	int event_base, error_base;
	if (!XScreenSaverQueryExtension(dock_state.display, &event_base, &error_base))
		return;
	view.saver_event = event_base + ScreenSaverNotify;
	XScreenSaverSelectInput(dock_state.display, dock_state.root, ScreenSaverNotifyMask);
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
// the applet takes that event.  Everything else, BadMatch and errors about
// live windows included, goes to the previous handler: its message, then
// exit 1.
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
	watch_screen_saver();

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
	dock_reset_views();           // the new pair is unseen until its MapNotify
}

bool
dock_next_event(XEvent *ev)
{
	Display *dpy = dock_state.display;
	if (!io.frame_read)
		take_events();
	// Fewer than the batch when a redraw has dropped queued exposures: an
	// empty queue would make XNextEvent block.
	if (io.batch == 0 || XQLength(dpy) == 0) {
		io.batch = 0;
		return false;
	}
	io.batch--;
	XNextEvent(dpy, ev);
	note_view(*ev);
	return true;
}

bool
dock_seen()
{
	bool seen = false;
	for (const window_view &v : view.windows)
		seen = seen || (v.mapped && !v.obscured);
	return seen && !view.saver_on;
}

void
dock_reset_views()
{
	view.windows = {};
}

// XFlush would read the connection after writing, twice over with Xlib's
// bookkeeping, even when nothing can have come.  _XSend is the write alone;
// what it takes in on its way is the next frame's to read (events_waiting).
void
dock_flush()
{
	Display *dpy = dock_state.display;
	LockDisplay(dpy);
	_XSend(dpy, nullptr, 0);
	UnlockDisplay(dpy);
}

void
dock_pause(long ns)
{
	pollfd p = { ConnectionNumber(dock_state.display), POLLIN, 0 };
	io.frame_read = false;
	if (!dock_seen()) {
		// Nothing to draw and nothing to time: sleep until the server
		// speaks, unless it already has.
		dock_flush();
		if (events_waiting() == waiting::nothing)
			io.server_spoke = ppoll(&p, 1, nullptr, nullptr) != 0;
		return;
	}
	timespec end;
	clock_gettime(CLOCK_MONOTONIC, &end);
	end.tv_nsec += ns;
	end.tv_sec += end.tv_nsec / 1000000000L;
	end.tv_nsec %= 1000000000L;
	// Waiting in poll rather than a plain sleep tells, for free, whether
	// anything came; the common quiet pause is then this one call.
	timespec wait = { ns / 1000000000L, ns % 1000000000L };
	if (ppoll(&p, 1, &wait, nullptr) == 0)
		return;
	// Something came (or a signal, or the server went away): the pause is
	// still served in full, and the next frame reads what came.
	io.server_spoke = true;
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR)
		;
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
