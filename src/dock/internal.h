// SPDX-License-Identifier: GPL-2.0-or-later
// What the toolkit's two halves tell each other, and nobody else: the
// windows (windows.cpp) and the event stream (connection.cpp).
#pragma once

#include "dock.h"

#include <xcb/xcb.h>

// windows.cpp
//
// An X error that came in the event stream: outlived when it is about a
// window of the applet that is gone (windows_error_outlived), else Xlib's
// message and exit 1.
void windows_error(const xcb_generic_error_t &e);
bool windows_error_outlived(int error_code, XID resource);
// The server says window `w` was destroyed: a window of the pair is made
// again with its partner, the helper window alone, anything else is none
// of ours.
void windows_destroyed(Window w);
// The per-screen selection went to a newer copy of the applet: this copy
// ends now unless it is docked, and then once its dock lets it go (a
// window of the pair reparented or destroyed).
void windows_selection_lost();
void windows_moved();
// The applet's own unmapped window: the selection's owner, and the window
// whose property changes tell the server's time.
Window windows_helper();
xcb_atom_t windows_selection();

// connection.cpp
//
// Right after XOpenDisplay: the event stream is xcb's from here on.
void connection_start();
// The server's time now, from a change of the helper window's property;
// events that come meanwhile are taken as any frame takes them.
xcb_timestamp_t connection_server_time();
// A new pair of windows: unmapped, unseen, in no frame.
void connection_reset_views();
// A window of the applet is viewable: mapped, in mapped ancestors.
bool connection_viewable(Window w);
