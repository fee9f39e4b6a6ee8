// SPDX-License-Identifier: GPL-2.0-or-later
// The applet while nobody can see it: its cost covered, unmapped, blanked
// and in a hidden slit, how soon it shows again once uncovered, and on
// another desktop under managers without a dock.
#include "probe_common.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// The applet's cost over `seconds` while unseen, against the targets;
// `seen_rate`, its wake-ups a second before, shows it was drawing then.
void
report_unseen(const char *what, pid_t pid, double seconds, double seen_rate)
{
	if (!settles(pid))
		std::printf("  %-46s never went to sleep\n", what);
	double c0 = cpu_s(pid), t0 = now_s();
	long w0 = wake_ups(pid), b0 = proc_field(pid, "io", "wchar:");
	sleep_s(seconds);
	double t = now_s() - t0;
	double cpu = 1000 * (cpu_s(pid) - c0) / t, wakes = static_cast<double>(wake_ups(pid) - w0) / t;
	long bytes = proc_field(pid, "io", "wchar:") - b0;
	bool met = cpu <= 0.05 && wakes <= 1.0 && bytes == 0;
	std::printf("  %-46s %6.3f ms CPU/s %5.2f wake-ups/s (seen: %3.0f) %ld bytes sent: %s\n", what, cpu,
	            wakes, seen_rate, bytes, met ? "met" : "NOT met");
}

// The applet docked in fluxbox's slit (its icon window shown outside the
// main window), with `init_extra` added to fluxbox's settings.
struct docked_run {
	loop_run r;
	child_process wm;
	std::string home;
};

void
start_docked(docked_run &d, const char *init_extra)
{
	d.home = temp_dir();
	d.r.x = start_server(640, 480);
	Display *dpy = d.r.x.dpy;
	std::string rc = fluxbox_headless_config(d.home);
	std::ofstream(rc, std::ios::app) << init_extra;
	d.wm = spawn("/usr/bin/fluxbox", { "fluxbox", "-rc", rc }, { "DISPLAY=" + d.r.x.name, "HOME=" + d.home });
	if (!poll_until([&] { return wm_announced(dpy); }, 15.0))
		die("fluxbox did not start");
	d.r.proc = start_client(applet_path, d.r.x, d.home);
	Window main_window = wait_for_applet(dpy);
	bool docked = poll_until([&] {
		Window icon = first_child(dpy, main_window);
		return icon == None;      // taken out of the main window
	}, 15.0);
	if (!docked)
		die("fluxbox did not swallow the applet");
}

void
stop_docked(docked_run &d)
{
	end_child(d.wm);
	stop_loop(d.r);
	remove_tree(d.home);
}

// A window manager that frames the applet as a normal window, with two
// desktops and nothing else set up: no dock, no tray, no modules.
child_process
start_desktop_manager(const std::string &wm, const xvfb_server &x, const std::string &home)
{
	std::vector<std::string> env = { "HOME=" + home, "DISPLAY=" + x.name };
	if (wm == "jwm") {
		std::ofstream(home + "/.jwmrc") << "<?xml version=\"1.0\"?>\n<JWM><Desktops width=\"2\" height=\"1\"/></JWM>\n";
		return spawn("/usr/bin/jwm", { "jwm" }, env);
	}
	mkdir((home + "/.fvwm").c_str(), 0700);
	std::ofstream(home + "/.fvwm/config") << "DesktopSize 1x1\nEwmhNumberOfDesktops 2\nStyle * MinOverlapPlacement\n";
	return spawn("/usr/bin/fvwm3", { "fvwm3" }, env);
}

// A manager asked to end may hang in its handler: then it is killed.
void
stop_manager(child_process &wm)
{
	if (wm.pid > 0) {
		kill(wm.pid, SIGTERM);
		wait_exit(wm, 3.0);
	}
	end_child(wm);
}

long
current_desktop(Display *dpy)
{
	Atom type;
	int format;
	unsigned long n = 0, left;
	unsigned char *data = nullptr;
	long desk = -1;
	if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_NET_CURRENT_DESKTOP", False), 0, 1,
	                       False, XA_CARDINAL, &type, &format, &n, &left, &data) == Success && n == 1)
		desk = *reinterpret_cast<long *>(data);
	XFree(data);
	return desk;
}

bool
viewable(Display *dpy, Window w)
{
	XWindowAttributes wa;
	return XGetWindowAttributes(dpy, w, &wa) && wa.map_state == IsViewable;
}

} // namespace

void
measure_unseen(double seconds)
{
	std::printf("unseen, %.0f s each (targets: <= 0.05 ms CPU/s, <= 1 wake-up/s, nothing sent):\n", seconds);
	std::string home = temp_dir();
	{
		loop_run r = start_loop(applet_path, home);
		Window w = wait_for_applet(r.x.dpy);
		double seen = wake_rate(r.proc.pid, 1.0);
		Window cover = map_cover(r.x.dpy, 0, 0, 100, 100);
		report_unseen("covered by another window", r.proc.pid, seconds, seen);
		XDestroyWindow(r.x.dpy, cover);
		XSync(r.x.dpy, False);
		seen = wake_rate(r.proc.pid, 1.0);
		XUnmapWindow(r.x.dpy, w);
		XSync(r.x.dpy, False);
		report_unseen("unmapped, no window manager", r.proc.pid, seconds, seen);
		XMapWindow(r.x.dpy, w);
		XSync(r.x.dpy, False);
		seen = wake_rate(r.proc.pid, 1.0);
		// What `xset s activate` does, without needing xset.
		XForceScreenSaver(r.x.dpy, ScreenSaverActive);
		XSync(r.x.dpy, False);
		report_unseen("screen blanked (as xset s activate does)", r.proc.pid, seconds, seen);
		stop_loop(r);
	}
	{
		docked_run d;
		start_docked(d, "");
		double seen = wake_rate(d.r.proc.pid, 1.0);
		map_cover(d.r.x.dpy, 0, 0, 640, 480, true);
		report_unseen("in fluxbox's slit, under a full-screen window", d.r.proc.pid, seconds, seen);
		stop_docked(d);
	}
	{
		docked_run d;
		start_docked(d, "session.screen0.slit.autoHide: true\n");
		// Over the slit it shows; elsewhere it hides.
		Display *dpy = d.r.x.dpy;
		XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 639, 240);
		XSync(dpy, False);
		double seen = wake_rate(d.r.proc.pid, 1.0);
		XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 10, 10);
		XSync(dpy, False);
		report_unseen("in fluxbox's slit, auto-hidden", d.r.proc.pid, seconds, seen);
		stop_docked(d);
	}
	remove_tree(home);
}

// Covered until it sleeps, then uncovered: the time until the window shows
// a frame of the animation, polled as fast as the server answers.
void
time_uncover(int runs)
{
	std::string home = temp_dir();
	loop_run r = start_loop(applet_path, home);
	Display *dpy = r.x.dpy;
	Window w = wait_for_applet(dpy);
	auto frames = cycle_frames();
	std::vector<double> times;
	for (int i = 0; i < runs; i++) {
		Window cover = map_cover(dpy, 0, 0, 100, 100);
		if (!settles(r.proc.pid))
			die("the covered applet never went to sleep");
		double t0 = now_s(), t = -1;
		XDestroyWindow(dpy, cover);
		XSync(dpy, False);
		while (now_s() - t0 < 5.0 && t < 0)
			if (frame_number(read_well(dpy, w), frames) >= 0)
				t = now_s() - t0;
		if (t < 0)
			die("no frame within 5 s of uncovering");
		times.push_back(t * 1000);
	}
	std::sort(times.begin(), times.end());
	double m = median(times);
	print_spread("uncovered to a frame on the window", runs, times);
	std::printf("  target <= 20 ms (median): %s\n", m <= 20.0 ? "met" : "NOT met");
	stop_loop(r);
	remove_tree(home);
}

// The applet framed by `wm` as a normal window, `runs` times moved to
// the second desktop for `seconds`, then back: its wake-ups there, and the
// time from asking for the first desktop to a frame of the animation read
// back from its window, polled as fast as the server answers.
void
measure_desktop(const std::string &wm, double seconds, int runs)
{
	std::string home = temp_dir();
	loop_run r;
	r.x = start_server(640, 480);
	Display *dpy = r.x.dpy;
	child_process manager = start_desktop_manager(wm, r.x, home);
	auto frames = cycle_frames();
	Window w = None;
	auto give_up = [&](const char *why) {
		std::printf("  %s: %s: NOT measured\n", wm.c_str(), why);
		stop_manager(manager);
		stop_loop(r);
		remove_tree(home);
	};
	if (!poll_until([&] { return wm_announced(dpy); }, 15.0))
		return give_up("the manager did not start");
	r.proc = start_client(applet_path, r.x, home);
	bool up = poll_until([&] {
		w = find_by_class(dpy, "quarvel");
		return w != None && viewable(dpy, w) && frame_number(read_well(dpy, w), frames) >= 0;
	}, 10.0);
	if (!up)
		return give_up("the applet did not show a frame within 10 s");

	long wakes = 0;
	double cpu = 0, away = 0;
	long bytes = 0;
	std::vector<double> shown, drawn;
	for (int i = 0; i < runs; i++) {
		switch_desktop(dpy, 1);
		if (!poll_until([&] { return current_desktop(dpy) == 1 && !viewable(dpy, w); }, 5.0))
			return give_up("the applet did not leave the screen on the second desktop");
		settles(r.proc.pid, 1.0);       // a wake-up to take the news, if it sleeps at all
		double c0 = cpu_s(r.proc.pid), t0 = now_s();
		long w0 = wake_ups(r.proc.pid), b0 = proc_field(r.proc.pid, "io", "wchar:");
		sleep_s(seconds);
		wakes += wake_ups(r.proc.pid) - w0;
		cpu += cpu_s(r.proc.pid) - c0;
		bytes += proc_field(r.proc.pid, "io", "wchar:") - b0;
		away += now_s() - t0;
		if (wait_exit(r.proc, 0.0) != -1)
			return give_up("the applet ended");

		double t_shown = -1, t_drawn = -1;
		t0 = now_s();
		switch_desktop(dpy, 0);
		while (now_s() - t0 < 5.0 && t_drawn < 0) {
			std::vector<unsigned long> well = read_well(dpy, w);     // fails while unviewable
			if (!well.empty() && t_shown < 0)
				t_shown = now_s() - t0;
			if (frame_number(well, frames) >= 0)
				t_drawn = now_s() - t0;
		}
		if (t_drawn < 0)
			return give_up("no frame within 5 s of coming back");
		shown.push_back(1000 * t_shown);
		drawn.push_back(1000 * t_drawn);
	}
	std::printf("  %s, on the second desktop %d times for %.0f s: %ld wake-ups (%.2f/s), %.3f ms CPU/s, %ld bytes "
	            "sent (target 0 wake-ups): %s\n", wm.c_str(), runs, seconds, wakes,
	            static_cast<double>(wakes) / away, 1000 * cpu / away, bytes, verdict(wakes == 0));
	auto [lo, hi] = std::minmax_element(drawn.begin(), drawn.end());
	double m = median(drawn);
	std::printf("  %s, back on the first: a frame on the window after a median of %.1f ms (%.1f..%.1f; the "
	            "window viewable after %.1f) (target <= 20 ms): %s\n", wm.c_str(), m, *lo, *hi, median(shown),
	            verdict(m <= 20.0));
	stop_manager(manager);
	stop_loop(r);
	remove_tree(home);
}

