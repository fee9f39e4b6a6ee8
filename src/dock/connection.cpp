// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the connection.  xcb owns the event stream, as
// XSetEventQueueOwner(3) offers, and after set-up every request goes
// through xcb: one buffer, flushed before every wait, and one stream of
// events and errors, in the order the server sent them.  dispatch() sees
// each once: it keeps presses and crossings for the applet, looks after
// the helper window (the selection's owner and the press-dropping
// marker), and hands the rest to windows_event.  A frame reads for a few
// milliseconds at most; the pause between frames waits on the socket and
// reads what comes as it comes, so a flood never outruns the applet, and
// what it keeps of one is bounded.
#include "internal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

namespace {

constexpr long frame_read_ns = 4000000;   // a frame reads for this long at most
constexpr int kept_limit = 256;           // events kept for the applet between two frames

struct io_state {
	bool server_spoke;               // the socket had something, or a read stopped at a limit
	bool frame_read;                 // this frame has had its one chance to read
	bool dropping_presses;           // until the helper window's PropertyNotify comes
	xcb_timestamp_t marker_time;     // of the last such PropertyNotify; 0 while awaited
	std::uint32_t drops;             // times dock_drop_presses was called
	unsigned long taken;             // events taken from xcb's queue, ever
	std::array<dock_event, kept_limit> kept;
	int first, count;                // the kept events, a ring
} io;

// The applet's own unmapped window: it owns the selection that makes one
// applet a screen, and its property changes tell the server's time and
// mark the end of the presses to drop.  It never moves, so no dock takes
// it with it; destroyed, it is made again.
struct helper_record {
	Window window;
	xcb_atom_t selection;            // "_QUARVEL_S<screen>"
	bool owner;                      // no newer copy has taken the selection
} helper;

// Xlib's own message for a lost connection, and exit 1.
[[noreturn]] void
connection_lost()
{
	XIOErrorHandler handler = XSetIOErrorHandler(nullptr);
	handler(dock_state.display);
	std::exit(1);
}

void
make_helper()
{
	xcb_connection_t *c = xcb();
	const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
	helper.window = xcb_generate_id(c);
	xcb_create_window(c, 0, helper.window, dock_state.root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
	                  XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
}

// A change of the helper's property whose PropertyNotify tells the time.
void
send_marker(std::uint8_t mode, xcb_atom_t type, int format, std::uint32_t count, const void *data)
{
	xcb_change_property(xcb(), mode, helper.window, helper.selection, type, static_cast<std::uint8_t>(format),
	                    count, data);
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
// server's state, and only a press, which a dock may forward, counts.
void
dispatch(const xcb_generic_event_t *e)
{
	int type = e->response_type & 0x7f;
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
	case XCB_PROPERTY_NOTIFY: {
		auto p = reinterpret_cast<const xcb_property_notify_event_t *>(e);
		if (p->window == helper.window && p->atom == helper.selection) {
			io.dropping_presses = false;
			io.marker_time = p->time;
		}
		break;
	}
	case XCB_DESTROY_NOTIFY:
		if (reinterpret_cast<const xcb_destroy_notify_event_t *>(e)->window != helper.window) {
			windows_event(e);
			break;
		}
		// Its PropertyNotify will never come.
		io.dropping_presses = false;
		make_helper();
		if (helper.owner)
			xcb_set_selection_owner(xcb(), helper.window, helper.selection, XCB_CURRENT_TIME);
		break;
	case XCB_SELECTION_CLEAR: {
		auto s = reinterpret_cast<const xcb_selection_clear_event_t *>(e);
		if (s->owner == helper.window && s->selection == helper.selection) {
			helper.owner = false;
			windows_replaced();
		}
		break;
	}
	default:
		windows_event(e);
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
			io.taken++;
			dispatch(e);
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

// Reads until the socket has nothing more, the applet has all it keeps, or
// `until` has come: looked at every thousand events or so, as a flood from
// many clients may never leave the socket empty.
void
read_socket(const timespec &until)
{
	xcb_connection_t *c = xcb();
	io.server_spoke = false;
	for (int taken = 1; io.count < kept_limit; taken++) {
		xcb_generic_event_t *e = xcb_poll_for_event(c);
		if (!e)
			break;
		dispatch(e);
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
// spoken, what it has, for a few milliseconds at most; then what the
// events read have made stale is asked for once.
void
take_events()
{
	io.frame_read = true;
	take_queued();
	if (io.server_spoke)
		read_socket(after_ns(frame_read_ns));
	windows_settle();
}

} // namespace

void
connection_start()
{
	XSetEventQueueOwner(dock_state.display, XCBOwnsEventQueue);
}

// At start, a helper destroyed before its marker came is made again, and
// the marker sent again: the applet comes up through a destroy storm.
void
connection_take_selection(const char *name)
{
	xcb_connection_t *c = xcb();
	auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
	xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(c, cookie, nullptr);
	if (!atom)
		connection_lost();
	helper.selection = atom->atom;
	std::free(atom);
	make_helper();
	io.marker_time = 0;
	for (Window marked = None; io.marker_time == 0;) {
		if (marked != helper.window) {
			marked = helper.window;
			send_marker(XCB_PROP_MODE_APPEND, XCB_ATOM_STRING, 8, 0, nullptr);
			dock_flush();
		}
		xcb_generic_event_t *e = xcb_wait_for_event(c);
		if (!e)
			connection_lost();
		dispatch(e);
		std::free(e);
	}
	// An older copy gets SelectionClear.
	helper.owner = true;
	xcb_set_selection_owner(c, helper.window, helper.selection, io.marker_time);
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
	// The value counts the times this was done, for whoever waits for the
	// applet to take presses again.
	io.drops++;
	send_marker(XCB_PROP_MODE_REPLACE, XCB_ATOM_CARDINAL, 32, 1, &io.drops);
}

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
		// speaks.  But first everything is sent (a rebuild's requests
		// above all, or the new pair never shows), and whatever xcb read
		// meanwhile is taken, until neither leaves anything behind.
		for (unsigned long taken = ~0ul; taken != io.taken;) {
			dock_flush();
			taken = io.taken;
			take_queued();
			if (windows_settle())
				taken = ~0ul;
		}
		if (!io.server_spoke && io.count == 0 && !dock_seen())
			io.server_spoke = ppoll(&p, 1, nullptr, nullptr) != 0;
		return;
	}
	// Waiting in poll rather than a plain sleep tells, for free, whether
	// anything came; the common quiet pause is then this one call.  What
	// comes is read at once; what the applet is handed waits for the next
	// frame, and the pause is served in full.
	timespec end = after_ns(ns);
	for (;;) {
		dock_flush();                    // a rebuild's requests, made while reading
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
