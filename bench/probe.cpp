// SPDX-License-Identifier: GPL-2.0-or-later
// Whole-process figures for `make bench`, on private Xvfb servers:
//
//   probe run SECONDS [ROUNDS [OTHER_APPLET]]
//                         the applet and the baseline loop (or another
//                         build of the applet) side by side, each on its
//                         own Xvfb, over ROUNDS rounds (default 7): CPU per
//                         frame of each with its X server, the median and
//                         range of the per-round ratios, frames per second,
//                         peak resident memory
//   probe syscalls SECONDS [APPLET_ARGUMENTS...]
//                         system calls a frame of the applet and of the
//                         baseline loop, counted by strace, and the bytes
//                         the applet sends a frame; with arguments, such
//                         as --scale 2, the applet alone, started with them
//   probe start RUNS      time from exec to the first frame on the window
//   probe swallow RUNS    time from exec to a stable swallow in fluxbox's slit
//   probe soak SECONDS    resident memory and X resources of the applet
//                         over a long run
//   probe unseen SECONDS  CPU, wake-ups and bytes sent of the applet while
//                         nobody can see it, in five ways, SECONDS each
//   probe uncover RUNS    time from uncovering the applet to a frame of
//                         the animation read back from its window
//   probe desktop SECONDS RUNS
//                         under jwm and fvwm3 without a dock, the applet
//                         RUNS times on another desktop for SECONDS: its
//                         wake-ups there, and the time to a frame of the
//                         animation on its window once back
//   probe flood SECONDS   a flood of sent MotionNotify, then one of sent
//                         Expose events, each SECONDS long: the time from
//                         a double click to its command during and after
//                         it, and resident memory
//   probe reparent [SECONDS]
//                         another client reparenting the applet's main
//                         window to and fro for SECONDS (default 20): the
//                         applet's peak resident memory, and the time from
//                         a double click to its command during the storm
//                         and after it
//   probe compositor SECONDS ROUNDS [OLD_APPLET]
//                         under xcompmgr, then picom: the applet covered
//                         (frames and wake-ups, and a window dragged over
//                         it), uncovered, under windows that leave it seen,
//                         with the compositor stopped and started, and
//                         while seen (system calls and bytes a frame), each
//                         for SECONDS; the uncovering ROUNDS times; and the
//                         whole desktop's CPU and wake-ups with the applet
//                         covered beside OLD_APPLET, over ROUNDS rounds
//
// main() picks the mode; probe_common.h has what the modes share, and each
// probe_*.cpp the modes of one kind.
#include "probe_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A window read while it is still unmapped fails with BadMatch: keep polling.
int
ignore_x_error(Display *, XErrorEvent *)
{
	return 0;
}

int
main(int argc, char *argv[])
{
	XSetErrorHandler(ignore_x_error);
	if (const char *other = std::getenv("QUARVEL_APPLET"))
		applet_path = other;
	setvbuf(stdout, nullptr, _IOLBF, 0);     // progress shows as it comes
	std::string mode = argc > 1 ? argv[1] : "";
	double arg = argc > 2 ? std::atof(argv[2]) : 0;
	int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
	if (mode == "run" && arg > 0 && rounds > 0)
		run_side_by_side(arg, rounds, argc > 4 ? argv[4] : nullptr);
	else if (mode == "syscalls" && arg > 0)
		count_side_by_side(arg, std::vector<std::string>(argv + std::min(argc, 3), argv + argc));
	else if (mode == "start" && arg > 0)
		time_first_frame(static_cast<int>(arg));
	else if (mode == "swallow" && arg > 0)
		time_swallow(static_cast<int>(arg));
	else if (mode == "soak" && arg > 0)
		soak(arg);
	else if (mode == "unseen" && arg > 0)
		measure_unseen(arg);
	else if (mode == "uncover" && arg > 0)
		time_uncover(static_cast<int>(arg));
	else if (mode == "desktop" && arg > 0 && rounds > 0) {
		std::printf("on another desktop, under managers without a dock:\n");
		measure_desktop("jwm", arg, rounds);
		measure_desktop("fvwm3", arg, rounds);
	} else if (mode == "flood" && arg > 0) {
		measure_flood(MotionNotify, arg);
		measure_flood(Expose, arg);
	} else if (mode == "reparent" && (arg > 0 || argc == 2)) {
		measure_reparent(arg > 0 ? arg : 20);
	} else if (mode == "compositor" && arg > 0 && rounds > 0) {
		std::printf("under compositing managers:\n");
		measure_compositor("xcompmgr", arg, rounds, argc > 4 ? argv[4] : nullptr);
		measure_compositor("picom", arg, rounds, argc > 4 ? argv[4] : nullptr);
	} else
		die("usage: probe run SECONDS [ROUNDS [OTHER_APPLET]] | probe syscalls SECONDS [APPLET_ARGUMENTS...] | "
		    "probe start RUNS | probe swallow RUNS | probe soak SECONDS | probe unseen SECONDS | "
		    "probe uncover RUNS | probe flood SECONDS | probe reparent [SECONDS] | probe desktop SECONDS RUNS | "
		    "probe compositor SECONDS ROUNDS [OLD_APPLET]");
	return 0;
}
