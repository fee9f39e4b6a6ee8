// SPDX-License-Identifier: GPL-2.0-or-later
// What the toolkit's files tell each other, and nobody else.  open.cpp sets
// up and calls the other two; connection.cpp calls windows.cpp; windows.cpp
// calls neither.  After set-up every request goes through xcb, so there is
// one buffer and one stream of events and errors.
#pragma once

#include "dock.h"

#include <X11/Xlib-xcb.h>

#include <cstdlib>
#include <cstring>

inline xcb_connection_t *
xcb()
{
	return XGetXCBConnection(dock_state.display);
}

// A round trip; None when the connection has failed.
inline xcb_atom_t
intern_atom(const char *name)
{
	auto cookie = xcb_intern_atom(xcb(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
	xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(xcb(), cookie, nullptr);
	xcb_atom_t atom = r ? r->atom : xcb_atom_t{ XCB_ATOM_NONE };
	std::free(r);
	return atom;
}

// windows.cpp
//
// Right after the display is opened: the error rule for Xlib's own
// requests of set-up, and the screen saver's events.
void windows_start();
// The pair of windows with everything a window manager reads, mapped.
void windows_create(int argc, char **argv);
// What an event or an error of the stream means for the windows; the
// connection keeps presses and crossings and handles its helper window.
void windows_event(const xcb_generic_event_t *e);
// After a batch of events: walks the ancestors a reparenting has made
// stale, and asks again whether the applet is docked; true when it asked
// the server.
bool windows_settle();
// CLOCK_MONOTONIC ns by which windows_settle has something to do of its
// own accord; 0: none.
long long windows_deadline();
// What dock_seen and dock_faint say, from one look: covered under a
// compositor is faint.
enum view_state { view_unseen, view_faint, view_seen };
view_state windows_view();
// Whether a dock holds the applet: its icon window taken out of the main
// window, or its main window in a window no manager framed it in.
bool windows_docked();
// Whether a newer copy of the applet holds the selection: a replaced
// copy ends rather than make its windows again.
void windows_replaced(bool replaced);
[[noreturn]] void windows_end_replaced();

// cover.cpp
//
// A rectangle in root coordinates.
struct cover_rect {
	int x, y, width, height;
};
// After the XFixes version is known (0: no XFixes): follows the owner of
// "_NET_WM_CM_S<screen>".
void cover_start(int xfixes_event);
// What an event tells of the root's children, or of the compositor.
void cover_event(const xcb_generic_event_t *e);
// Makes the table when a compositor came, and asks about new top-levels;
// true when it asked the server.
bool cover_settle();
// Whether a compositor runs, and so whether cover_covered knows anything.
bool cover_running();
// Whether `visible` is hidden for certain by the windows above `toplevel`.
bool cover_covered(const cover_rect &visible, Window toplevel);

// connection.cpp
//
// Right after XOpenDisplay: xcb owns the event stream from here on.
void connection_start();
// Makes the helper window and takes the selection `name`, for the
// server's time of a change of the helper's property, and follows the
// copies that take it later.  Gives XFixesSelectionNotify's type, or 0
// without XFixes.
int connection_take_selection(const char *name);
