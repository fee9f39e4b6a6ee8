// SPDX-License-Identifier: GPL-2.0-or-later
// The probe's shared helpers; see probe_common.h.
#include "probe_common.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

} // namespace

const char *applet_path = QUARVEL_BINARY;

xvfb_server
start_server(int width, int height)
{
	xvfb_server x;
	std::string error;
	if (!xvfb_start(x, error, 24, width, height))
		die(error);
	return x;
}

child_process
start_client(const char *path, const xvfb_server &x, const std::string &home, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = { "quarvel" };
	argv.insert(argv.end(), args.begin(), args.end());
	return spawn(path, argv, { "DISPLAY=" + x.name, "HOME=" + home });
}

loop_run
start_loop(const char *path, const std::string &home, const std::vector<std::string> &args)
{
	loop_run r;
	r.x = start_server();
	r.proc = start_client(path, r.x, home, args);
	return r;
}

void
stop_loop(loop_run &r)
{
	end_child(r.proc);
	xvfb_stop(r.x);
}

Window
wait_for_applet(Display *dpy)
{
	Window w = None;
	if (!poll_until([&] { return (w = find_by_class(dpy, "quarvel")) != None; }, 5.0))
		die("the applet did not come up");
	return w;
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

void
leave_scratch()
{
	*scratch_root = '\0';
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

long
wake_ups(pid_t pid)
{
	return status_field(pid, "voluntary_ctxt_switches:") + status_field(pid, "nonvoluntary_ctxt_switches:");
}

bool
settles(pid_t pid, double timeout_s)
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

int
scale_of(const std::vector<std::string> &args)
{
	int scale = 1;
	for (std::size_t i = 0; i + 1 < args.size(); i++)
		if (args[i] == "--scale")
			scale = std::atoi(args[i + 1].c_str());
	return scale;
}

std::vector<unsigned long>
read_scaled_well(Display *dpy, Window w, int scale)
{
	if (scale == 1)
		return read_well(dpy, w);
	int side = well_side * scale;
	std::vector<unsigned long> all = read_pixels(dpy, w, well_origin * scale, well_origin * scale, side, side);
	std::vector<unsigned long> well;
	if (all.empty())
		return well;
	auto at = [&](int x, int y) { return all[static_cast<std::size_t>(y * side + x)]; };
	for (int y = 0; y < side; y++)
		for (int x = 0; x < side; x++)
			if (at(x, y) != at(x - x % scale, y - y % scale))
				return well;
	for (int y = 0; y < side; y += scale)
		for (int x = 0; x < side; x += scale)
			well.push_back(at(x, y));
	return well;
}

bool
drawn_at_scale(Display *dpy, Window w, int scale)
{
	XWindowAttributes wa;
	if (!XGetWindowAttributes(dpy, w, &wa))
		die("the applet's window went");
	int side = 64 * scale;
	if (wa.width == side && wa.height == side)
		return true;
	std::printf("at --scale %d the applet's window is %dx%d, not %dx%d: NOT met\n", scale, wa.width, wa.height,
	            side, side);
	return false;
}

frame_counter::frame_counter(Display *d, Window win, const std::vector<std::vector<unsigned long>> &f, int s)
	: dpy(d), w(win), frames(f), scale(s), last(frame_number(read_scaled_well(d, win, s), f))
{
}

bool
frame_counter::sample()
{
	int n = frame_number(read_scaled_well(dpy, w, scale), frames);
	if (n >= 0 && last >= 0)
		count += (n - last + cycle) % cycle;
	last = n;
	return n >= 0;
}

bool
frame_counter::next()
{
	sample();
	int from = last;
	for (double end = now_s() + 2.0; now_s() < end;)
		if (sample() && last != from)
			return true;
	return false;
}

// strace -c attached to `pid` for `seconds`.  Attaching lands in a sleep,
// which shows as restart_syscall and is not counted.  With `drawn`, the
// frames are those the window showed from the attach to the detach, which
// /proc/PID/status shows as TracerPid; whatever call the applet sleeps in.
syscall_count
count_syscalls(pid_t pid, double seconds, frame_counter *drawn)
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

std::string
calls_text(const syscall_count &a)
{
	std::vector<std::pair<std::string, long>> calls = a.calls;
	std::sort(calls.begin(), calls.end(), [](auto &l, auto &r) { return l.second > r.second; });
	std::string text;
	for (const auto &[name, n] : calls) {
		char each[64];
		std::snprintf(each, sizeof each, "%s%s %.2f", text.empty() ? "" : ", ", name.c_str(),
		              static_cast<double>(n) / static_cast<double>(a.frames));
		text += each;
	}
	return text;
}

double
print_applet_calls(const syscall_count &a)
{
	double rate = static_cast<double>(a.total) / static_cast<double>(a.frames);
	std::printf("  %-8s %7ld calls over %5ld frames drawn: %.2f a frame (%s)\n", "applet", a.total, a.frames, rate,
	            calls_text(a).c_str());
	return rate;
}

void
print_bytes_a_frame(pid_t applet, frame_counter &drawn, double seconds, int scale)
{
	constexpr long at_one = 11744;      // the well's image and two copies
	auto [bytes, n] = count_bytes(applet, drawn, seconds);
	double per_frame = static_cast<double>(bytes) / static_cast<double>(n);
	if (scale == 1) {
		std::printf("bytes the applet sends a frame at 24 bits, from /proc/PID/io over %ld frames: %.1f "
		            "(target %ld: %s)\n", n, per_frame, at_one, verdict(bytes == at_one * n));
		return;
	}
	// The image grows with the area; the requests around it do not.
	double times = per_frame / static_cast<double>(at_one);
	double want = static_cast<double>(scale * scale);
	std::printf("bytes the applet sends a frame at 24 bits and --scale %d, from /proc/PID/io over %ld frames: "
	            "%.1f, %.3f times %ld (target about %.0f times: %s)\n", scale, n, per_frame, times, at_one, want,
	            verdict(std::fabs(times - want) <= 0.025 * want));
}

double
median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	std::size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void
print_spread(const char *what, int runs, std::vector<double> ms)
{
	std::sort(ms.begin(), ms.end());
	std::printf("%s over %d runs: median %.1f ms, min %.1f ms, max %.1f ms\n", what, runs, median(ms), ms.front(),
	            ms.back());
}

const char *
verdict(bool met)
{
	return met ? "met" : "NOT met";
}

Window
map_cover(Display *dpy, int x, int y, int width, int height, bool fullscreen)
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
