// SPDX-License-Identifier: GPL-2.0-or-later
// gtest first: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "x_support.h"

#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

void
sleep_ms(int ms)
{
	timespec ts = { ms / 1000, (ms % 1000) * 1000000L };
	nanosleep(&ts, nullptr);
}

double
now_s()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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

// Windows of other clients (a window manager's above all) come and go
// between a query and the next request about them, so an X error here is a
// race to poll through, not a reason for Xlib to end the test process.
int
tolerate_x_error(Display *, XErrorEvent *)
{
	return 0;
}

// A child ends with the test process, even when that dies unexpectedly.
void
die_with_parent()
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
}

} // namespace

xvfb_server
start_xvfb(int depth, int width, int height, int visual_class)
{
	XSetErrorHandler(tolerate_x_error);
	xvfb_server x;
	int fds[2];
	if (pipe(fds) != 0) {
		ADD_FAILURE() << "pipe: " << std::strerror(errno);
		return x;
	}
	std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
	x.pid = fork();
	if (x.pid == 0) {
		die_with_parent();
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
	close(fds[1]);
	std::string number = read_display_number(fds[0], 10.0);
	close(fds[0]);
	if (number.empty()) {
		ADD_FAILURE() << "Xvfb at depth " << depth << " did not start";
		stop_xvfb(x);
		return x;
	}
	x.name = ":" + number;
	x.dpy = XOpenDisplay(x.name.c_str());
	if (!x.dpy)
		ADD_FAILURE() << "cannot connect to " << x.name;
	return x;
}

void
stop_xvfb(xvfb_server &x)
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

child_process
spawn(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &env,
      bool broken_output)
{
	child_process c;
	static int serial;
	std::string base = "/tmp/quarvel-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
	c.stderr_path = base + ".err";
	c.stdout_path = base + ".out";
	c.pid = fork();
	if (c.pid == 0) {
		die_with_parent();
		for (const auto &e : env) {
			auto eq = e.find('=');
			std::string name = e.substr(0, eq);
			if (eq + 1 == e.size())
				unsetenv(name.c_str());
			else
				setenv(name.c_str(), e.c_str() + eq + 1, 1);
		}
		int out = open(c.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int err = open(c.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int unread[2];
		if (broken_output && pipe(unread) == 0) {
			close(unread[0]);
			out = err = unread[1];
		}
		dup2(out, 1);
		dup2(err, 2);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execve(path.c_str(), args.data(), environ);
		_exit(127);
	}
	return c;
}

int
wait_exit(child_process &c, double timeout_s)
{
	int status = -1;
	double end = now_s() + timeout_s;
	while (c.pid > 0) {
		pid_t r = waitpid(c.pid, &status, WNOHANG);
		if (r == c.pid) {
			c.pid = -1;
			return status;
		}
		if (now_s() > end)
			return -1;
		sleep_ms(5);
	}
	return -1;
}

void
stop_child(child_process &c)
{
	if (c.pid > 0) {
		kill(c.pid, SIGKILL);
		waitpid(c.pid, nullptr, 0);
		c.pid = -1;
	}
	// In the sanitizer build a child's report lands on its standard error.
	std::string err = read_file(c.stderr_path);
	for (const char *mark : { "runtime error:", "Sanitizer" })
		if (err.find(mark) != std::string::npos)
			ADD_FAILURE() << "sanitizer report from a child:\n" << err;
	unlink(c.stderr_path.c_str());
	unlink(c.stdout_path.c_str());
}

std::string
read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

bool
poll_until(const std::function<bool()> &cond, double timeout_s)
{
	double end = now_s() + timeout_s;
	for (;;) {
		if (cond())
			return true;
		if (now_s() > end)
			return false;
		sleep_ms(10);
	}
}

Window
find_by_class(Display *dpy, const char *cls)
{
	return find_by_class_below(dpy, DefaultRootWindow(dpy), cls);
}

Window
find_by_class_below(Display *dpy, Window top, const char *cls)
{
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
		found = find_by_class_below(dpy, children[i], cls);
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
	out.reserve(static_cast<std::size_t>(width) * height);
	for (int r = 0; r < height; r++)
		for (int c = 0; c < width; c++)
			out.push_back(XGetPixel(img, c, r));
	XDestroyImage(img);
	return out;
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

std::string
make_temp_dir()
{
	char tmpl[] = "/tmp/quarvel-home-XXXXXX";
	const char *d = mkdtemp(tmpl);
	return d ? d : "";
}

void
remove_tree(const std::string &path)
{
	if (path.rfind("/tmp/quarvel-", 0) != 0)
		return;
	std::string cmd = "rm -rf '" + path + "'";
	if (std::system(cmd.c_str()) != 0)
		ADD_FAILURE() << "cannot remove " << path;
}

void
write_settings_file(const std::string &home, const std::string &text, mode_t mode)
{
	std::string dir = home + "/.fesk";
	mkdir(dir.c_str(), 0700);
	std::ofstream(dir + "/quarvelrc", std::ios::binary) << text;
	chmod((dir + "/quarvelrc").c_str(), mode);
}
