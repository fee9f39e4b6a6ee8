// SPDX-License-Identifier: GPL-2.0-or-later
// gtest before any X header: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "x_support.h"

#include <X11/Xutil.h>

#include <csignal>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <stdexcept>

namespace {

// Windows of other clients (a window manager's above all) come and go
// between a query and the next request about them, so an X error here is a
// race to poll through, not a reason for Xlib to end the test process.
int
tolerate_x_error(Display *, XErrorEvent *)
{
	return 0;
}

} // namespace

xvfb_server
start_xvfb(int depth, int width, int height, int visual_class)
{
	// Once: a handler a test sets up later (the toolkit's) stays.
	static bool tolerant = XSetErrorHandler(tolerate_x_error) || true;
	(void)tolerant;
	xvfb_server x;
	std::string error;
	// Thrown, not added as a failure: callers, fixture constructors among
	// them, would go on with no display and crash.  GoogleTest fails the
	// test with the reason and runs its tear-down.
	if (!xvfb_start(x, error, depth, width, height, visual_class))
		throw std::runtime_error(error);
	return x;
}

void
stop_child(child_process &c)
{
	// In the sanitizer build a child's report lands on its standard error.
	std::string err = end_child(c);
	for (const char *mark : { "runtime error:", "Sanitizer" })
		if (err.find(mark) != std::string::npos)
			ADD_FAILURE() << "sanitizer report from a child:\n" << err;
}

unsigned long
alloc_pixel(Display *dpy, unsigned short r, unsigned short g, unsigned short b)
{
	XColor c{};
	c.red = r;
	c.green = g;
	c.blue = b;
	c.flags = DoRed | DoGreen | DoBlue;
	if (!XAllocColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), &c))
		ADD_FAILURE() << "cannot allocate a colour";
	return c.pixel;
}

pid_t
fork_client(const std::string &display, const std::function<void(Display *)> &act)
{
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (Display *d = XOpenDisplay(display.c_str()))
			act(d);
		_exit(1);
	}
	return pid;
}

void
end_client(pid_t pid)
{
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
}

void
compositing(const xvfb_server &x, child_process &compositor, bool on)
{
	if (on)
		compositor = spawn("/usr/bin/xcompmgr", { "xcompmgr" }, { "DISPLAY=" + x.name });
	else
		stop_child(compositor);
	Atom cm = XInternAtom(x.dpy, "_NET_WM_CM_S0", False);
	if (!poll_until([&] { return (XGetSelectionOwner(x.dpy, cm) != None) == on; }, 5.0))
		ADD_FAILURE() << "xcompmgr did not " << (on ? "start" : "stop");
}

void
write_settings_file(const std::string &home, const std::string &text, mode_t mode)
{
	std::string dir = home + "/.fesk";
	mkdir(dir.c_str(), 0700);
	std::ofstream(dir + "/quarvelrc", std::ios::binary) << text;
	chmod((dir + "/quarvelrc").c_str(), mode);
}
