// SPDX-License-Identifier: GPL-2.0-or-later
// quarvel-shot: records what a running applet shows, read back from the X
// server, for `make run` on a machine without a display of its own.
//
//   quarvel-shot [-display NAME] [-scale N] [-seconds S] [-gif OUT.gif] [-png OUT.png]
//
// It waits for a top-level window of class "quarvel" and records the part
// of the screen that shows it: the dock or slit holding its icon window,
// or the window itself without one, with a margin of the desktop around,
// so the frame and the shaped corners show as a user sees them.  It writes
// a still PNG and an animated GIF of S seconds.
#include "image_out.h"
#include "support_x.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

constexpr int margin = 6;             // pixels of desktop around the dock
constexpr int capture_interval_cs = 2;

Display *dpy;

// The palette the captures are written with, and the index each pixel
// value got.
struct capture_palette {
	rgb_palette colours;
	int used;
	std::map<unsigned long, std::uint8_t> index_of_pixel;
};

bool
viewable(Window w)
{
	XWindowAttributes wa;
	return XGetWindowAttributes(dpy, w, &wa) && wa.map_state == IsViewable;
}

// The window the user sees: the icon window once a dock has swallowed it.
Window
shown_window(Window main_window)
{
	Window shown = main_window;
	if (XWMHints *hints = XGetWMHints(dpy, main_window)) {
		if ((hints->flags & IconWindowHint) && viewable(hints->icon_window))
			shown = hints->icon_window;
		XFree(hints);
	}
	return shown;
}

struct screen_area {
	int x, y, width, height;
};

// The rectangle of the top-level window that holds `shown` (the slit, the
// dock, or the applet's own window), with the margin, within the screen.
screen_area
holder_area(Window shown)
{
	Window root = DefaultRootWindow(dpy), top = shown;
	for (;;) {
		Window r, parent, *children;
		unsigned int n;
		if (!XQueryTree(dpy, top, &r, &parent, &children, &n))
			die("the applet's window went away");
		if (children)
			XFree(children);
		if (parent == root)
			break;
		top = parent;
	}
	XWindowAttributes wa;
	if (!XGetWindowAttributes(dpy, top, &wa))
		die("the applet's window went away");
	int side = 2 * wa.border_width;
	int x0 = std::max(0, wa.x - margin), y0 = std::max(0, wa.y - margin);
	int x1 = std::min(DisplayWidth(dpy, DefaultScreen(dpy)), wa.x + wa.width + side + margin);
	int y1 = std::min(DisplayHeight(dpy, DefaultScreen(dpy)), wa.y + wa.height + side + margin);
	return { x0, y0, x1 - x0, y1 - y0 };
}

// A palette index for a pixel value, adding its colour to the palette the
// first time; past 256 colours the nearest one already there serves.
std::uint8_t
index_for(capture_palette &p, unsigned long pixel)
{
	auto it = p.index_of_pixel.find(pixel);
	if (it != p.index_of_pixel.end())
		return it->second;
	XColor c{};
	c.pixel = pixel;
	XQueryColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), &c);
	std::array<std::uint8_t, 3> rgb = { static_cast<std::uint8_t>(c.red >> 8),
	                                    static_cast<std::uint8_t>(c.green >> 8),
	                                    static_cast<std::uint8_t>(c.blue >> 8) };
	std::uint8_t index = 0;
	if (p.used < 256) {
		index = static_cast<std::uint8_t>(p.used++);
		p.colours[index] = rgb;
	} else {
		long best = -1;
		for (int i = 0; i < 256; i++) {
			long d = 0;
			for (int k = 0; k < 3; k++)
				d += (p.colours[i][k] - rgb[k]) * (p.colours[i][k] - rgb[k]);
			if (best < 0 || d < best) {
				best = d;
				index = static_cast<std::uint8_t>(i);
			}
		}
	}
	p.index_of_pixel[pixel] = index;
	return index;
}

// What the screen shows in the area, read from the root window.
std::vector<std::uint8_t>
capture(capture_palette &p, const screen_area &a)
{
	XImage *img = XGetImage(dpy, DefaultRootWindow(dpy), a.x, a.y, static_cast<unsigned>(a.width),
	                        static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
	if (!img)
		die("cannot read the screen back");
	std::vector<std::uint8_t> frame(static_cast<std::size_t>(a.width * a.height));
	for (int y = 0; y < a.height; y++)
		for (int x = 0; x < a.width; x++)
			frame[static_cast<std::size_t>(y * a.width + x)] = index_for(p, XGetPixel(img, x, y));
	XDestroyImage(img);
	return frame;
}

} // namespace

int
main(int argc, char *argv[])
{
	const char *display_name = nullptr, *gif_path = nullptr, *png_path = nullptr;
	int scale = 4;
	double seconds = 3.0;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string a = argv[i];
		if (a == "-display")
			display_name = argv[i + 1];
		else if (a == "-scale")
			scale = std::atoi(argv[i + 1]);
		else if (a == "-seconds")
			seconds = std::atof(argv[i + 1]);
		else if (a == "-gif")
			gif_path = argv[i + 1];
		else if (a == "-png")
			png_path = argv[i + 1];
		else
			die("unknown argument " + a);
	}
	if ((!gif_path && !png_path) || scale < 1 || scale > 16 || !(seconds > 0 && seconds <= 60))
		die("usage: quarvel-shot [-display NAME] [-scale 1..16] [-seconds S] [-gif OUT.gif] [-png OUT.png]");

	if (!(dpy = XOpenDisplay(display_name)))
		die(std::string("cannot open display ") + XDisplayName(display_name));
	Window applet = None;
	if (!poll_until([&] { return (applet = find_by_class(dpy, "quarvel")) != None; }, 5.0))
		die(std::string("no quarvel window on ") + XDisplayName(display_name));
	screen_area area = holder_area(shown_window(applet));

	std::string error;
	capture_palette palette{};
	std::vector<std::vector<std::uint8_t>> frames;
	frames.push_back(capture(palette, area));
	if (gif_path) {
		double next = now_s();
		for (double end = next + seconds; next < end;) {
			next += capture_interval_cs / 100.0;
			sleep_s(next - now_s());
			frames.push_back(capture(palette, area));
		}
		gif_stream gif;
		if (!gif_begin(gif, gif_path, area.width * scale, area.height * scale, palette.colours, error))
			die(error);
		bool ok = true;
		for (const auto &f : frames)
			ok = ok && gif_add_frame(gif, f.data(), area.width, area.height, scale,
			                         capture_interval_cs, error);
		std::string end_error;
		if (!gif_end(gif, ok, end_error))
			die(ok ? end_error : error);
	}
	if (png_path && !png_write_indexed(png_path, frames[0].data(), area.width, area.height, scale,
	                                   palette.colours, error))
		die(error);
	XCloseDisplay(dpy);
	return 0;
}
