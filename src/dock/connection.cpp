// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the connection.  xcb owns the event stream, as
// XSetEventQueueOwner(3) offers, so every event and every error of a
// request without a reply comes here, in the order the server sent it,
// and here alone.  take() is the one place that decides what an event
// means.  A frame reads for a few milliseconds at most; the pause between
// frames waits on the connection's socket and reads what comes as it
// comes, so a flood never outruns the applet, and what the applet keeps
// of it is bounded.
#include "internal.h"

#include <X11/Xlib-xcb.h>
#include <X11/extensions/scrnsaver.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <poll.h>

namespace {

// A frame reads for this long at most, most of what it reads dropped on
// sight; between frames the pause reads what comes as it comes.
constexpr long frame_read_ns = 4000000;
// Events kept for the applet, at most, between two frames.
constexpr int kept_limit = 256;

struct io_state {
	bool server_spoke;               // the socket had something, or a read stopped at a limit
	bool frame_read;                 // this frame has had its one chance to read
	bool dropping_presses;           // until the helper window's PropertyNotify comes
	xcb_timestamp_t marker_time;     // of the last such PropertyNotify; 0 while awaited
	std::uint32_t drops;             // times dock_drop_presses was called
	std::array<dock_event, kept_limit> kept;
	int first, count;                // the kept events, a ring
} io;

// A window that holds one of the applet's windows, and whether it is
// mapped.  The applet's window is viewable only while each is.
struct ancestor {
	Window window;
	bool mapped;
};
constexpr int ancestor_limit = 8;    // deeper ones count as mapped

// What the server has said of the applet's two windows, by role.
enum view_role { view_main, view_icon, view_roles };
struct window_view {
	bool mapped;
	bool obscured;                   // fully, by the last VisibilityNotify
	Window parent;
	std::array<ancestor, ancestor_limit> ancestors;   // from the parent up, without the root;
	int ancestor_count;                               // none while the parent is the main window
};
struct view_state {
	std::array<window_view, view_roles> windows;
	bool saver_on;                   // the screen saver has blanked the screen
	int saver_event;                 // ScreenSaverNotify's type, 0 without the extension
} view;

xcb_connection_t *
xcb()
{
	return XGetXCBConnection(dock_state.display);
}

// Xlib's own message for a lost connection, and exit 1.
[[noreturn]] void
connection_lost()
{
	XIOErrorHandler handler = XSetIOErrorHandler(nullptr);
	handler(dock_state.display);
	std::exit(1);
}

window_view *
view_of(Window w)
{
	if (w == None)
		return nullptr;
	if (w == dock_state.main_window)
		return &view.windows[view_main];
	if (w == dock_state.icon_window)
		return &view.windows[view_icon];
	return nullptr;
}

bool
viewable(const window_view &v)
{
	if (!v.mapped)
		return false;
	if (v.parent == dock_state.main_window)
		return viewable(view.windows[view_main]);
	for (int i = 0; i < v.ancestor_count; i++)
		if (!v.ancestors[static_cast<std::size_t>(i)].mapped)
			return false;
	return true;
}

// The windows from `v`'s parent up to the root, each asked for its
// StructureNotify, so its map, unmap and reparenting are told here too.
// A window that goes meanwhile ends the walk: the events that follow its
// going tell the rest.
void
walk_ancestors(window_view &v)
{
	xcb_connection_t *c = xcb();
	v.ancestor_count = 0;
	Window w = v.parent;
	if (w == dock_state.main_window)
		return;
	const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
	while (w != None && w != dock_state.root && v.ancestor_count < ancestor_limit) {
		// Another client's window: what it refuses is of no consequence.
		xcb_discard_reply(c, xcb_change_window_attributes_checked(c, w, XCB_CW_EVENT_MASK, &structure).sequence);
		auto attributes_cookie = xcb_get_window_attributes(c, w);
		auto tree_cookie = xcb_query_tree(c, w);
		xcb_get_window_attributes_reply_t *a = xcb_get_window_attributes_reply(c, attributes_cookie, nullptr);
		xcb_query_tree_reply_t *t = xcb_query_tree_reply(c, tree_cookie, nullptr);
		if (a && t)
			v.ancestors[static_cast<std::size_t>(v.ancestor_count++)] = { w, a->map_state != XCB_MAP_STATE_UNMAPPED };
		w = a && t ? t->parent : None;
		std::free(a);
		std::free(t);
	}
}

void
note_mapped(Window w, bool mapped)
{
	if (window_view *v = view_of(w))
		v->mapped = mapped;
	for (window_view &v : view.windows)
		for (int i = 0; i < v.ancestor_count; i++)
			if (v.ancestors[static_cast<std::size_t>(i)].window == w)
				v.ancestors[static_cast<std::size_t>(i)].mapped = mapped;
}

void
note_reparented(Window w, Window parent)
{
	if (window_view *v = view_of(w)) {
		v->parent = parent;
		walk_ancestors(*v);
		windows_moved();
		return;
	}
	for (window_view &v : view.windows)
		for (int i = 0; i < v.ancestor_count; i++)
			if (v.ancestors[static_cast<std::size_t>(i)].window == w) {
				walk_ancestors(v);
				break;
			}
}

void
keep(const dock_event &ev)
{
	if (io.count == kept_limit)
		return;
	io.kept[static_cast<std::size_t>((io.first + io.count++) % kept_limit)] = ev;
}

// Every event and error of the stream, once, in the order they came.
// Another client may send any event (XSendEvent): those say nothing of the
// server's state, and only a press, which a dock may forward, counts.  The
// applet is handed presses and crossings; the toolkit follows what makes
// the windows seen or not, rebuilds them when a dock destroyed them and
// hears of a newer copy of the applet; motion, exposures (every frame
// paints both windows whole) and the rest are dropped here.
void
take(const xcb_generic_event_t *e)
{
	int type = e->response_type & 0x7f;
	if (type == 0) {
		windows_error(*reinterpret_cast<const xcb_generic_error_t *>(e));
		return;
	}
	if ((e->response_type & 0x80) && type != XCB_BUTTON_PRESS)
		return;
	switch (type) {
	case XCB_BUTTON_PRESS: {
		auto b = reinterpret_cast<const xcb_button_press_event_t *>(e);
		if (!io.dropping_presses)
			keep({ ButtonPress, b->detail, b->event });
		break;
	}
	case XCB_ENTER_NOTIFY:
	case XCB_LEAVE_NOTIFY:
		keep({ type, 0, reinterpret_cast<const xcb_enter_notify_event_t *>(e)->event });
		break;
	case XCB_MAP_NOTIFY:
		note_mapped(reinterpret_cast<const xcb_map_notify_event_t *>(e)->window, true);
		break;
	case XCB_UNMAP_NOTIFY:
		note_mapped(reinterpret_cast<const xcb_unmap_notify_event_t *>(e)->window, false);
		break;
	case XCB_VISIBILITY_NOTIFY: {
		auto v = reinterpret_cast<const xcb_visibility_notify_event_t *>(e);
		if (window_view *w = view_of(v->window))
			w->obscured = v->state == XCB_VISIBILITY_FULLY_OBSCURED;
		break;
	}
	case XCB_REPARENT_NOTIFY: {
		auto r = reinterpret_cast<const xcb_reparent_notify_event_t *>(e);
		note_reparented(r->window, r->parent);
		break;
	}
	case XCB_DESTROY_NOTIFY: {
		Window w = reinterpret_cast<const xcb_destroy_notify_event_t *>(e)->window;
		if (w == windows_helper())
			io.dropping_presses = false;     // its PropertyNotify may never come
		windows_destroyed(w);
		break;
	}
	case XCB_PROPERTY_NOTIFY: {
		auto p = reinterpret_cast<const xcb_property_notify_event_t *>(e);
		if (p->window == windows_helper() && p->atom == windows_selection()) {
			io.dropping_presses = false;
			io.marker_time = p->time;
		}
		break;
	}
	case XCB_SELECTION_CLEAR: {
		auto s = reinterpret_cast<const xcb_selection_clear_event_t *>(e);
		if (s->owner == windows_helper() && s->selection == windows_selection())
			windows_selection_lost();
		break;
	}
	default:
		// (A ScreenSaverNotify's second byte is the saver's new state.)
		if (view.saver_event && type == view.saver_event)
			view.saver_on = reinterpret_cast<const std::uint8_t *>(e)[1] != ScreenSaverOff;
		break;
	}
}

// What xcb has already read, with no system call: it reads while it waits
// for a reply or for room to write.
void
take_queued()
{
	while (io.count < kept_limit)
		if (xcb_generic_event_t *e = xcb_poll_for_queued_event(xcb())) {
			take(e);
			std::free(e);
		} else {
			break;
		}
}

timespec
after_ns(long ns)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	t.tv_nsec += ns;
	t.tv_sec += t.tv_nsec / 1000000000L;
	t.tv_nsec %= 1000000000L;
	return t;
}

bool
past(const timespec &t)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec > t.tv_sec || (now.tv_sec == t.tv_sec && now.tv_nsec >= t.tv_nsec);
}

// Reads the socket, one read at a time, until it has nothing more, the
// applet has as many events as it keeps, or `until` has come (looked at
// every thousand events or so: a flood may never leave it empty).
void
read_socket(const timespec &until)
{
	xcb_connection_t *c = xcb();
	io.server_spoke = false;
	for (int taken = 1; io.count < kept_limit; taken++) {
		xcb_generic_event_t *e = xcb_poll_for_event(c);
		if (!e)
			break;
		take(e);
		std::free(e);
		if (taken % 1024 == 0 && past(until)) {
			io.server_spoke = true;          // more may wait
			break;
		}
	}
	if (xcb_connection_has_error(c))
		connection_lost();
	io.server_spoke = io.server_spoke || io.count == kept_limit;
}

// This frame's one chance to read: what xcb holds, then, if the socket has
// spoken, what it has, for a few milliseconds at most.
void
take_events()
{
	io.frame_read = true;
	take_queued();
	if (io.server_spoke)
		read_socket(after_ns(frame_read_ns));
}

// Requests Xlib still holds (a rebuild's), then xcb's.
void
send_all()
{
	XFlush(dock_state.display);
	if (xcb_flush(xcb()) <= 0)
		connection_lost();
}

} // namespace

void
connection_start()
{
	Display *dpy = dock_state.display;
	XSetEventQueueOwner(dpy, XCBOwnsEventQueue);
	// A blanked screen sends no window event; the screen saver extension
	// tells.  Where it is missing, only the windows' events count.
	int event_base, error_base;
	Window root = DefaultRootWindow(dpy);
	if (!XScreenSaverQueryExtension(dpy, &event_base, &error_base))
		return;
	view.saver_event = event_base + ScreenSaverNotify;
	XScreenSaverSelectInput(dpy, root, ScreenSaverNotifyMask);
	// It may be on already: its next change is then the first word of it.
	XScreenSaverInfo info;
	if (XScreenSaverQueryInfo(dpy, root, &info))
		view.saver_on = info.state == ScreenSaverOn;
}

xcb_timestamp_t
connection_server_time()
{
	xcb_connection_t *c = xcb();
	io.marker_time = 0;
	xcb_change_property(c, XCB_PROP_MODE_APPEND, windows_helper(), windows_selection(), XCB_ATOM_STRING, 8, 0,
	                    nullptr);
	send_all();
	while (io.marker_time == 0) {
		xcb_generic_event_t *e = xcb_wait_for_event(c);
		if (!e)
			connection_lost();
		take(e);
		std::free(e);
	}
	return io.marker_time;
}

void
connection_reset_views()
{
	view.windows = {};
	view.windows[view_main].parent = dock_state.root;
	view.windows[view_icon].parent = dock_state.main_window;
}

bool
connection_viewable(Window w)
{
	const window_view *v = view_of(w);
	return v && viewable(*v);
}

bool
dock_next_event(dock_event *ev)
{
	if (!io.frame_read)
		take_events();
	if (io.count == 0)
		return false;
	*ev = io.kept[static_cast<std::size_t>(io.first)];
	io.first = (io.first + 1) % kept_limit;
	io.count--;
	return true;
}

bool
dock_seen()
{
	bool seen = false;
	for (const window_view &v : view.windows)
		seen = seen || (viewable(v) && !v.obscured);
	return seen && !view.saver_on;
}

// The presses read so far go now, and those still to come until the
// server answers a property change made after them: the server sends
// events in order, so that answer follows the last press made before it.
void
dock_drop_presses()
{
	int kept = 0;
	for (int i = 0; i < io.count; i++) {
		const dock_event &ev = io.kept[static_cast<std::size_t>((io.first + i) % kept_limit)];
		if (ev.type != ButtonPress)
			io.kept[static_cast<std::size_t>((io.first + kept++) % kept_limit)] = ev;
	}
	io.count = kept;
	io.dropping_presses = true;
	// The change's value counts the times this was done, for whoever waits
	// for the applet to take presses again.
	io.drops++;
	xcb_change_property(xcb(), XCB_PROP_MODE_REPLACE, windows_helper(), windows_selection(), XCB_ATOM_CARDINAL,
	                    32, 1, &io.drops);
}

// One write of what the frame drew, and no read: what comes meanwhile is
// the next frame's to read.
void
dock_flush()
{
	if (xcb_flush(xcb()) <= 0)
		connection_lost();
}

void
dock_pause(long ns)
{
	pollfd p = { ConnectionNumber(dock_state.display), POLLIN, 0 };
	io.frame_read = false;
	if (!dock_seen()) {
		// Nothing to draw and nothing to time: sleep until the server
		// speaks, unless it already has.
		send_all();
		take_queued();
		if (!io.server_spoke && io.count == 0 && !dock_seen())
			io.server_spoke = ppoll(&p, 1, nullptr, nullptr) != 0;
		return;
	}
	// Waiting in poll rather than a plain sleep tells, for free, whether
	// anything came; the common quiet pause is then this one call.  What
	// comes is read at once, so a flood never outruns the applet; what
	// the applet is handed waits for the next frame, and the pause is
	// served in full.
	timespec end = after_ns(ns);
	for (;;) {
		timespec now, left;
		clock_gettime(CLOCK_MONOTONIC, &now);
		long ns_left = (end.tv_sec - now.tv_sec) * 1000000000L + end.tv_nsec - now.tv_nsec;
		left = { std::max(ns_left, 0L) / 1000000000L, std::max(ns_left, 0L) % 1000000000L };
		int polled = ppoll(&p, 1, &left, nullptr);
		if (polled == 0)
			return;
		if (polled > 0 && io.count == kept_limit)
			break;
		if (polled > 0)
			read_socket(end);
		if (past(end))
			return;
	}
	// The applet has all it keeps: the rest waits for the next frames.
	io.server_spoke = true;
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR)
		;
}
