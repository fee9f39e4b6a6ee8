// SPDX-License-Identifier: GPL-2.0-or-later
// The applet under a compositing manager, xcompmgr and picom, each started
// on the probe's own Xvfb.  While one owns _NET_WM_CM_S<screen> the server
// calls every window unobscured, whatever covers it, so the applet has to
// work out for itself whether it is covered.  Frames are counted by the
// bytes the applet writes, a frame's worth each: the count holds whether
// or not its window can be read back (without a compositor a covered
// window reads as what covers it).
#include "probe_common.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

constexpr double settle_s = 0.5;       // for the applet to take in a change
constexpr double drag_rate = 75;       // moves a second, as a person drags

// How each is started: both run on Xvfb, which has no GL.
std::vector<std::string>
compositor_argv(const std::string &name)
{
	if (name == "picom")
		return { "picom", "--backend", "xrender", "--config", "/dev/null" };
	return { name };
}

bool
compositing(Display *dpy)
{
	std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(dpy));
	return XGetSelectionOwner(dpy, XInternAtom(dpy, selection.c_str(), False)) != None;
}

// The compositor on `x`, once it owns the selection; pid -1 if it did not
// within 10 s.
child_process
start_compositor(const std::string &name, const xvfb_server &x, const std::string &home)
{
	child_process cm = spawn("/usr/bin/" + name, compositor_argv(name), { "DISPLAY=" + x.name, "HOME=" + home });
	if (!poll_until([&] { return compositing(x.dpy); }, 10.0))
		end_child(cm);
	return cm;
}

void
stop_compositor(child_process &cm, Display *dpy)
{
	if (cm.pid > 0) {
		kill(cm.pid, SIGTERM);
		wait_exit(cm, 3.0);
	}
	end_child(cm);
	poll_until([&] { return !compositing(dpy); }, 5.0);
}

// A figure summed over the threads of a process, which for a server or a
// compositor may be more than one.
double
over_threads(pid_t pid, const std::function<double(const std::string &)> &figure)
{
	double total = 0;
	std::string dir = "/proc/" + std::to_string(pid) + "/task";
	if (DIR *tasks = opendir(dir.c_str())) {
		while (dirent *e = readdir(tasks))
			if (e->d_name[0] != '.')
				total += figure(std::string("task/") + e->d_name);
		closedir(tasks);
	}
	return total;
}

// CPU seconds and wake-ups of the whole desktop: applet, server, compositor.
struct desktop_sample {
	double cpu, wakes;
};

desktop_sample
sample_desktop(std::initializer_list<pid_t> pids)
{
	desktop_sample s = { 0, 0 };
	for (pid_t pid : pids) {
		s.cpu += over_threads(pid, [&](const std::string &task) {
			std::ifstream f("/proc/" + std::to_string(pid) + "/" + task + "/schedstat");
			double ns = 0;
			f >> ns;
			return ns * 1e-9;
		});
		s.wakes += over_threads(pid, [&](const std::string &task) {
			std::string status = task + "/status";
			return static_cast<double>(proc_field(pid, status.c_str(), "voluntary_ctxt_switches:") +
			                           proc_field(pid, status.c_str(), "nonvoluntary_ctxt_switches:"));
		});
	}
	return s;
}

// An applet on its own Xvfb under a compositor: the outer box of its main
// window on the root, its well's corner there, and a frame's bytes.
struct composited {
	std::string name;
	loop_run r;
	child_process cm;
	std::string home;
	Window w = None;
	int x = 0, y = 0, side = 0, well_x = 0, well_y = 0;
	long frame_bytes = 0;
};

// The compositor first, then the applet; false, having said why, when the
// compositor is missing or does not take the selection.
bool
start_composited(composited &c, const std::string &name, const char *applet)
{
	c.name = name;
	if (access(("/usr/bin/" + name).c_str(), X_OK) != 0) {
		std::printf("  %s: not installed: NOT measured\n", name.c_str());
		return false;
	}
	c.home = temp_dir();
	c.r.x = start_server();
	Display *dpy = c.r.x.dpy;
	c.cm = start_compositor(name, c.r.x, c.home);
	if (c.cm.pid < 0) {
		std::printf("  %s: did not take _NET_WM_CM_S0 within 10 s: NOT measured\n", name.c_str());
		xvfb_stop(c.r.x);
		remove_tree(c.home);
		return false;
	}
	c.r.proc = start_client(applet, c.r.x, c.home);
	c.w = wait_for_applet(dpy);
	XWindowAttributes wa;
	Window child;
	if (!poll_until([&] { return XGetWindowAttributes(dpy, c.w, &wa) && wa.map_state == IsViewable; }, 5.0))
		die("the applet's window was not shown");
	c.x = wa.x;
	c.y = wa.y;
	c.side = wa.width + 2 * wa.border_width;
	XTranslateCoordinates(dpy, c.w, DefaultRootWindow(dpy), well_origin, well_origin, &c.well_x, &c.well_y, &child);
	return true;
}

void
stop_composited(composited &c)
{
	end_child(c.r.proc);
	end_child(c.cm);
	xvfb_stop(c.r.x);
	remove_tree(c.home);
}

// A window over the applet's whole box and a margin, mapped on top.
Window
cover_all(const composited &c)
{
	return map_cover(c.r.x.dpy, c.x, c.y, c.side + 10, c.side + 10);
}

void
destroy(Display *dpy, Window w)
{
	XDestroyWindow(dpy, w);
	XSync(dpy, False);
}

// What the applet did over `seconds`: frames, wake-ups and CPU a second.
// A wake-up ends a sleep of its own (a voluntary context switch); the
// compositor's work on the other core may also preempt it while it runs,
// which is counted apart.
struct activity {
	double frames, wakes, cpu_ms, preempted;
};

long
voluntary(pid_t pid)
{
	return proc_field(pid, "status", "voluntary_ctxt_switches:");
}

activity
measure_activity(const composited &c, double seconds)
{
	pid_t pid = c.r.proc.pid;
	long b0 = proc_field(pid, "io", "wchar:"), w0 = wake_ups(pid), v0 = voluntary(pid);
	double c0 = cpu_s(pid), t0 = now_s();
	sleep_s(seconds);
	double t = now_s() - t0;
	double bytes = static_cast<double>(proc_field(pid, "io", "wchar:") - b0);
	double woke = static_cast<double>(voluntary(pid) - v0) / t;
	return { bytes / static_cast<double>(c.frame_bytes) / t, woke, 1000 * (cpu_s(pid) - c0) / t,
	         static_cast<double>(wake_ups(pid) - w0) / t - woke };
}

// While seen: a frame's bytes, which the other counts go by, then system
// calls and bytes a frame against the targets without a compositor.
bool
report_seen(composited &c, double seconds, double &seen_fps)
{
	auto frames = cycle_frames();
	frame_counter drawn(c.r.x.dpy, c.w, frames);
	pid_t pid = c.r.proc.pid;
	const char *name = c.name.c_str();
	auto [bytes, n] = count_bytes(pid, drawn, 1.0);
	if (n <= 0) {
		std::printf("  %s: no frame of the applet's was read back: NOT measured\n", name);
		return false;
	}
	c.frame_bytes = bytes / n;
	seen_fps = measure_activity(c, seconds).frames;
	std::printf("  %s, seen: %.1f frames/s\n", name, seen_fps);
	syscall_count calls = count_syscalls(pid, seconds, &drawn);
	double rate = static_cast<double>(calls.total) / static_cast<double>(calls.frames);
	std::printf("  %s, seen: %.2f system calls a frame over %ld frames (%s) (target <= 3.1): %s\n", name, rate,
	            calls.frames, calls_text(calls).c_str(), verdict(rate <= 3.1));
	std::tie(bytes, n) = count_bytes(pid, drawn, seconds);
	std::printf("  %s, seen: %.1f bytes a frame over %ld frames (target 11744, as without a compositor): %s\n",
	            name, static_cast<double>(bytes) / static_cast<double>(n), n, verdict(bytes == 11744 * n));
	return true;
}

// Covered by an opaque window: frames a second, and wake-ups in 2 s, over
// `seconds`.  Either bound allows for one more at the ends of the span.
void
report_covered(const composited &c, double seconds)
{
	Window cover = cover_all(c);
	sleep_s(settle_s);
	activity a = measure_activity(c, seconds);
	std::printf("  %s, covered by an opaque window: %.1f frames/s (target <= 2): %s; %.1f wake-ups in 2 s "
	            "(target <= 6): %s, and %.1f preemptions; CPU %.2f ms/s\n", c.name.c_str(), a.frames,
	            verdict(a.frames <= 2 + 1 / seconds), 2 * a.wakes, verdict(2 * a.wakes <= 6 + 2 / seconds),
	            2 * a.preempted, a.cpu_ms);
	destroy(c.r.x.dpy, cover);
}

// Covered, while another window is dragged to and fro across the applet
// above its cover: each move is a batch of events for whoever follows
// the windows on the root.
void
report_drag(const composited &c, double seconds)
{
	Display *dpy = c.r.x.dpy;
	Window cover = cover_all(c);
	Window dragged = map_cover(dpy, -30, c.y + c.side / 2 - 15, 30, 30);
	sleep_s(settle_s);
	pid_t pid = c.r.proc.pid;
	int span = (c.x + c.side + 40) / 2;      // moves of 2 pixels from one side to the other
	long moves = 0;
	double c0 = cpu_s(pid), t0 = now_s();
	long w0 = voluntary(pid), p0 = wake_ups(pid);
	for (; now_s() - t0 < seconds; moves++) {
		sleep_s(t0 + static_cast<double>(moves) / drag_rate - now_s());
		long k = moves % (2 * span);
		XMoveWindow(dpy, dragged, -30 + 2 * static_cast<int>(k < span ? k : 2 * span - k), c.y + c.side / 2 - 15);
		XFlush(dpy);
	}
	double t = now_s() - t0, n = static_cast<double>(moves);
	double us = 1e6 * (cpu_s(pid) - c0) / n, wakes = static_cast<double>(voluntary(pid) - w0);
	double preempted = static_cast<double>(wake_ups(pid) - p0) - wakes;
	// Beside the batches, the covered applet's own 2 frames a second.
	bool one_each = wakes <= n + 2 * t + 1;
	std::printf("  %s, covered, a window dragged across it: %.0f moves a second; applet CPU %.1f us a move "
	            "(target <= 50 us): %s; %.2f wake-ups a move (target one a move): %s, and %.2f preemptions\n",
	            c.name.c_str(), n / t, us, verdict(us <= 50), wakes / n, verdict(one_each), preempted / n);
	destroy(dpy, dragged);
	destroy(dpy, cover);
}

// Covered until it has taken that in, then the cover unmapped: the time to
// a frame on the window other than the one it showed then, read back as
// fast as the server answers (under a compositor a covered window is read
// from its own pixels).
void
report_uncover(const composited &c, int runs)
{
	Display *dpy = c.r.x.dpy;
	auto frames = cycle_frames();
	std::vector<double> times;
	for (int i = 0; i < runs; i++) {
		Window cover = cover_all(c);
		sleep_s(settle_s);
		int before = frame_number(read_well(dpy, c.w), frames);
		double t0 = now_s(), t = -1;
		XUnmapWindow(dpy, cover);
		XSync(dpy, False);
		while (now_s() - t0 < 2.0 && t < 0) {
			int n = frame_number(read_well(dpy, c.w), frames);
			if (n >= 0 && n != before)
				t = now_s() - t0;
		}
		destroy(dpy, cover);
		if (t < 0) {
			std::printf("  %s, uncovered: no new frame within 2 s (target <= 20 ms): NOT met\n", c.name.c_str());
			return;
		}
		times.push_back(1000 * t);
		sleep_s(0.1);
	}
	double m = median(times);
	print_spread(("  " + c.name + ", uncovered to a new frame on the window").c_str(), runs, times);
	std::printf("  %s, uncovered: target <= 20 ms (median): %s\n", c.name.c_str(), verdict(m <= 20.0));
}

Window
make_translucent(const composited &c)
{
	Display *dpy = c.r.x.dpy;
	Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), c.x, c.y, static_cast<unsigned>(c.side + 10),
	                               static_cast<unsigned>(c.side + 10), 0, 0, 0);
	unsigned long half = 0x7fffffff;
	XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_WINDOW_OPACITY", False), XA_CARDINAL, 32, PropModeReplace,
	                reinterpret_cast<unsigned char *>(&half), 1);
	return w;
}

// Of depth 32, all of it transparent.
Window
make_argb(const composited &c)
{
	Display *dpy = c.r.x.dpy;
	XVisualInfo vi;
	if (!XMatchVisualInfo(dpy, DefaultScreen(dpy), 32, TrueColor, &vi))
		return None;
	XSetWindowAttributes a{};
	a.colormap = XCreateColormap(dpy, DefaultRootWindow(dpy), vi.visual, AllocNone);
	return XCreateWindow(dpy, DefaultRootWindow(dpy), c.x, c.y, static_cast<unsigned>(c.side + 10),
	                     static_cast<unsigned>(c.side + 10), 0, 32, InputOutput, vi.visual,
	                     CWColormap | CWBorderPixel | CWBackPixel, &a);
}

Window
make_holed(const composited &c)
{
	Display *dpy = c.r.x.dpy;
	Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), c.x, c.y, static_cast<unsigned>(c.side + 10),
	                               static_cast<unsigned>(c.side + 10), 0, 0, 0);
	XRectangle hole = { static_cast<short>(c.well_x - c.x), static_cast<short>(c.well_y - c.y), well_side,
	                    well_side };
	XShapeCombineRectangles(dpy, w, ShapeBounding, 0, 0, &hole, 1, ShapeSubtract, Unsorted);
	return w;
}

Window
make_half(const composited &c)
{
	Display *dpy = c.r.x.dpy;
	return XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), c.x, c.y, static_cast<unsigned>(c.side / 2),
	                           static_cast<unsigned>(c.side + 10), 0, 0, 0);
}

// Windows over the applet that leave it seen: it draws on at full rate.
void
report_not_covered(const composited &c, double seconds, double seen_fps)
{
	const struct {
		const char *what;
		Window (*make)(const composited &);
	} rows[] = {
		{ "a translucent window over it (opacity 50 %)", make_translucent },
		{ "a depth-32 window over it (ARGB, transparent)", make_argb },
		{ "a shaped window over it, with a hole over the well", make_holed },
		{ "a window over half of it", make_half },
	};
	Display *dpy = c.r.x.dpy;
	std::printf("  %s, not covered (target: not slowed, >= 95 %% of the %.1f frames/s seen):\n", c.name.c_str(),
	            seen_fps);
	for (const auto &row : rows) {
		Window over = row.make(c);
		if (over == None) {
			std::printf("    %-52s cannot be made here: NOT measured\n", row.what);
			continue;
		}
		XMapRaised(dpy, over);
		XWindowAttributes wa;
		if (!XGetWindowAttributes(dpy, over, &wa) || wa.map_state != IsViewable) {
			std::printf("    %-52s was not shown: NOT measured\n", row.what);
			destroy(dpy, over);
			continue;
		}
		sleep_s(settle_s);
		double fps = measure_activity(c, seconds).frames;
		std::printf("    %-52s %5.1f frames/s: %s\n", row.what, fps, verdict(fps >= 0.95 * seen_fps));
		destroy(dpy, over);
	}
}

// Covered, the compositor stops (the server's VisibilityNotify then tells
// the applet it is covered) and starts again.
void
report_restart(composited &c, double seconds)
{
	Display *dpy = c.r.x.dpy;
	const char *name = c.name.c_str();
	Window cover = cover_all(c);
	sleep_s(settle_s);
	stop_compositor(c.cm, dpy);
	sleep_s(settle_s);
	activity a = measure_activity(c, seconds);
	std::printf("  %s, covered, the compositor stopped: %.1f frames/s, %.1f wake-ups/s (target no frame): %s\n",
	            name, a.frames, a.wakes, verdict(a.frames * seconds < 1));
	c.cm = start_compositor(c.name, c.r.x, c.home);
	if (c.cm.pid < 0) {
		std::printf("  %s, covered, the compositor started again: it did not take the selection: NOT measured\n",
		            name);
	} else {
		sleep_s(settle_s);
		a = measure_activity(c, seconds);
		std::printf("  %s, covered, the compositor started again: %.1f frames/s (target about 2: at least one "
		            "frame, at most 2 a second): %s\n", name, a.frames,
		            verdict(a.frames * seconds >= 1 && a.frames <= 2 + 1 / seconds));
	}
	destroy(dpy, cover);
}

// The saving: the whole desktop, applet, X server and compositor, with the
// applet covered, for this build and `old` side by side, each on its own
// Xvfb under its own compositor, so both share the machine's noise.
void
report_saving(const std::string &name, double seconds, int rounds, const char *old)
{
	if (!old) {
		std::printf("  %s, the whole desktop covered, beside the tree before: no build of it was given: NOT "
		            "measured\n", name.c_str());
		return;
	}
	composited now, before;
	if (!start_composited(now, name, applet_path))
		return;
	if (!start_composited(before, name, old)) {
		stop_composited(now);
		return;
	}
	Window covers[] = { cover_all(now), cover_all(before) };
	sleep_s(1.0);
	auto sample = [](const composited &c) { return sample_desktop({ c.r.proc.pid, c.r.x.pid, c.cm.pid }); };
	std::vector<double> cpu_now, cpu_before, wakes_now, wakes_before, ratio;
	for (int r = 0; r < rounds; r++) {
		desktop_sample a0 = sample(now), b0 = sample(before);
		double t0 = now_s();
		sleep_s(seconds);
		desktop_sample a1 = sample(now), b1 = sample(before);
		double t = now_s() - t0;
		cpu_now.push_back(1000 * (a1.cpu - a0.cpu) / t);
		cpu_before.push_back(1000 * (b1.cpu - b0.cpu) / t);
		wakes_now.push_back((a1.wakes - a0.wakes) / t);
		wakes_before.push_back((b1.wakes - b0.wakes) / t);
		ratio.push_back(cpu_now.back() / cpu_before.back());
	}
	auto spread = [](const std::vector<double> &v, const char *format) {
		auto [lo, hi] = std::minmax_element(v.begin(), v.end());
		char text[96];
		std::snprintf(text, sizeof text, format, median(v), *lo, *hi);
		return std::string(text);
	};
	std::printf("  %s, the whole desktop (applet + X server + %s) with the applet covered, %d rounds of %.0f s, "
	            "median (range):\n", name.c_str(), name.c_str(), rounds, seconds);
	std::printf("    now:    %s CPU, %s\n", spread(cpu_now, "%.2f ms/s (%.2f..%.2f)").c_str(),
	            spread(wakes_now, "%.1f wake-ups/s (%.1f..%.1f)").c_str());
	std::printf("    before: %s CPU, %s\n", spread(cpu_before, "%.2f ms/s (%.2f..%.2f)").c_str(),
	            spread(wakes_before, "%.1f wake-ups/s (%.1f..%.1f)").c_str());
	std::printf("    now / before, CPU: %s\n", spread(ratio, "%.3f (%.3f..%.3f)").c_str());
	destroy(now.r.x.dpy, covers[0]);
	destroy(before.r.x.dpy, covers[1]);
	stop_composited(now);
	stop_composited(before);
}

} // namespace

void
measure_compositor(const std::string &name, double seconds, int rounds, const char *old)
{
	composited c;
	double seen_fps = 0;
	if (!start_composited(c, name, applet_path))
		return;
	if (report_seen(c, seconds, seen_fps)) {
		report_covered(c, seconds);
		report_drag(c, seconds);
		report_uncover(c, rounds);
		report_not_covered(c, seconds, seen_fps);
		report_restart(c, seconds);
	}
	stop_composited(c);
	report_saving(name, seconds, rounds, old);
}
