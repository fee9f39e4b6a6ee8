// SPDX-License-Identifier: GPL-2.0-or-later
// The applet under a flood from another client: double clicks through
// real input timed to their command, and its resident memory.
#include "probe_common.h"

#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The settings file with command1 appending a line to HOME/log, of mode
// 0600 so that the commands may run.
void
write_click_settings(const std::string &home)
{
	std::string dir = home + "/.fesk", rc = dir + "/quarvelrc";
	mkdir(dir.c_str(), 0700);
	std::ofstream(rc) << settings_text({ { "command1", "echo 1 >> " + home + "/log" } });
	chmod(rc.c_str(), 0600);
}

long
lines_in(const std::string &path)
{
	std::string text = read_file(path);
	return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

// Another client sending `type` events to `w` with XSendEvent as fast as it
// can, until it is killed.
pid_t
start_flooder(const std::string &display, Window w, int type)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	// The scratch directories are the probe's: no clean-up of them here,
	// by a signal or by exit().
	leave_scratch();
	XSetIOErrorHandler([](Display *) -> int { _exit(1); });
	Display *d = XOpenDisplay(display.c_str());
	if (!d)
		_exit(1);
	XEvent ev{};
	long mask = ExposureMask;
	if (type == MotionNotify) {
		ev.xmotion = { MotionNotify, 0, True, d, w, DefaultRootWindow(d), None, CurrentTime, 30, 30, 30, 30,
		               0, NotifyNormal, True };
		mask = PointerMotionMask;
	} else {
		ev.xexpose = { Expose, 0, True, d, w, 0, 0, 64, 64, 0 };
	}
	for (;;)
		XSendEvent(d, w, False, mask, &ev);
}

void
stop_flooder(pid_t &pid)
{
	if (pid > 0) {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
	pid = -1;
}

// Double clicks of button 1 through XTest (real input) at the applet, each
// timed from the presses sent to its command's line in the log.  Lines
// come in the order of the clicks, so click n is answered by line n.
struct clicker {
	Display *dpy;
	std::string log;
	child_process &applet;
	long clicks = 0;
	bool ended = false;       // the applet is gone
	int status = 0;           // and how it ended

	bool alive()
	{
		if (!ended && (status = wait_exit(applet, 0.0)) != -1)
			ended = true;
		return !ended;
	}
	// Says how the applet ended, if it did.
	bool report_end(const char *when)
	{
		if (!ended)
			return false;
		std::string said = read_file(applet.stderr_path);
		std::printf("  the applet ended %s, by %s %d%s%s: NOT met\n", when,
		            WIFSIGNALED(status) ? "signal" : "exit status",
		            WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status), said.empty() ? "" : ", saying: ",
		            said.substr(0, said.find('\n')).c_str());
		return true;
	}
	// Seconds to the command, or -1 if it did not run within `bound`;
	// `meanwhile` runs every 50 ms while it waits.
	double click(double bound, const std::function<void()> &meanwhile)
	{
		long want = ++clicks;
		double t0 = now_s(), last = t0;
		for (int i = 0; i < 2; i++) {
			XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
			XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
		}
		XFlush(dpy);
		while (now_s() - t0 < bound && alive()) {
			if (lines_in(log) >= want) {
				double t = now_s() - t0;
				// Presses made before the applet takes presses again count
				// for nothing: the next click waits for that (a build that
				// does not say so is taken to at once).
				for (long done; (done = applet_commands_done(dpy)) >= 0 && done < want &&
				                now_s() - t0 < bound && alive();)
					sleep_s(0.001);
				return t;
			}
			if (now_s() - last >= 0.05) {
				meanwhile();
				last = now_s();
			}
			sleep_s(0.001);
		}
		return -1;
	}
};

} // namespace

// A flood of sent `type` events for `seconds`, from another client to the
// applet's main window: double clicks during it every half second, one
// after it, and the applet's resident memory.
void
measure_flood(int type, double seconds)
{
	constexpr double lost_after = 3.0, after_bound = 40.0;
	std::string home = temp_dir(), log = home + "/log";
	write_click_settings(home);
	loop_run r = start_loop(applet_path, home);
	Display *dpy = r.x.dpy;
	pid_t applet = r.proc.pid;
	Window w = wait_for_applet(dpy);
	auto frames = cycle_frames();
	frame_counter drawn(dpy, w, frames);
	// Past the set-up, whose round trips would wait behind a flood.
	if (!drawn.next() || !drawn.next())
		die("the applet draws no frames");
	int x = 0, y = 0;
	Window child;
	XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 32, 32, &x, &y, &child);
	XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
	XSync(dpy, False);

	std::printf("%s flood, %.0f s, sent by another client to the main window:\n",
	            type == MotionNotify ? "MotionNotify" : "Expose", seconds);
	clicker c{ dpy, log, r.proc };
	std::vector<double> rest;
	for (int i = 0; i < 3; i++)
		if (double t = c.click(lost_after, [] {}); t >= 0)
			rest.push_back(1000 * t);
	if (rest.size() < 3) {
		if (!c.report_end("at rest"))
			std::printf("  at rest, %zu of 3 double clicks ran command1 within 3 s: NOT met\n", rest.size());
		stop_loop(r);
		remove_tree(home);
		return;
	}
	std::printf("  at rest: double click to command, median of 3: %.1f ms\n", median(rest));

	long rss_start = status_field(applet, "VmRSS:");
	std::ofstream(std::string("/proc/") + std::to_string(applet) + "/clear_refs") << "5";  // peak := now
	double start = now_s(), end = start + seconds;
	pid_t flooder = start_flooder(r.x.name, w, type);
	drawn.sample();
	long frames_before = drawn.count;
	double fps = 0;
	auto during = [&] {
		drawn.sample();
		if (flooder > 0 && now_s() >= end) {
			stop_flooder(flooder);
			fps = static_cast<double>(drawn.count - frames_before) / (now_s() - start);
		}
	};
	std::vector<double> times;
	int lost = 0;
	while (now_s() < end - 0.1 && c.alive()) {
		double t0 = now_s(), t = c.click(lost_after, during);
		times.push_back(t >= 0 ? 1000 * t : HUGE_VAL);
		lost += t < 0;
		while (now_s() < t0 + 0.5 && c.alive()) {
			during();
			sleep_s(0.05);
		}
	}
	while (flooder > 0 && c.alive()) {
		sleep_s(std::min(0.05, end - now_s()));
		during();
	}
	stop_flooder(flooder);
	long peak = status_field(applet, "VmHWM:");
	// An unanswered click counts as slower than any answered one.
	auto ms = [](double v) { return std::isinf(v) ? std::string("lost") : std::to_string(std::lround(v)) + " ms"; };
	double m = times.empty() ? HUGE_VAL : median(times);
	auto [lo, hi] = std::minmax_element(times.begin(), times.end());
	if (c.report_end("during the flood")) {
		stop_loop(r);
		remove_tree(home);
		return;
	}
	std::printf("  during: %zu double clicks, to command median %s (%s..%s), %d unanswered within %.0f s "
	            "(target median <= 50 ms, none lost): %s\n", times.size(), ms(m).c_str(),
	            times.empty() ? "-" : ms(*lo).c_str(), times.empty() ? "-" : ms(*hi).c_str(), lost, lost_after,
	            verdict(m <= 50 && lost == 0));
	std::printf("  during: %.1f frames/s; resident memory from %ld KiB to a peak of %ld KiB (target <= 16384 "
	            "KiB): %s\n", fps, rss_start, peak, verdict(peak > 0 && peak <= 16384));

	long rss_after = -1;
	auto after = [&] {
		if (rss_after < 0 && now_s() >= end + 10)
			rss_after = status_field(applet, "VmRSS:");
	};
	double t = c.click(after_bound, after);
	if (t >= 0)
		std::printf("  after: double click to command %.3f s (target <= 1 s): %s\n", t, verdict(t <= 1.0));
	else if (!c.ended)
		std::printf("  after: double click not answered within %.0f s (target <= 1 s): NOT met\n", after_bound);
	while (rss_after < 0 && c.alive()) {
		after();
		sleep_s(0.05);
	}
	if (!c.report_end("after the flood"))
		std::printf("  10 s after: resident memory %ld KiB, %+ld KiB from the start (target within 1024 KiB): %s\n",
		            rss_after, rss_after - rss_start, verdict(std::labs(rss_after - rss_start) <= 1024));
	stop_loop(r);
	remove_tree(home);
}
