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
//   probe syscalls SECONDS
//                         system calls a frame of the applet and of the
//                         baseline loop, counted by strace, and the bytes
//                         the applet sends a frame
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
#include "support_x.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// QUARVEL_APPLET names another build of the applet to measure, say an
// older one beside the baseline.
const char *applet_path = QUARVEL_BINARY;
constexpr const char *baseline_path = BASELINE_BINARY;
constexpr int cycle = 854;            // default offsets repeat after this many frames

// One loop under measurement: its own Xvfb, and its process.
struct loop_run {
	xvfb_server x;
	child_process proc;
};

xvfb_server
start_server(int width = 320, int height = 240)
{
	xvfb_server x;
	std::string error;
	if (!xvfb_start(x, error, 24, width, height))
		die(error);
	return x;
}

child_process
start_client(const char *path, const xvfb_server &x, const std::string &home)
{
	return spawn(path, { "quarvel" }, { "DISPLAY=" + x.name, "HOME=" + home });
}

loop_run
start_loop(const char *path, const std::string &home)
{
	loop_run r;
	r.x = start_server();
	r.proc = start_client(path, r.x, home);
	return r;
}

void
stop_loop(loop_run &r)
{
	end_child(r.proc);
	xvfb_stop(r.x);
}

// The applet's main window, once it is up.
Window
wait_for_applet(Display *dpy)
{
	Window w = None;
	if (!poll_until([&] { return (w = find_by_class(dpy, "quarvel")) != None; }, 5.0))
		die("the applet did not come up");
	return w;
}

// Every scratch directory of the probe lies in one, removed at exit, also
// when the probe dies half-way.
char scratch_root[64];

void
remove_scratch()
{
	remove_tree(scratch_root);
	// And what the children spawned by this process wrote, should they
	// not have been ended one by one.
	std::string mine = "quarvel-child-" + std::to_string(getpid()) + "-";
	if (DIR *tmp = opendir("/tmp")) {
		while (dirent *e = readdir(tmp))
			if (std::strncmp(e->d_name, mine.c_str(), mine.size()) == 0)
				unlink((std::string("/tmp/") + e->d_name).c_str());
		closedir(tmp);
	}
}

// Interrupted, cut off by a closed pipe or out of time: the same clean-up,
// then the signal's own end.
void
remove_scratch_and_end(int sig)
{
	remove_scratch();
	std::signal(sig, SIG_DFL);
	std::raise(sig);
}

std::string
temp_dir()
{
	if (!*scratch_root) {
		std::string root = make_temp_dir();
		if (root.empty() || root.size() >= sizeof scratch_root)
			die("cannot make a temporary directory");
		std::snprintf(scratch_root, sizeof scratch_root, "%s", root.c_str());
		std::atexit(remove_scratch);
		for (int sig : { SIGINT, SIGTERM, SIGHUP, SIGPIPE })
			std::signal(sig, remove_scratch_and_end);
	}
	std::string dir = std::string(scratch_root) + "/XXXXXX";
	if (!mkdtemp(dir.data()))
		die("cannot make a temporary directory");
	return dir;
}

// CPU seconds a process has used, to the nanosecond: the scheduler's own
// count, where /proc/PID/stat only has clock ticks of 10 ms.
double
cpu_s(pid_t pid)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
	double ns = 0;
	f >> ns;
	return ns * 1e-9;
}

long
status_field(pid_t pid, const char *name)
{
	return proc_field(pid, "status", name);
}

// The frames of one cycle of the default animation as 24-bit pixels.
std::vector<std::vector<unsigned long>>
cycle_frames()
{
	std::vector<std::vector<unsigned long>> frames;
	for (const well_bytes &indices : animation_frames(default_settings, cycle)) {
		std::vector<unsigned long> f;
		for (auto i : indices)
			f.push_back(static_cast<unsigned long>(colour_ramps[0][i]) << 16 |
			            static_cast<unsigned long>(colour_ramps[1][i]) << 8 | colour_ramps[2][i]);
		frames.push_back(std::move(f));
	}
	return frames;
}

int
frame_number(const std::vector<unsigned long> &well, const std::vector<std::vector<unsigned long>> &frames)
{
	for (int n = 0; n < cycle; n++)
		if (frames[static_cast<std::size_t>(n)] == well)
			return n;
	return -1;
}

// Counts the frames an applet draws by the frame its window shows, however
// it sleeps between them: sampled at most a few seconds apart, less than a
// cycle passes between two samples.
struct frame_counter {
	Display *dpy;
	Window w;
	const std::vector<std::vector<unsigned long>> &frames;
	int last = -1;
	long count = 0;

	frame_counter(Display *d, Window win, const std::vector<std::vector<unsigned long>> &f)
		: dpy(d), w(win), frames(f), last(frame_number(read_well(d, win), f))
	{
	}
	// False when the window shows no frame of the animation.
	bool sample()
	{
		int n = frame_number(read_well(dpy, w), frames);
		if (n >= 0 && last >= 0)
			count += (n - last + cycle) % cycle;
		last = n;
		return n >= 0;
	}
	// Waits for the next frame on the window, read back as fast as the
	// server answers: right after it shows, the applet has written that
	// frame and, 10 ms from the next, not yet the next.
	bool next()
	{
		sample();
		int from = last;
		for (double end = now_s() + 2.0; now_s() < end;)
			if (sample() && last != from)
				return true;
		return false;
	}
};

struct cpu_sample {
	double applet, applet_x, other, other_x;
};

cpu_sample
sample_cpu(pid_t applet, pid_t applet_x, pid_t other, pid_t other_x)
{
	return { cpu_s(applet), cpu_s(applet_x), cpu_s(other), cpu_s(other_x) };
}

double
median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	std::size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

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

// What strace -c counted while attached to a loop: every call, the sleeps
// among them, each call by name, and the frames the applet drew meanwhile
// (-1 for the baseline, which draws none of the animation).
struct syscall_count {
	long total = -1, sleeps = 0, frames = -1;
	std::vector<std::pair<std::string, long>> calls;
};

// strace -c attached to `pid` for `seconds`.  Attaching lands in a sleep,
// which shows as restart_syscall and is not counted.  With `drawn`, the
// frames are those the window showed from the attach to the detach, which
// /proc/PID/status shows as TracerPid; whatever call the applet sleeps in.
syscall_count
count_syscalls(pid_t pid, double seconds, frame_counter *drawn = nullptr)
{
	std::string dir = temp_dir(), out = dir + "/strace";
	pid_t tracer = fork();
	if (tracer == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		std::string p = std::to_string(pid);
		if (!freopen((dir + "/said").c_str(), "w", stderr))
			_exit(127);
		execlp("strace", "strace", "-c", "-q", "-o", out.c_str(), "-p", p.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	auto traced = [&] { return status_field(pid, "TracerPid:") > 0; };
	bool attached = poll_until(traced, 5.0);
	syscall_count c;
	if (attached && drawn) {
		drawn->sample();
		c.frames = drawn->count;
	}
	for (double end = now_s() + seconds; attached && now_s() < end;) {
		sleep_s(std::min(1.0, end - now_s()));
		if (drawn)
			drawn->sample();
	}
	kill(tracer, SIGINT);
	poll_until([&] { return !traced(); }, 5.0);
	if (attached && drawn && drawn->sample())
		c.frames = drawn->count - c.frames;
	else
		c.frames = -1;
	int status = 0;
	waitpid(tracer, &status, 0);
	std::ifstream f(out);
	std::string line;
	while (std::getline(f, line)) {
		std::vector<std::string> words;
		std::size_t at = 0;
		while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
			std::size_t end = line.find(' ', at);
			words.push_back(line.substr(at, end - at));
			at = end;
		}
		if (words.size() < 5 || !std::isdigit(static_cast<unsigned char>(words[3][0])))
			continue;      // the heading and the rules
		long n = std::atol(words[3].c_str());
		if (words.back() == "total")
			c.total += n + 1;
		else if (words.back() == "restart_syscall")     // attaching in mid-sleep
			c.total -= n;
		else
			c.calls.emplace_back(words.back(), n);
		if (words.back() == "clock_nanosleep" || words.back() == "nanosleep" || words.back() == "ppoll")
			c.sleeps += n;
	}
	std::string said = read_file(dir + "/said");
	remove_tree(dir);
	if (c.total < 0 || (!drawn && c.sleeps == 0))
		die("strace counted nothing (is it installed, and may it trace?) " + said);
	if (drawn && c.frames <= 0)
		die("no frame of the applet's was read back while it was traced");
	return c;
}

// Bytes the applet has written (every write of it is a request) just
// after a frame showed and before the next: /proc/PID/io counts a write
// only once the call returns, which can be after the server has drawn it,
// so it is read 3 ms into the pause, and again if a frame came meanwhile.
long
bytes_between_frames(pid_t pid, frame_counter &drawn)
{
	for (int tries = 0; tries < 20; tries++) {
		if (!drawn.next())
			break;
		int shown = drawn.last;
		sleep_s(0.003);
		long bytes = proc_field(pid, "io", "wchar:");
		if (drawn.sample() && drawn.last == shown)
			return bytes;
	}
	die("the applet draws no steady frames");
}

// The bytes the applet writes a frame, over whole frames.
std::pair<long, long>
count_bytes(pid_t pid, frame_counter &drawn, double seconds)
{
	long b0 = bytes_between_frames(pid, drawn), f0 = drawn.count;
	for (double end = now_s() + seconds; now_s() < end;) {
		sleep_s(std::min(1.0, end - now_s()));
		drawn.sample();
	}
	long b1 = bytes_between_frames(pid, drawn);
	return { b1 - b0, drawn.count - f0 };
}

void
count_side_by_side(double seconds)
{
	std::string home = temp_dir();
	loop_run ra = start_loop(applet_path, home), rb = start_loop(baseline_path, home);
	pid_t applet = ra.proc.pid, base = rb.proc.pid;
	auto frames = cycle_frames();
	frame_counter drawn(ra.x.dpy, wait_for_applet(ra.x.dpy), frames);
	sleep_s(1.0);
	std::printf("system calls a frame, counted by strace over %.0f s with no events:\n", seconds);
	syscall_count a = count_syscalls(applet, seconds, &drawn), b = count_syscalls(base, seconds);
	double rate = static_cast<double>(a.total) / static_cast<double>(a.frames);
	std::printf("  %-8s %7ld calls over %5ld frames drawn: %.2f a frame (", "applet", a.total, a.frames, rate);
	std::sort(a.calls.begin(), a.calls.end(), [](auto &l, auto &r) { return l.second > r.second; });
	for (std::size_t i = 0; i < a.calls.size(); i++)
		std::printf("%s%s %.2f", i ? ", " : "", a.calls[i].first.c_str(),
		            static_cast<double>(a.calls[i].second) / static_cast<double>(a.frames));
	std::printf(")\n");
	// Each frame of the plain loop ends in one sleep, but for the last,
	// which the detach cuts short.
	std::printf("  %-8s %7ld calls over %5ld frames: %.2f a frame\n", "baseline", b.total, b.sleeps + 1,
	            static_cast<double>(b.total) / static_cast<double>(b.sleeps + 1));
	std::printf("  target <= 3.1 a frame: %s\n", rate <= 3.1 ? "met" : "NOT met");

	auto [bytes, n] = count_bytes(applet, drawn, seconds);
	double per_frame = static_cast<double>(bytes) / static_cast<double>(n);
	std::printf("bytes the applet sends a frame at 24 bits, from /proc/PID/io over %ld frames: %.1f "
	            "(target 11744: %s)\n", n, per_frame, bytes == 11744 * n ? "met" : "NOT met");
	stop_loop(ra);
	stop_loop(rb);
	remove_tree(home);
}

void
print_spread(const char *what, int runs, std::vector<double> ms)
{
	std::sort(ms.begin(), ms.end());
	std::printf("%s over %d runs: median %.1f ms, min %.1f ms, max %.1f ms\n", what, runs, median(ms), ms.front(),
	            ms.back());
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

long
wake_ups(pid_t pid)
{
	return status_field(pid, "voluntary_ctxt_switches:") + status_field(pid, "nonvoluntary_ctxt_switches:");
}

// Waits until the applet has gone to sleep: no wake-up for 100 ms.
bool
settles(pid_t pid, double timeout_s = 5.0)
{
	return poll_until([&] {
		long w = wake_ups(pid);
		sleep_s(0.1);
		return wake_ups(pid) == w;
	}, timeout_s);
}

double
wake_rate(pid_t pid, double seconds)
{
	long w0 = wake_ups(pid);
	sleep_s(seconds);
	return static_cast<double>(wake_ups(pid) - w0) / seconds;
}

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

Window
map_cover(Display *dpy, int x, int y, int width, int height, bool fullscreen = false)
{
	Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), x, y, static_cast<unsigned>(width),
	                               static_cast<unsigned>(height), 0, 0, 0);
	if (fullscreen) {
		Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
		Atom full = XInternAtom(dpy, "_NET_WM_STATE_FULLSCREEN", False);
		XChangeProperty(dpy, w, state, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char *>(&full), 1);
	}
	XMapRaised(dpy, w);
	XSync(dpy, False);
	return w;
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
	*scratch_root = '\0';
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

const char *
verdict(bool met)
{
	return met ? "met" : "NOT met";
}

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

} // namespace

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
		count_side_by_side(arg);
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
	}
	else
		die("usage: probe run SECONDS [ROUNDS [OTHER_APPLET]] | probe syscalls SECONDS | probe start RUNS | "
		    "probe swallow RUNS | probe soak SECONDS | probe unseen SECONDS | probe uncover RUNS | "
		    "probe flood SECONDS | probe desktop SECONDS RUNS");
	return 0;
}
