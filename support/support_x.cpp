// SPDX-License-Identifier: GPL-2.0-or-later
// The X side of the shared helpers; see support_x.h.
#include "support_x.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads Xvfb's display number up to the line feed: closing the pipe before
// would kill it with SIGPIPE when it writes the rest.
std::string
read_display_number(int fd, double timeout_s)
{
	std::string got;
	double end = now_s() + timeout_s;
	while (now_s() < end) {
		pollfd p = { fd, POLLIN, 0 };
		if (poll(&p, 1, 100) <= 0)
			continue;
		char buf[32];
		ssize_t n = read(fd, buf, sizeof buf);
		if (n <= 0)
			break;
		got.append(buf, static_cast<std::size_t>(n));
		if (got.find('\n') != std::string::npos)
			return got.substr(0, got.find('\n'));
	}
	return "";
}

} // namespace

bool
xvfb_start(xvfb_server &x, std::string &error, int depth, int width, int height, int visual_class)
{
	x = {};
	int fds[2];
	if (pipe(fds) != 0) {
		error = std::string("pipe: ") + std::strerror(errno);
		return false;
	}
	std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
	x.pid = fork();
	if (x.pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);      // no server outlives us
		close(fds[0]);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		std::string fd = std::to_string(fds[1]);
		std::string cls = std::to_string(visual_class);
		const char *argv[] = { "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
		                       "-nolisten", "tcp", "-noreset", "-cc", cls.c_str(), nullptr };
		if (visual_class < 0)
			argv[9] = nullptr;
		execvp("Xvfb", const_cast<char **>(argv));
		_exit(127);
	}
	if (x.pid < 0) {
		error = std::string("fork: ") + std::strerror(errno);
		close(fds[0]);
		close(fds[1]);
		return false;
	}
	close(fds[1]);
	std::string number = read_display_number(fds[0], 10.0);
	close(fds[0]);
	if (number.empty()) {
		kill(x.pid, SIGTERM);
		int status = 0;
		waitpid(x.pid, &status, 0);
		x.pid = -1;
		// 127: the child's exec failed.
		if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
			error = "Xvfb could not be run (is it installed? Debian: xvfb)";
		else
			error = "Xvfb at depth " + std::to_string(depth) + " did not start";
		return false;
	}
	x.name = ":" + number;
	if (!(x.dpy = XOpenDisplay(x.name.c_str()))) {
		error = "cannot connect to " + x.name;
		xvfb_stop(x);
		return false;
	}
	return true;
}

void
xvfb_stop(xvfb_server &x)
{
	if (x.dpy)
		XCloseDisplay(x.dpy);
	x.dpy = nullptr;
	if (x.pid > 0) {
		kill(x.pid, SIGTERM);
		waitpid(x.pid, nullptr, 0);
	}
	x.pid = -1;
}

Window
find_by_class(Display *dpy, const char *cls, Window top)
{
	if (top == None)
		top = DefaultRootWindow(dpy);
	Window root_ret, parent, *children = nullptr;
	unsigned n = 0;
	Window found = None;
	if (!XQueryTree(dpy, top, &root_ret, &parent, &children, &n))
		return None;
	for (unsigned i = 0; i < n && found == None; i++) {
		XClassHint hint{};
		if (XGetClassHint(dpy, children[i], &hint)) {
			if (hint.res_class && std::strcmp(hint.res_class, cls) == 0)
				found = children[i];
			XFree(hint.res_name);
			XFree(hint.res_class);
		}
	}
	// A window manager may have put it in a frame of its own.
	for (unsigned i = 0; i < n && found == None; i++)
		found = find_by_class(dpy, cls, children[i]);
	XFree(children);
	return found;
}

Window
first_child(Display *dpy, Window w)
{
	Window root_ret, parent, *children = nullptr;
	unsigned n = 0;
	Window found = None;
	if (XQueryTree(dpy, w, &root_ret, &parent, &children, &n) && n > 0)
		found = children[0];
	XFree(children);
	return found;
}

std::vector<unsigned long>
read_pixels(Display *dpy, Window w, int x, int y, int width, int height)
{
	std::vector<unsigned long> out;
	XImage *img = XGetImage(dpy, w, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height),
	                        AllPlanes, ZPixmap);
	if (!img)
		return out;
	out.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
	for (int r = 0; r < height; r++)
		for (int c = 0; c < width; c++)
			out.push_back(XGetPixel(img, c, r));
	XDestroyImage(img);
	return out;
}

std::vector<unsigned long>
read_well(Display *dpy, Window w)
{
	return read_pixels(dpy, w, well_origin, well_origin, well_side, well_side);
}

bool
wm_announced(Display *dpy)
{
	Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
	Atom type;
	int format;
	unsigned long n = 0, left;
	unsigned char *data = nullptr;
	bool up = XGetWindowProperty(dpy, DefaultRootWindow(dpy), check, 0, 1, False, XA_WINDOW, &type, &format,
	                             &n, &left, &data) == Success && n == 1;
	XFree(data);
	return up;
}

std::string
fluxbox_headless_config(const std::string &home)
{
	mkdir((home + "/.fluxbox").c_str(), 0700);
	std::ofstream(home + "/.fluxbox/init") << "session.screen0.toolbar.visible: false\n";
	std::ofstream(home + "/.fluxbox/overlay") << "background: none\n";
	return home + "/.fluxbox/init";
}

long
applet_commands_done(Display *dpy)
{
	Atom selection = XInternAtom(dpy, "_QUARVEL_S0", False);
	Window helper = XGetSelectionOwner(dpy, selection);
	if (helper == None)
		return -1;
	Atom type;
	int format;
	unsigned long count = 0, left;
	unsigned char *data = nullptr;
	long done = 0;
	if (XGetWindowProperty(dpy, helper, selection, 0, 1, False, XA_CARDINAL, &type, &format, &count, &left,
	                       &data) == Success && data && type == XA_CARDINAL && format == 32 && count == 1)
		done = static_cast<long>(*reinterpret_cast<unsigned long *>(data));
	XFree(data);
	return done;
}

void
switch_desktop(Display *dpy, long desk)
{
	XEvent ev{};
	ev.xclient.type = ClientMessage;
	ev.xclient.window = DefaultRootWindow(dpy);
	ev.xclient.message_type = XInternAtom(dpy, "_NET_CURRENT_DESKTOP", False);
	ev.xclient.format = 32;
	ev.xclient.data.l[0] = desk;
	ev.xclient.data.l[1] = CurrentTime;
	XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
	XFlush(dpy);
}
