// quarvel-shot: saves the visible 56x56 square of a running applet's window
// as a PNG, for `make run` on a machine without a display of its own.
//
//   quarvel-shot [-display NAME] [-scale N] [-wait SECONDS] OUT.png
//
// It waits for a top-level window whose class is "quarvel", reads the
// square back from the X server and writes it through libpng.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

namespace {

constexpr int square_origin = 4;
constexpr int square_side = 56;

[[noreturn]] void
die(const char *msg, const char *arg = "")
{
	std::fprintf(stderr, "quarvel-shot: %s%s\n", msg, arg);
	std::exit(1);
}

bool
has_applet_class(Display *dpy, Window w)
{
	XClassHint hint{};
	if (!XGetClassHint(dpy, w, &hint))
		return false;
	bool match = hint.res_class && std::strcmp(hint.res_class, "quarvel") == 0;
	XFree(hint.res_name);
	XFree(hint.res_class);
	return match;
}

Window
find_applet(Display *dpy)
{
	Window root_ret, parent, *children = nullptr;
	unsigned n = 0;
	Window found = None;
	if (XQueryTree(dpy, DefaultRootWindow(dpy), &root_ret, &parent, &children, &n)) {
		for (unsigned i = 0; i < n && found == None; i++)
			if (has_applet_class(dpy, children[i]))
				found = children[i];
		XFree(children);
	}
	return found;
}

void
write_png(const char *path, const std::vector<unsigned char> &rgb, int side)
{
	FILE *f = std::fopen(path, "wb");
	if (!f)
		die("cannot write ", path);
	png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
	png_infop info = png_create_info_struct(png);
	if (setjmp(png_jmpbuf(png)))
		die("libpng failed writing ", path);
	png_init_io(png, f);
	png_set_IHDR(png, info, static_cast<png_uint_32>(side), static_cast<png_uint_32>(side), 8,
	             PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
	             PNG_FILTER_TYPE_DEFAULT);
	png_write_info(png, info);
	for (int y = 0; y < side; y++)
		png_write_row(png, rgb.data() + static_cast<std::size_t>(y) * side * 3);
	png_write_end(png, nullptr);
	png_destroy_write_struct(&png, &info);
	if (std::fclose(f) != 0)
		die("cannot write ", path);
}

} // namespace

int
main(int argc, char *argv[])
{
	const char *display_name = nullptr, *out = nullptr;
	int scale = 4;
	double wait_s = 5.0;
	for (int i = 1; i < argc; i++) {
		if (!std::strcmp(argv[i], "-display") && i + 1 < argc)
			display_name = argv[++i];
		else if (!std::strcmp(argv[i], "-scale") && i + 1 < argc)
			scale = std::atoi(argv[++i]);
		else if (!std::strcmp(argv[i], "-wait") && i + 1 < argc)
			wait_s = std::atof(argv[++i]);
		else
			out = argv[i];
	}
	if (!out || scale < 1 || scale > 32)
		die("usage: quarvel-shot [-display NAME] [-scale 1..32] [-wait SECONDS] OUT.png");

	Display *dpy = XOpenDisplay(display_name);
	if (!dpy)
		die("cannot open display ", XDisplayName(display_name));

	Window w = None;
	for (double waited = 0; (w = find_applet(dpy)) == None && waited < wait_s; waited += 0.05) {
		timespec ts = { 0, 50000000 };
		nanosleep(&ts, nullptr);
	}
	if (w == None)
		die("no quarvel window on ", XDisplayName(display_name));

	XImage *img = XGetImage(dpy, w, square_origin, square_origin, square_side, square_side,
	                        AllPlanes, ZPixmap);
	if (!img)
		die("cannot read the window back");

	// Pixel values to colours through the screen's colormap, once per value.
	Colormap cmap = DefaultColormap(dpy, DefaultScreen(dpy));
	std::map<unsigned long, XColor> colours;
	for (int y = 0; y < square_side; y++)
		for (int x = 0; x < square_side; x++)
			colours[XGetPixel(img, x, y)].pixel = XGetPixel(img, x, y);
	std::vector<XColor> query;
	for (auto &kv : colours)
		query.push_back(kv.second);
	XQueryColors(dpy, cmap, query.data(), static_cast<int>(query.size()));
	for (auto &c : query)
		colours[c.pixel] = c;

	int side = square_side * scale;
	std::vector<unsigned char> rgb(static_cast<std::size_t>(side) * side * 3);
	for (int y = 0; y < side; y++)
		for (int x = 0; x < side; x++) {
			const XColor &c = colours[XGetPixel(img, x / scale, y / scale)];
			unsigned char *p = &rgb[(static_cast<std::size_t>(y) * side + x) * 3];
			p[0] = static_cast<unsigned char>(c.red >> 8);
			p[1] = static_cast<unsigned char>(c.green >> 8);
			p[2] = static_cast<unsigned char>(c.blue >> 8);
		}
	write_png(out, rgb, side);
	XDestroyImage(img);
	XCloseDisplay(dpy);
	return 0;
}
