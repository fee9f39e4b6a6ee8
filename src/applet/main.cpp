// SPDX-License-Identifier: GPL-2.0-or-later
// quarvel: a moving, shaded tunnel in a 64x64 dock window.
//
// main() loads the settings, opens the dock window, turns the palette into X
// pixels for the screen's depth and builds the renderer's tables; then the
// frame loop runs forever: drain events, render one frame of palette indices,
// upload it into the frame pixmap's well, copy the pixmap to both windows,
// sleep 10 ms.  While nobody can see the applet, a frame only takes its
// events and the sleep lasts until the next one comes.  The renderer
// (applet.h) knows nothing of X; frame.cpp holds the X side of a frame.
#include "frame.h"
#include "dock.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr long frame_sleep_ns = 10000000;     // 10 ms between frames

constexpr const char *usage_text =
	"usage: quarvel [-display NAME]\n"
	"Shows a moving tunnel in the dock or slit of a window manager; pressing\n"
	"mouse button 1, 2 or 3 twice on it runs that button's command.\n"
	"  -display NAME   the X display to use (default: $DISPLAY)\n"
	"  -h, --help      print this help and exit\n"
	"  -v, --version   print the version and exit\n"
	"Settings: ~/.fesk/quarvelrc (the commands command1 to command3 and the\n"
	"look), written with the defaults on the first start.  See man quarvel.\n";
constexpr const char *version_text = "quarvel " QUARVEL_VERSION "\n";

// What -h/-help/--help or -v/-version/--version ask to be printed, else
// null; the first of them counts.  An argument right after "-display" is a
// display name, whatever it looks like, as the dock toolkit reads it.
const char *
information_asked(int argc, char *argv[])
{
	for (int i = 1; i < argc; i++) {
		if (std::strcmp(argv[i - 1], "-display") == 0)
			continue;
		for (const char *help : { "-h", "-help", "--help" })
			if (std::strcmp(argv[i], help) == 0)
				return usage_text;
		for (const char *version : { "-v", "-version", "--version" })
			if (std::strcmp(argv[i], version) == 0)
				return version_text;
	}
	return nullptr;
}

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
	// Asking for help or the version starts no applet and writes nothing.
	if (const char *text = information_asked(argc, argv)) {
		std::fputs(text, stdout);
		return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
	}
	// Before the display: the settings file is made even without one.
	settings_load();
	dock_open_window(argc, argv, frame_xpm, frame_mask_bits, frame_side, frame_side);
	applet_setup();
	for (;;) {
		applet_frame();
		applet_pause(frame_sleep_ns);
	}
}
