// SPDX-License-Identifier: GPL-2.0-or-later
// quarvel: a moving, shaded tunnel in a 64x64 dock window.
//
// main() loads the settings, opens the dock window, turns the palette into X
// pixels for the screen's depth and builds the renderer's tables; then the
// frame loop runs forever: drain events, render one frame of palette indices,
// upload it into the frame pixmap's well, copy the pixmap to both windows,
// sleep 10 ms.  While nobody can see the applet, a frame only takes its
// events and the sleep lasts until the next one comes.  The renderer (applet.h) knows nothing of X; frame.cpp holds
// the X side of a frame.
#include "frame.h"
#include "dock.h"

#include <csignal>
#include <cstdio>

namespace {

constexpr long frame_sleep_ns = 10000000;     // 10 ms between frames

// A write into a dead X connection or a closed output must fail with EPIPE
// (Xlib then ends us with status 1), and one past a file-size limit with
// EFBIG, rather than kill us.  A handler rather than SIG_IGN: exec resets
// it, so the click commands start with the default.
void
ignore_signal(int)
{
}

} // namespace

int
main(int argc, char *argv[])
{
	struct sigaction quiet = {};
	quiet.sa_handler = ignore_signal;
	sigaction(SIGPIPE, &quiet, nullptr);
	sigaction(SIGXFSZ, &quiet, nullptr);
	// The applet usually ends by a signal: every diagnostic line must have
	// left the buffer by then, even into a pipe or a file.
	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	// Before the display: the settings file is made even without one.
	settings_load();
	dock_open_window(argc, argv, frame_xpm, frame_mask_bits, frame_side, frame_side);
	applet_setup();
	for (;;) {
		applet_frame();
		applet_pause(frame_sleep_ns);
	}
}
