// SPDX-License-Identifier: GPL-2.0-or-later
// The applet under a storm from another client, of sent events or of
// reparentings: double clicks through real input timed to their command,
// and its resident memory.
#include "probe_common.h"

#include <X11/extensions/XTest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/mman.h>
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

// Another client that reparents `w` to and fro between the root and a
// window of its own at the same place, as fast as the server takes it,
// until it is killed; `done` counts the reparentings the server carried
// out.  `w` is in its save-set, so its death puts `w` back on the root.
pid_t
start_reparenter(const std::string &display, Window w, long *done)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	leave_scratch();
	XSetIOErrorHandler([](Display *) -> int { _exit(1); });
	XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });     // the applet may go
	Display *d = XOpenDisplay(display.c_str());
	if (!d)
		_exit(1);
	Window root = DefaultRootWindow(d);
	XWindowAttributes wa;
	if (!XGetWindowAttributes(d, w, &wa))
		_exit(1);
	int x = wa.x, y = wa.y;         // of its border's corner, as XReparentWindow takes them
	Window holder = XCreateSimpleWindow(d, root, x, y, static_cast<unsigned>(wa.width + 2 * wa.border_width),
	                                    static_cast<unsigned>(wa.height + 2 * wa.border_width), 0, 0, 0);
	XMapWindow(d, holder);
	XAddToSaveSet(d, w);
	// Each reparenting unmaps and maps `w` within the one request, so
	// between requests, when input is taken, it is always under the pointer.
	for (long n = 1;; n++) {
		if (n % 2)
			XReparentWindow(d, w, holder, 0, 0);
		else
			XReparentWindow(d, w, root, x, y);
		if (n % 256 == 0) {
			XSync(d, False);
			std::atomic_ref<long>(*done).store(n, std::memory_order_relaxed);
		}
	}
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

// The pointer at the middle of the applet, where the clicks go.
void
point_at_middle(Display *dpy, Window w)
{
	int x = 0, y = 0;
	Window child;
	XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 32, 32, &x, &y, &child);
	XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
	XSync(dpy, False);
}

// Three double clicks before anything else: each must run command1 within
// `bound` seconds, or the figures after would mean nothing.
bool
answers_at_rest(clicker &c, double bound)
{
	std::vector<double> rest;
	for (int i = 0; i < 3; i++)
		if (double t = c.click(bound, [] {}); t >= 0)
			rest.push_back(1000 * t);
	if (rest.size() < 3) {
		if (!c.report_end("at rest"))
			std::printf("  at rest, %zu of 3 double clicks ran command1 within 3 s: NOT met\n", rest.size());
		return false;
	}
	std::printf("  at rest: double click to command, median of 3: %.1f ms\n", median(rest));
	return true;
}

// Double clicks every half second, or once the last is answered, until
// `end`, with `during` run every 50 ms meanwhile and once at the end: the
// milliseconds from each to its command, HUGE_VAL for one not answered
// within `lost_after` seconds (slower than any answered one).
std::vector<double>
clicks_until(clicker &c, double end, double lost_after, const std::function<void()> &during)
{
	std::vector<double> times;
	while (now_s() < end - 0.1 && c.alive()) {
		double t0 = now_s(), t = c.click(lost_after, during);
		times.push_back(t >= 0 ? 1000 * t : HUGE_VAL);
		while (now_s() < t0 + 0.5 && c.alive()) {
			during();
			sleep_s(0.05);
		}
	}
	while (now_s() < end && c.alive()) {
		sleep_s(std::min(0.05, end - now_s()));
		during();
	}
	during();
	return times;
}

// One double click once the storm is over, waited for `bound` seconds.
// Clicks of the storm that are still unanswered come first: a press made
// while their commands run counts for nothing, as it would for a person.
void
click_after(clicker &c, const char *label, double bound, const std::function<void()> &meanwhile)
{
	long behind = c.clicks - lines_in(c.log);
	std::string note = behind > 0 ? ", made while " + std::to_string(behind) + " of the storm's were unanswered" : "";
	double t = c.click(bound, meanwhile);
	if (t >= 0)
		std::printf("  %s: double click to command %.3f s%s (target <= 1 s): %s\n", label, t, note.c_str(),
		            verdict(t <= 1.0));
	else if (!c.ended)
		std::printf("  %s: double click not answered within %.0f s%s (target <= 1 s): NOT met\n", label, bound,
		            note.c_str());
}

std::string
ms_text(double v)
{
	return std::isinf(v) ? std::string("lost") : std::to_string(std::lround(v)) + " ms";
}

// Peak resident memory from now on: VmHWM starts again from VmRSS.
void
reset_peak(pid_t pid)
{
	std::ofstream(std::string("/proc/") + std::to_string(pid) + "/clear_refs") << "5";
}

// An applet whose command1 logs, on its own server, past its set-up (whose
// round trips would wait behind a flood) and with the pointer over it.
struct clicking_run {
	std::string home = temp_dir(), log = home + "/log";
	loop_run r = (write_click_settings(home), start_loop(applet_path, home));
	Display *dpy = r.x.dpy;
	pid_t applet = r.proc.pid;
	Window w = wait_for_applet(dpy);
	std::vector<std::vector<unsigned long>> frames = cycle_frames();
	frame_counter drawn{ dpy, w, frames };
	clicker c{ dpy, log, r.proc };

	clicking_run()
	{
		if (!drawn.next() || !drawn.next())
			die("the applet draws no frames");
		point_at_middle(dpy, w);
	}
	~clicking_run()
	{
		stop_loop(r);
		remove_tree(home);
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
	clicking_run k;
	auto &[home, log, r, dpy, applet, w, frames, drawn, c] = k;
	std::printf("%s flood, %.0f s, sent by another client to the main window:\n",
	            type == MotionNotify ? "MotionNotify" : "Expose", seconds);
	if (!answers_at_rest(c, lost_after))
		return;

	long rss_start = status_field(applet, "VmRSS:");
	reset_peak(applet);
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
	std::vector<double> times = clicks_until(c, end, lost_after, during);
	long lost = std::count_if(times.begin(), times.end(), [](double v) { return std::isinf(v); });
	stop_flooder(flooder);
	long peak = status_field(applet, "VmHWM:");
	double m = times.empty() ? HUGE_VAL : median(times);
	auto [lo, hi] = std::minmax_element(times.begin(), times.end());
	if (c.report_end("during the flood"))
		return;
	std::printf("  during: %zu double clicks, to command median %s (%s..%s), %ld unanswered within %.0f s "
	            "(target median <= 50 ms, none lost): %s\n", times.size(), ms_text(m).c_str(),
	            times.empty() ? "-" : ms_text(*lo).c_str(), times.empty() ? "-" : ms_text(*hi).c_str(), lost,
	            lost_after,
	            verdict(m <= 50 && lost == 0));
	std::printf("  during: %.1f frames/s; resident memory from %ld KiB to a peak of %ld KiB (target <= 16384 "
	            "KiB): %s\n", fps, rss_start, peak, verdict(peak > 0 && peak <= 16384));

	long rss_after = -1;
	auto after = [&] {
		if (rss_after < 0 && now_s() >= end + 10)
			rss_after = status_field(applet, "VmRSS:");
	};
	click_after(c, "after", after_bound, after);
	while (rss_after < 0 && c.alive()) {
		after();
		sleep_s(0.05);
	}
	if (!c.report_end("after the flood"))
		std::printf("  10 s after: resident memory %ld KiB, %+ld KiB from the start (target within 1024 KiB): %s\n",
		            rss_after, rss_after - rss_start, verdict(std::labs(rss_after - rss_start) <= 1024));
}

// Another client reparenting the applet's main window to and fro for
// `seconds`: the applet's peak resident memory meanwhile, and double clicks
// during the storm and after it, each timed to its command.
void
measure_reparent(double seconds)
{
	constexpr double lost_after = 3.0, after_bound = 40.0;
	constexpr long rss_bound = 2L << 20;       // KiB: the storm ends there, to spare the machine
	clicking_run k;
	auto &[home, log, r, dpy, applet, w, frames, drawn, c] = k;
	std::printf("reparent storm, %.0f s: another client moves the main window between the root and a window "
	            "of its own, as fast as the server takes it:\n", seconds);
	if (!answers_at_rest(c, lost_after))
		return;

	void *shared = mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (shared == MAP_FAILED)
		die("cannot map a page to share with the storm");
	long *done = static_cast<long *>(shared), reparented = 0;
	long rss_start = status_field(applet, "VmRSS:");
	reset_peak(applet);
	double start = now_s(), end = start + seconds, lasted = 0;
	pid_t storm = start_reparenter(r.x.name, w, done);
	drawn.sample();
	long frames_before = drawn.count;
	double fps = 0;
	auto during = [&] {
		drawn.sample();
		bool swollen = status_field(applet, "VmRSS:") > rss_bound;
		if (storm > 0 && (now_s() >= end || swollen)) {
			reparented = std::atomic_ref<long>(*done).load(std::memory_order_relaxed);
			stop_flooder(storm);
			lasted = now_s() - start;
			fps = static_cast<double>(drawn.count - frames_before) / lasted;
		}
	};
	std::vector<double> times = clicks_until(c, end, lost_after, during);
	stop_flooder(storm);
	munmap(shared, sizeof(long));
	long peak = status_field(applet, "VmHWM:");
	if (c.report_end("during the storm"))
		return;
	if (lasted < seconds - 0.5)
		std::printf("  the storm was ended after %.1f s, the applet's resident memory past %ld KiB\n", lasted,
		            rss_bound);
	std::printf("  during the storm: %ld reparentings (%.0f a second), %.1f frames/s\n", reparented,
	            static_cast<double>(reparented) / lasted, fps);
	std::printf("  during the storm: resident memory from %ld KiB to a peak of %ld KiB (target <= 16384 KiB): %s\n",
	            rss_start, peak, verdict(peak > 0 && peak <= 16384));
	auto [lo, hi] = std::minmax_element(times.begin(), times.end());
	if (times.empty())
		std::printf("  during the storm: no double click was made: NOT met\n");
	else
		std::printf("  during the storm: %zu double clicks, to command median %s (%s..%s; one not answered within "
		            "%.0f s counts as lost) (target: each within 1 s): %s\n", times.size(), ms_text(median(times)).c_str(),
		            ms_text(*lo).c_str(), ms_text(*hi).c_str(), lost_after, verdict(*hi <= 1000));
	click_after(c, "after the storm", after_bound, [] {});
	c.report_end("after the storm");
}
