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

#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <csignal>
#include <poll.h>

namespace {

constexpr long frame_read_ns = 4000000;   // a frame reads for this long at most
constexpr int kept_limit = 256;           // events kept for the applet between two frames
constexpr long faint_ns = 500000000;      // covered under a compositor: 2 frames a second

struct io_state {
	bool server_spoke;               // the socket had something, or a read stopped at a limit
	bool frame_read;                 // this frame has had its one chance to read
	bool dropping_presses;           // until the helper window's PropertyNotify comes
	xcb_timestamp_t marker_time;     // of the last such PropertyNotify; 0 while awaited
	std::uint32_t drops;             // times dock_drop_presses was called
	unsigned long taken;             // events taken from xcb's queue, ever
	sigset_t waiting;                // the signal mask while the pause waits
	bool wakes;                      // dock_wake_on was called
	std::array<dock_event, kept_limit> kept;
	int first, count;                // the kept events, a ring
} io;

// The applet's own unmapped window: it owns the selection that makes one
// applet a screen and settings file, says there whether the applet is
// docked, and its property changes tell the server's time and mark the
// end of the presses to drop.  It never moves, so no dock takes it with
// it; destroyed, it is made again.
struct helper_record {
	Window window;
	xcb_atom_t selection;            // "_QUARVEL_S<screen>", and "_<file>" for another file
	xcb_atom_t docked;               // "_QUARVEL_DOCKED" on the owner's helper: 1 while docked
	xcb_atom_t targets, timestamp;   // what a ConvertSelection may ask for
	xcb_timestamp_t taken_at;
	bool owner;                      // no newer copy has taken the selection
	int published;                   // the docked state said on the helper; -1: none yet
	Window newer;                    // the owner's helper while replaced
	bool newer_stale;                // who owns the selection is to ask again
	bool newer_docked;
	int xfixes_event;                // XFixesSelectionNotify's type; 0 without XFixes
} helper;

// Xlib's own message for a lost connection, and exit 1.  xcb keeps no
// errno, and Xlib's handler says "connection broken" only for EPIPE.
[[noreturn]] void
connection_lost()
{
	if (xcb_connection_has_error(xcb()) == XCB_CONN_ERROR)
		errno = EPIPE;
	XIOErrorHandler handler = XSetIOErrorHandler(nullptr);
	handler(dock_state.display);
	std::exit(1);
}

xcb_atom_t
atom(const char *name)
{
	xcb_connection_t *c = xcb();
	auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
	xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, cookie, nullptr);
	if (!r)
		connection_lost();
	xcb_atom_t a = r->atom;
	std::free(r);
	return a;
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

// Every ConvertSelection gets its answer, as ICCCM asks of an owner: the
// targets and the time of a manager selection, and a refusal for the rest.
// The requestor may be gone by then: its errors are of no consequence.
void
answer(const xcb_selection_request_event_t &r)
{
	xcb_connection_t *c = xcb();
	xcb_atom_t targets[2] = { helper.targets, helper.timestamp };
	xcb_atom_t property = r.property != XCB_ATOM_NONE ? r.property : r.target;
	if (r.owner != helper.window || r.selection != helper.selection || !helper.owner)
		property = XCB_ATOM_NONE;
	else if (r.target == targets[0])
		xcb_discard_reply(c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, r.requestor, property,
		                                                 XCB_ATOM_ATOM, 32, 2, targets).sequence);
	else if (r.target == targets[1])
		xcb_discard_reply(c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, r.requestor, property,
		                                                 XCB_ATOM_INTEGER, 32, 1, &helper.taken_at).sequence);
	else
		property = XCB_ATOM_NONE;
	xcb_selection_notify_event_t n = {};
	n.response_type = XCB_SELECTION_NOTIFY;
	n.time = r.time;
	n.requestor = r.requestor;
	n.selection = r.selection;
	n.target = r.target;
	n.property = property;
	xcb_discard_reply(c, xcb_send_event_checked(c, 0, r.requestor, 0, reinterpret_cast<const char *>(&n)).sequence);
}

// XFixes tells who takes the selection, and when its owner's connection
// closes: a newer copy has ended, and a replaced one takes the screen back.
void
owner_changed(const xcb_xfixes_selection_notify_event_t &n)
{
	if (helper.owner || helper.taken_at == 0)
		return;
	if (n.subtype == XCB_XFIXES_SELECTION_EVENT_SELECTION_CLIENT_CLOSE) {
		helper.owner = true;
		helper.published = -1;
		windows_replaced(false);
		xcb_set_selection_owner(xcb(), helper.window, helper.selection, XCB_CURRENT_TIME);
		return;
	}
	helper.newer_stale = true;
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
		helper.newer_stale = helper.newer_stale || (p->window == helper.newer && p->atom == helper.docked);
		windows_event(e);
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
		helper.published = -1;
		if (helper.owner)
			xcb_set_selection_owner(xcb(), helper.window, helper.selection, XCB_CURRENT_TIME);
		break;
	case XCB_SELECTION_CLEAR: {
		auto s = reinterpret_cast<const xcb_selection_clear_event_t *>(e);
		if (s->owner == helper.window && s->selection == helper.selection) {
			helper.owner = false;
			helper.newer_stale = true;
			windows_replaced(true);
		}
		break;
	}
	case XCB_SELECTION_REQUEST:
		answer(*reinterpret_cast<const xcb_selection_request_event_t *>(e));
		break;
	default:
		if (helper.xfixes_event && type == helper.xfixes_event &&
		    reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(e)->selection == helper.selection)
			owner_changed(*reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(e));
		else
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

// The one-copy rule, all of it.  The newest copy for a screen and settings
// file owns the selection and says on its helper whether it is docked.  A
// replaced copy ends when it is not docked (no dock, or a manager framed
// it), and when the newer one is; until then both run, and when the newer
// ends first (XFixes tells), the older takes the screen back.
bool
judge()
{
	xcb_connection_t *c = xcb();
	std::uint32_t docked = windows_docked();
	if (helper.owner) {
		if (helper.published != static_cast<int>(docked)) {
			helper.published = static_cast<int>(docked);
			xcb_change_property(c, XCB_PROP_MODE_REPLACE, helper.window, helper.docked, XCB_ATOM_CARDINAL, 32, 1,
			                    &docked);
		}
		return false;
	}
	bool asked = helper.newer_stale;
	if (helper.newer_stale) {
		helper.newer_stale = false;
		xcb_get_selection_owner_reply_t *o =
			xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, helper.selection), nullptr);
		Window owner = o ? o->owner : None;
		std::free(o);
		// Another client's window, which may go at any time.
		const std::uint32_t masks[2] = { 0, XCB_EVENT_MASK_PROPERTY_CHANGE };
		if (helper.newer != None && helper.newer != owner)
			xcb_discard_reply(c, xcb_change_window_attributes_checked(c, helper.newer, XCB_CW_EVENT_MASK,
			                                                          &masks[0]).sequence);
		helper.newer = owner;
		helper.newer_docked = false;
		if (owner != None) {
			xcb_discard_reply(c, xcb_change_window_attributes_checked(c, owner, XCB_CW_EVENT_MASK,
			                                                          &masks[1]).sequence);
			auto cookie = xcb_get_property(c, 0, owner, helper.docked, XCB_ATOM_CARDINAL, 0, 1);
			xcb_get_property_reply_t *p = xcb_get_property_reply(c, cookie, nullptr);
			helper.newer_docked = p && xcb_get_property_value_length(p) == 4 &&
			                      *static_cast<std::uint32_t *>(xcb_get_property_value(p)) == 1;
			std::free(p);
		}
	}
	if (!docked || helper.newer_docked)
		windows_end_replaced();
	return asked;
}

// What the events read so far have made stale is asked for once.
bool
settle()
{
	bool asked = windows_settle();
	return judge() || asked;
}

// This frame's one chance to read: what xcb holds, then, if the socket has
// spoken, what it has, for a few milliseconds at most; then settle.
void
take_events()
{
	io.frame_read = true;
	take_queued();
	if (io.server_spoke)
		read_socket(after_ns(frame_read_ns));
	settle();
}

} // namespace

void
connection_start()
{
	XSetEventQueueOwner(dock_state.display, XCBOwnsEventQueue);
}

// At start, a helper destroyed before its marker came is made again, and
// the marker sent again: the applet comes up through a destroy storm.
int
connection_take_selection(const char *name)
{
	xcb_connection_t *c = xcb();
	helper.selection = atom(name);
	helper.docked = atom("_QUARVEL_DOCKED");
	helper.targets = atom("TARGETS");
	helper.timestamp = atom("TIMESTAMP");
	const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
	if (xfixes && xfixes->present) {
		std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
		helper.xfixes_event = xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
		xcb_xfixes_select_selection_input(c, dock_state.root, helper.selection,
		                                  XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
		                                  XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
	}
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
	helper.published = -1;
	helper.taken_at = io.marker_time;
	xcb_set_selection_owner(c, helper.window, helper.selection, io.marker_time);
	return helper.xfixes_event;
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
dock_wake_on(int sig)
{
	sigset_t blocked;
	sigemptyset(&blocked);
	sigaddset(&blocked, sig);
	sigprocmask(SIG_BLOCK, &blocked, &io.waiting);
	sigdelset(&io.waiting, sig);
	io.wakes = true;
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
			if (settle())
				taken = ~0ul;
		}
		timespec left, *timeout = nullptr;
		if (long long deadline = windows_deadline()) {
			timespec now;
			clock_gettime(CLOCK_MONOTONIC, &now);
			long long ns_left = std::max(0LL, deadline - (now.tv_sec * 1000000000LL + now.tv_nsec));
			left = { static_cast<time_t>(ns_left / 1000000000LL), static_cast<long>(ns_left % 1000000000LL) };
			timeout = &left;
		}
		if (!io.server_spoke && io.count == 0 && !dock_seen())
			io.server_spoke = ppoll(&p, 1, timeout, io.wakes ? &io.waiting : nullptr) > 0;
		return;
	}
	// Waiting in poll rather than a plain sleep tells, for free, whether
	// anything came; the common quiet pause is then this one call.  What
	// comes is read at once; what the applet is handed waits for the next
	// frame, and the pause is served in full.  Covered under a compositor,
	// which may show it through what covers it, it waits half a second,
	// but no longer than that lasts.
	bool faint = dock_faint();
	timespec end = after_ns(faint ? faint_ns : ns);
	for (;;) {
		dock_flush();                    // a rebuild's requests, made while reading
		timespec now, left;
		clock_gettime(CLOCK_MONOTONIC, &now);
		long ns_left = (end.tv_sec - now.tv_sec) * 1000000000L + end.tv_nsec - now.tv_nsec;
		left = { std::max(ns_left, 0L) / 1000000000L, std::max(ns_left, 0L) % 1000000000L };
		int polled = ppoll(&p, 1, &left, io.wakes ? &io.waiting : nullptr);
		if (polled <= 0)
			return;
		if (polled > 0 && io.count == kept_limit)
			break;
		if (polled > 0)
			read_socket(end);
		if (past(end) || (faint && (io.count > 0 || !dock_faint())))
			return;
	}
	// The applet has all it keeps: the rest waits for the next frames.
	io.server_spoke = true;
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR)
		;
}
