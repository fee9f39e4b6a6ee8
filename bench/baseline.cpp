// SPDX-License-Identifier: GPL-2.0-or-later
// The baseline loop: the X requests one applet frame makes (drain events,
// upload a 54x54 image, drain exposures and copy the pixmap into two
// windows, sleep 10 ms) with no rendering, to tell the applet's own cost
// from the cost of just being a 100-frames-a-second X client.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

int
main()
{
	Display *dpy = XOpenDisplay(nullptr);
	if (!dpy) {
		std::fputs("baseline: cannot open display\n", stderr);
		return 1;
	}
	int screen = DefaultScreen(dpy);
	Window root = RootWindow(dpy, screen);
	int depth = DefaultDepth(dpy, screen);
	unsigned long black = BlackPixel(dpy, screen), white = WhitePixel(dpy, screen);
	Window main_window = XCreateSimpleWindow(dpy, root, 0, 0, 64, 64, 1, black, white);
	Window icon = XCreateSimpleWindow(dpy, main_window, 0, 0, 64, 64, 1, black, white);
	long mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ExposureMask | StructureNotifyMask;
	XSelectInput(dpy, main_window, mask);
	XSelectInput(dpy, icon, mask);
	XMapWindow(dpy, main_window);
	Pixmap pixmap = XCreatePixmap(dpy, root, 64, 64, static_cast<unsigned>(depth));
	GC gc = XCreateGC(dpy, root, 0, nullptr);
	XImage *image = XCreateImage(dpy, DefaultVisual(dpy, screen), static_cast<unsigned>(depth), ZPixmap,
	                             0, nullptr, 54, 54, depth == 8 ? 8 : 32, 0);
	image->data = static_cast<char *>(std::calloc(static_cast<std::size_t>(image->bytes_per_line), 54));
	for (;;) {
		XEvent ev;
		while (XPending(dpy))
			XNextEvent(dpy, &ev);
		XPutImage(dpy, pixmap, gc, image, 0, 0, 5, 5, 54, 54);
		for (Window w : { icon, main_window }) {
			while (XCheckTypedWindowEvent(dpy, w, Expose, &ev))
				;
			XCopyArea(dpy, pixmap, w, gc, 0, 0, 64, 64, 0, 0);
		}
		timespec ts = { 0, 10000000 };
		nanosleep(&ts, nullptr);
	}
}
