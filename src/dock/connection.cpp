// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the connection.  xcb owns the event stream, as
// XSetEventQueueOwner(3) offers, and after set-up every request goes
// through xcb: one buffer, flushed before every wait, and one stream of
// events and errors.  dispatch() sees each once.  A frame reads for a few
// milliseconds at most, and the pause reads what comes as it comes, so a
// flood never outruns the applet, and what it keeps of one is bounded.
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

// The applet's own unmapped window, which no dock takes: it owns the
// selection and says there whether the applet is docked, and its
// property changes tell the server's time and end the dropping of presses.
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

// Xlib's message for a lost connection, "broken" only with EPIPE, which
// xcb does not leave in errno.
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
	xcb_atom_t a = intern_atom(name);
	if (a == XCB_ATOM_NONE)
		connection_lost();
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

// ICCCM asks an owner to answer every ConvertSelection: the targets and
// the time of a manager selection, a refusal for the rest.  The requestor
// may be gone by then.
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

// Another client may send any event: those say nothing of the server's
// state, and only a press, which a dock may forward, counts.
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
		io.dropping_presses = false;    // its PropertyNotify never comes
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
in_ns(long long ns)
{
	ns = std::max(ns, 0LL);
	return { static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL) };
}

// A flood from many clients may never leave the socket empty.
void
read_socket(long long until)
{
	xcb_connection_t *c = xcb();
	io.server_spoke = false;
	for (int taken = 1; io.count < kept_limit; taken++) {
		xcb_generic_event_t *e = xcb_poll_for_event(c);
		if (!e)
			break;
		dispatch(e);
		std::free(e);
		if (taken % 1024 == 0 && dock_now_ns() >= until) {
			io.server_spoke = true;          // more may wait
			break;
		}
	}
	if (xcb_connection_has_error(c))
		connection_lost();
	io.server_spoke = io.server_spoke || io.count == kept_limit;
}

// The one-copy rule, all of it: the owner says whether it is docked; a
// replaced copy ends when it is not docked, or when the newer one is, and
// takes the screen back when the newer ends first (owner_changed).
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

bool
settle()
{
	bool asked = windows_settle();
	return judge() || asked;
}

void
take_events()
{
	io.frame_read = true;
	take_queued();
	if (io.server_spoke)
		read_socket(dock_now_ns() + frame_read_ns);
	settle();
}

} // namespace

void
connection_start()
{
	XSetEventQueueOwner(dock_state.display, XCBOwnsEventQueue);
}

// A helper destroyed before its marker came is marked again when made again.
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

// The server sends events in order: the answer to a property change made
// now follows the last press made before it.
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
	io.drops++;                      // for whoever waits for presses to count again
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
	const sigset_t *waiting = io.wakes ? &io.waiting : nullptr;
	io.frame_read = false;
	view_state view = windows_view();
	if (view == view_unseen) {
		// Before sleeping until the server speaks, all is sent (a rebuild's
		// requests above all) and taken, until neither leaves anything.
		for (unsigned long taken = ~0ul; taken != io.taken;) {
			dock_flush();
			taken = io.taken;
			take_queued();
			if (settle())
				taken = ~0ul;
		}
		long long deadline = windows_deadline();
		timespec left = in_ns(deadline - dock_now_ns());
		if (!io.server_spoke && io.count == 0 && !dock_seen())
			io.server_spoke = ppoll(&p, 1, deadline ? &left : nullptr, waiting) > 0;
		return;
	}
	// poll rather than a sleep tells for free whether anything came, to be
	// read at once.  Covered under a compositor, half a second, or as long
	// as that lasts.
	bool faint = view == view_faint;
	long long end = dock_now_ns() + (faint ? faint_ns : ns);
	for (;;) {
		dock_flush();
		timespec left = in_ns(end - dock_now_ns());
		int polled = ppoll(&p, 1, &left, waiting);
		if (polled <= 0)
			return;
		if (io.count == kept_limit)
			break;
		read_socket(end);
		if (dock_now_ns() >= end || (faint && (io.count > 0 || windows_view() != view_faint)))
			return;
	}
	io.server_spoke = true;
	timespec until = in_ns(end);
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
		;
}
