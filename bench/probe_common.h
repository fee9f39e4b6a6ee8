// SPDX-License-Identifier: GPL-2.0-or-later
// What the probe's measurements share: loops on private Xvfb servers, the
// scratch directories, CPU and wake-ups of a process, the frames a window
// shows, system calls and bytes a frame, and the figures' summaries.  Each
// probe_*.cpp holds the measurements of one kind; probe.cpp picks one.
#pragma once

#include "support_x.h"

#include <string>
#include <utility>
#include <vector>

// The applet measured: QUARVEL_APPLET names another build, say an older
// one beside the baseline.
extern const char *applet_path;
inline constexpr const char *baseline_path = BASELINE_BINARY;
inline constexpr int cycle = 854;     // default offsets repeat after this many frames

// One loop under measurement: its own Xvfb, and its process.
struct loop_run {
	xvfb_server x;
	child_process proc;
};

xvfb_server start_server(int width = 320, int height = 240);
// `args` go to the program after its name.
child_process start_client(const char *path, const xvfb_server &x, const std::string &home,
                           const std::vector<std::string> &args = {});
loop_run start_loop(const char *path, const std::string &home, const std::vector<std::string> &args = {});
void stop_loop(loop_run &r);
// The applet's main window, once it is up.
Window wait_for_applet(Display *dpy);

// A fresh directory under the probe's scratch directory, which goes at
// exit, also when the probe dies half-way.
std::string temp_dir();
// In a forked child: the scratch directories stay the probe's, removed by
// neither a signal nor exit() of the child.
void leave_scratch();

// CPU seconds a process has used, to the nanosecond.
double cpu_s(pid_t pid);
long status_field(pid_t pid, const char *name);
// Voluntary and involuntary context switches.
long wake_ups(pid_t pid);
// Waits until the process has gone to sleep: no wake-up for 100 ms.
bool settles(pid_t pid, double timeout_s = 5.0);
double wake_rate(pid_t pid, double seconds);

// The frames of one cycle of the default animation as 24-bit pixels, and
// which of them `well` is (-1 for none).
std::vector<std::vector<unsigned long>> cycle_frames();
int frame_number(const std::vector<unsigned long> &well, const std::vector<std::vector<unsigned long>> &frames);
// The N of the applet's arguments "--scale N" (the last one), or 1.
int scale_of(const std::vector<std::string> &args);
// The well of a window drawn at `scale`, each frame pixel an N x N block,
// one pixel a block; empty when unreadable or a block is not of one colour.
std::vector<unsigned long> read_scaled_well(Display *dpy, Window w, int scale);
// Whether the applet's window is 64N x 64N for `scale` N; if not, says so
// against the target.
bool drawn_at_scale(Display *dpy, Window w, int scale);

// Counts the frames an applet draws by the frame its window shows, however
// it sleeps between them: sampled at most a few seconds apart, less than a
// cycle passes between two samples.
struct frame_counter {
	Display *dpy;
	Window w;
	const std::vector<std::vector<unsigned long>> &frames;
	int scale;
	int last = -1;
	long count = 0;

	frame_counter(Display *d, Window win, const std::vector<std::vector<unsigned long>> &f, int s = 1);
	// False when the window shows no frame of the animation.
	bool sample();
	// Waits for the next frame on the window, read back as fast as the
	// server answers: right after it shows, the applet has written that
	// frame and, 10 ms from the next, not yet the next.
	bool next();
};

// What strace -c counted while attached to a loop: every call, the sleeps
// among them, each call by name, and the frames the applet drew meanwhile
// (-1 for the baseline, which draws none of the animation).
struct syscall_count {
	long total = -1, sleeps = 0, frames = -1;
	std::vector<std::pair<std::string, long>> calls;
};

syscall_count count_syscalls(pid_t pid, double seconds, frame_counter *drawn = nullptr);
long bytes_between_frames(pid_t pid, frame_counter &drawn);
// The bytes the applet writes a frame, over whole frames: bytes, frames.
std::pair<long, long> count_bytes(pid_t pid, frame_counter &drawn, double seconds);
// Each call a frame, the most frequent first: "ppoll 1.00, writev 1.00".
std::string calls_text(const syscall_count &a);
// The applet's line of system calls a frame, by call; returns the rate.
double print_applet_calls(const syscall_count &a);
// The bytes the applet sends a frame over `seconds`, against the target
// for its `scale`: 11,744 at 24 bits, about N x N times that at N.
void print_bytes_a_frame(pid_t applet, frame_counter &drawn, double seconds, int scale);

double median(std::vector<double> v);
void print_spread(const char *what, int runs, std::vector<double> ms);
const char *verdict(bool met);

// An opaque window mapped on top, set up before it is mapped.
Window map_cover(Display *dpy, int x, int y, int width, int height, bool fullscreen = false);

// The measurements, each a mode of the probe (see probe.cpp).
void run_side_by_side(double seconds, int rounds, const char *other);
void count_side_by_side(double seconds, const std::vector<std::string> &applet_args);
void time_first_frame(int runs);
void time_swallow(int runs);
void soak(double seconds);
void measure_unseen(double seconds);
void time_uncover(int runs);
void measure_desktop(const std::string &wm, double seconds, int runs);
void measure_flood(int type, double seconds);
void measure_reparent(double seconds);
// `old`, another build of the applet, is the one the saving is measured
// against; without it that figure is not measured.
void measure_compositor(const std::string &name, double seconds, int rounds, const char *old);
