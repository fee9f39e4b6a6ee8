// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the tests that run against a real X server: a private Xvfb
// per test, child processes that are always ended, bounded polling, and
// reading windows back.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>

struct xvfb_server {
	pid_t pid = -1;
	std::string name;            // ":N"
	Display *dpy = nullptr;      // the test's own connection
};

// Starts Xvfb with one screen of the given depth (and default visual
// class, when one is given); fails the test if it does not come up within
// ten seconds.
xvfb_server start_xvfb(int depth, int width = 320, int height = 240, int visual_class = -1);
void stop_xvfb(xvfb_server &x);

struct child_process {
	pid_t pid = -1;
	std::string stderr_path;     // what the child wrote on standard error
	std::string stdout_path;
};

// Runs `path` with the given argv (argv[0] included) and environment
// additions ("NAME=value"; "NAME=" with nothing after removes NAME).  With
// `broken_output`, standard output and error are pipes nobody reads.
child_process spawn(const std::string &path, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env = {}, bool broken_output = false);
// Exit status as waitpid reports it, or -1 if it did not end in time.
int wait_exit(child_process &c, double timeout_s);
void stop_child(child_process &c);
std::string read_file(const std::string &path);

// Polls every 10 ms until `cond` holds or the time is up.
bool poll_until(const std::function<bool()> &cond, double timeout_s);

// The window whose WM_CLASS res_class is `cls`, searched from the root
// down, or None.
Window find_by_class(Display *dpy, const char *cls);
Window find_by_class_below(Display *dpy, Window top, const char *cls);
Window first_child(Display *dpy, Window w);

// Pixel values of a rectangle of a window, row-major; empty if unreadable.
std::vector<unsigned long> read_pixels(Display *dpy, Window w, int x, int y, int width, int height);

// The pixel the server gives an RGB colour (16-bit channels) in the
// default colormap.
unsigned long alloc_pixel(Display *dpy, unsigned short r, unsigned short g, unsigned short b);

// Writes HOME/.fesk/quarvelrc with the given mode.
void write_settings_file(const std::string &home, const std::string &text, mode_t mode = 0644);

// A fresh temporary directory, removed with everything in it by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &path);
