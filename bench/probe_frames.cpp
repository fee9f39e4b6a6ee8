// SPDX-License-Identifier: GPL-2.0-or-later
// The running applet's frames: its CPU beside the baseline loop or another
// build, its system calls and bytes a frame, its start-up, its swallow by
// fluxbox's slit and a soak.
#include "probe_common.h"

#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct cpu_sample {
	double applet, applet_x, other, other_x;
};

cpu_sample
sample_cpu(pid_t applet, pid_t applet_x, pid_t other, pid_t other_x)
{
	return { cpu_s(applet), cpu_s(applet_x), cpu_s(other), cpu_s(other_x) };
}

// Resources the X server holds for the client that owns `w`.
long
client_resources(Display *dpy, Window w)
{
	int n = 0;
	XResClient *clients = nullptr;
	if (!XResQueryClients(dpy, &n, &clients))
		return -1;
	long total = -1;
	for (int i = 0; i < n; i++) {
		if ((w & ~clients[i].resource_mask) != clients[i].resource_base)
			continue;
		int types = 0;
		XResType *counts = nullptr;
		if (XResQueryClientResources(dpy, clients[i].resource_base, &types, &counts)) {
			total = 0;
			for (int k = 0; k < types; k++)
				total += counts[k].count;
			XFree(counts);
		}
	}
	XFree(clients);
	return total;
}

} // namespace

// The applet beside `other`, another build of the applet, or, for
// nullptr, the baseline loop.  Both run at once, so they share the
// machine's noise; each round's ratio compares what the two cost over the
// same seconds.
void
run_side_by_side(double seconds, int rounds, const char *other)
{
	const char *name = other ? "other" : "baseline";
	std::string home = temp_dir(), other_home = temp_dir();
	loop_run ra = start_loop(applet_path, home), rb = start_loop(other ? other : baseline_path, other_home);
	xvfb_server &xa = ra.x, &xb = rb.x;
	pid_t applet = ra.proc.pid, base = rb.proc.pid;
	auto frames = cycle_frames();
	frame_counter drawn(xa.dpy, wait_for_applet(xa.dpy), frames);
	frame_counter other_drawn(xb.dpy, other ? wait_for_applet(xb.dpy) : None, frames);
	sleep_s(1.0);       // past start-up

	double round_s = seconds / rounds;
	std::vector<double> with_server, alone;
	double t0 = now_s();
	cpu_sample first = sample_cpu(applet, xa.pid, base, xb.pid), prev = first;
	long sw0 = status_field(base, "voluntary_ctxt_switches:");
	long asw0 = status_field(applet, "voluntary_ctxt_switches:");
	if (!drawn.sample() || (other && !other_drawn.sample()))
		die("the window shows no frame of the default animation");
	drawn.count = other_drawn.count = 0;
	std::printf("side by side%s%s, %d rounds of %.1f s, each loop on its own Xvfb:\n", other ? " with " : "",
	            other ? other : "", rounds, round_s);
	for (int r = 0; r < rounds; r++) {
		for (double end = now_s() + round_s; now_s() < end;) {
			sleep_s(std::min(2.0, end - now_s()));
			if (!drawn.sample() || (other && !other_drawn.sample()))
				die("the window shows no frame of the default animation");
		}
		cpu_sample now = sample_cpu(applet, xa.pid, base, xb.pid);
		double a = now.applet - prev.applet, ax = now.applet_x - prev.applet_x;
		double b = now.other - prev.other, bx = now.other_x - prev.other_x;
		with_server.push_back((a + ax) / (b + bx));
		alone.push_back(a / b);
		std::printf("  round %d: applet+X %.2f ms, %s+X %.2f ms: ratio %.3f (applet alone %.3f)\n", r + 1,
		            1000 * (a + ax), name, 1000 * (b + bx), with_server.back(), alone.back());
		prev = now;
	}
	double t = now_s() - t0;
	double a = prev.applet - first.applet, b = prev.other - first.other;
	double xa_cpu = prev.applet_x - first.applet_x, xb_cpu = prev.other_x - first.other_x;
	double sleeps_a = static_cast<double>(status_field(applet, "voluntary_ctxt_switches:") - asw0);
	double sleeps_b = static_cast<double>(status_field(base, "voluntary_ctxt_switches:") - sw0);
	double fps = static_cast<double>(drawn.count) / t;
	// The baseline draws none of the animation: its frames are its sleeps.
	double other_frames = other ? static_cast<double>(other_drawn.count) : sleeps_b;

	std::printf("over %.1f s:\n", t);
	std::printf("  applet:   %6.2f ms CPU/s  %6.1f frames/s (%.1f sleeps/s)  X server %6.2f ms CPU/s  peak RSS %ld KiB\n",
	            1000 * a / t, fps, sleeps_a / t, 1000 * xa_cpu / t, status_field(applet, "VmHWM:"));
	std::printf("  %-9s %6.2f ms CPU/s  %6.1f frames/s (%.1f sleeps/s)  X server %6.2f ms CPU/s  peak RSS %ld KiB\n",
	            (std::string(name) + ":").c_str(), 1000 * b / t, other_frames / t, sleeps_b / t, 1000 * xb_cpu / t,
	            status_field(base, "VmHWM:"));
	std::printf("  CPU a frame: applet+X %.1f us, %s+X %.1f us\n", 1e6 * (a + xa_cpu) / (fps * t), name,
	            1e6 * (b + xb_cpu) / other_frames);
	auto [lo, hi] = std::minmax_element(with_server.begin(), with_server.end());
	double m = median(with_server);
	if (other)
		std::printf("  applet+X / other+X: median %.3f, range %.3f..%.3f over %d rounds (target <= 1.00: %s)\n",
		            m, *lo, *hi, rounds, m <= 1.0 ? "met" : "NOT met");
	else
		std::printf("  applet+X / baseline+X: median %.3f, range %.3f..%.3f over %d rounds (target <= 0.75: %s; "
		            "no worse than before idling while unseen, 0.91: %s)\n",
		            m, *lo, *hi, rounds, m <= 0.75 ? "met" : "NOT met", m <= 0.91 ? "met" : "NOT met");
	auto [alo, ahi] = std::minmax_element(alone.begin(), alone.end());
	std::printf("  applet / %s alone: median %.3f, range %.3f..%.3f\n", name, median(alone), *alo, *ahi);
	stop_loop(ra);
	stop_loop(rb);
	remove_tree(home);
	remove_tree(other_home);
}

void
count_side_by_side(double seconds, const std::vector<std::string> &applet_args)
{
	int scale = scale_of(applet_args);
	std::string home = temp_dir();
	loop_run ra = start_loop(applet_path, home, applet_args), rb;
	pid_t applet = ra.proc.pid;
	auto frames = cycle_frames();
	Window w = wait_for_applet(ra.x.dpy);
	if (!drawn_at_scale(ra.x.dpy, w, scale)) {
		stop_loop(ra);
		remove_tree(home);
		return;
	}
	// The baseline draws at one scale only.
	if (applet_args.empty())
		rb = start_loop(baseline_path, home);
	frame_counter drawn(ra.x.dpy, w, frames, scale);
	sleep_s(1.0);
	std::string with;
	for (const std::string &a : applet_args)
		with += " " + a;
	std::printf("system calls a frame, counted by strace over %.0f s with no events%s%s:\n", seconds,
	            with.empty() ? "" : ", with", with.c_str());
	syscall_count a = count_syscalls(applet, seconds, &drawn);
	double rate = print_applet_calls(a);
	if (rb.proc.pid > 0) {
		syscall_count b = count_syscalls(rb.proc.pid, seconds);
		// Each frame of the plain loop ends in one sleep, but for the last,
		// which the detach cuts short.
		std::printf("  %-8s %7ld calls over %5ld frames: %.2f a frame\n", "baseline", b.total, b.sleeps + 1,
		            static_cast<double>(b.total) / static_cast<double>(b.sleeps + 1));
	}
	std::printf("  target <= 3.1 a frame: %s\n", rate <= 3.1 ? "met" : "NOT met");
	print_bytes_a_frame(applet, drawn, seconds, scale);
	stop_loop(ra);
	stop_loop(rb);
	remove_tree(home);
}

void
time_first_frame(int runs)
{
	std::string home = temp_dir();
	xvfb_server x = start_server();
	Display *dpy = x.dpy;
	unsigned long well_colour = 0x191919;       // the frame image's empty well
	std::vector<double> times;
	for (int i = 0; i < runs; i++) {
		double t0 = now_s();
		child_process applet = start_client(applet_path, x, home);
		double t = -1;
		poll_until([&] {
			Window w = find_by_class(dpy, "quarvel");
			std::vector<unsigned long> well = w != None ? read_well(dpy, w) : std::vector<unsigned long>{};
			if (!well.empty() && well[0] != well_colour && well[0] != WhitePixel(dpy, 0))
				t = now_s() - t0;
			return t >= 0;
		}, 5.0);
		end_child(applet);
		XSync(dpy, False);
		if (t < 0)
			die("no first frame within 5 s");
		times.push_back(t * 1000);
		// wait for the window to go before the next run
		poll_until([&] { return find_by_class(dpy, "quarvel") == None; }, 2.0);
	}
	print_spread("exec to first frame", runs, times);
	xvfb_stop(x);
	remove_tree(home);
}

// From exec to the icon window resting in fluxbox's slit: reparented out
// of the main window, shown, and unmoved for 300 ms.
void
time_swallow(int runs)
{
	std::vector<double> times;
	for (int i = 0; i < runs; i++) {
		std::string home = temp_dir();
		loop_run r;
		r.x = start_server(640, 480);
		Display *dpy = r.x.dpy;
		child_process wm = spawn("/usr/bin/fluxbox", { "fluxbox", "-rc", fluxbox_headless_config(home) },
		                         { "DISPLAY=" + r.x.name, "HOME=" + home });
		if (!poll_until([&] { return wm_announced(dpy); }, 15.0))
			die("fluxbox did not start");
		double t0 = now_s(), stable_since = t0;
		r.proc = start_client(applet_path, r.x, home);
		Window main_window = wait_for_applet(dpy), icon = None, last_parent = None;
		bool docked = poll_until([&] {
			if (XWMHints *hints = XGetWMHints(dpy, main_window)) {
				icon = hints->flags & IconWindowHint ? hints->icon_window : None;
				XFree(hints);
			}
			Window root, parent = None, *kids = nullptr;
			unsigned n = 0;
			XWindowAttributes wa;
			bool shown = icon != None && XQueryTree(dpy, icon, &root, &parent, &kids, &n) &&
			             XGetWindowAttributes(dpy, icon, &wa) && wa.map_state == IsViewable;
			XFree(kids);
			if (parent != last_parent)
				stable_since = now_s();
			last_parent = parent;
			return shown && parent != main_window && now_s() - stable_since >= 0.3;
		}, 15.0);
		if (!docked)
			die("the applet was not swallowed");
		times.push_back((stable_since - t0) * 1000);
		end_child(wm);
		stop_loop(r);
		remove_tree(home);
	}
	print_spread("exec to a stable swallow in fluxbox's slit", runs, times);
}

void
soak(double seconds)
{
	std::string home = temp_dir();
	loop_run r = start_loop(applet_path, home);
	xvfb_server &x = r.x;
	pid_t applet = r.proc.pid;
	Window w = wait_for_applet(x.dpy);
	sleep_s(1.0);
	double t0 = now_s();
	long rss_first = status_field(applet, "VmRSS:"), res_first = client_resources(x.dpy, w);
	long rss_min = rss_first, rss_max = rss_first, res_min = res_first, res_max = res_first;
	long rss = rss_first, res = res_first;
	std::printf("soak: %.0f s; at start RSS %ld KiB, %ld X resources\n", seconds, rss_first, res_first);
	while (now_s() - t0 < seconds) {
		sleep_s(std::min(10.0, seconds - (now_s() - t0)));
		rss = status_field(applet, "VmRSS:");
		res = client_resources(x.dpy, w);
		if (rss < 0 || res < 0 || waitpid(applet, nullptr, WNOHANG) == applet)
			die("the applet ended during the soak");
		rss_min = std::min(rss_min, rss);
		rss_max = std::max(rss_max, rss);
		res_min = std::min(res_min, res);
		res_max = std::max(res_max, res);
		if (static_cast<long>(now_s() - t0) % 60 < 10)
			std::printf("  %5.0f s: RSS %ld KiB, %ld X resources\n", now_s() - t0, rss, res);
	}
	std::printf("soak: RSS %ld..%ld KiB (end %ld), X resources %ld..%ld (end %ld), CPU %.2f s\n", rss_min,
	            rss_max, rss, res_min, res_max, res, cpu_s(applet));
	stop_loop(r);
	remove_tree(home);
}
