// SPDX-License-Identifier: GPL-2.0-or-later
// The support library as the tests against a real X server use it: a
// failure to start a server or to allocate a colour fails the test, and a
// child's sanitizer report found when it is ended does too.
#pragma once

#include "support_x.h"

#include <functional>
#include <sys/stat.h>

// A private Xvfb for the test; X errors about other clients' windows,
// which come and go while the test looks at them, are tolerated.
xvfb_server start_xvfb(int depth, int width = 320, int height = 240, int visual_class = -1);
void stop_xvfb(xvfb_server &x);
// Ends the child if it still runs and checks its standard error.
void stop_child(child_process &c);

// The pixel the server gives an RGB colour (16-bit channels) in the
// default colormap.
unsigned long alloc_pixel(Display *dpy, unsigned short r, unsigned short g, unsigned short b);

// A client that runs `act` on its own connection to `display` until it is
// ended, and dies with us; end_client ends it.
pid_t fork_client(const std::string &display, const std::function<void(Display *)> &act);
void end_client(pid_t pid);
// xcompmgr started on `x`, or stopped, once its selection says so.
void compositing(const xvfb_server &x, child_process &compositor, bool on);

// Writes HOME/.fesk/quarvelrc with the given mode.
void write_settings_file(const std::string &home, const std::string &text, mode_t mode = 0644);
