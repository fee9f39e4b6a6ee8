// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: set-up.  dock_open_window connects, builds the
// frame pixmap from the XPM data, the GC and the shape, takes the
// selection that makes one applet a screen, and maps the windows; it ends
// with one round trip, so an error of set-up is told during set-up.  The
// XPM reader and the GC are Xlib's; everything after goes through xcb.
// Colours are looked up and allocated here too.  To read on: windows.cpp,
// then connection.cpp.
#include "internal.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

// "rgb:R/G/B" with one to four hex digits each, which Xlib parses without
// asking the server; a malformed one it would send there.
bool
rgb_form(const char *name)
{
	if (strncasecmp(name, "rgb:", 4) != 0)
		return false;
	const char *p = name + 4;
	for (int field = 0; field < 3; field++) {
		int digits = 0;
		while (std::isxdigit(static_cast<unsigned char>(*p))) {
			p++;
			digits++;
		}
		if (digits < 1 || digits > 4 || *p != (field < 2 ? '/' : '\0'))
			return false;
		p++;
	}
	return true;
}

// The colour a name or "#RGB"/"rgb:" form gives, exactly; false when the
// name is unknown.  The numeric forms are parsed here, names by the
// server.
bool
parse_colour(const char *name, Colormap colormap, XColor &colour)
{
	if (name[0] == '#' || rgb_form(name))
		return XParseColor(dock_state.display, colormap, name, &colour);
	auto cookie = xcb_lookup_color(xcb(), colormap, static_cast<std::uint16_t>(std::strlen(name)), name);
	xcb_generic_error_t *error = nullptr;
	xcb_lookup_color_reply_t *found = xcb_lookup_color_reply(xcb(), cookie, &error);
	std::free(error);
	if (!found)
		return false;
	colour.red = found->exact_red;
	colour.green = found->exact_green;
	colour.blue = found->exact_blue;
	colour.flags = DoRed | DoGreen | DoBlue;
	std::free(found);
	return true;
}

bool
reply_pixel(xcb_alloc_color_cookie_t cookie, XColor &colour)
{
	xcb_generic_error_t *error = nullptr;
	xcb_alloc_color_reply_t *got = xcb_alloc_color_reply(xcb(), cookie, &error);
	std::free(error);
	if (!got)
		return false;
	colour.pixel = got->pixel;
	std::free(got);
	return true;
}

bool
alloc_colour(Colormap colormap, XColor &colour)
{
	return reply_pixel(xcb_alloc_color(xcb(), colormap, colour.red, colour.green, colour.blue), colour);
}

// The XPM reader's colour allocation: 1 allocated, 0 not, -1 unknown name.
int
xpm_alloc_colour(Display *, Colormap colormap, char *name, XColor *colour, void *)
{
	if (name && !parse_colour(name, colormap, *colour))
		return -1;
	return alloc_colour(colormap, *colour) ? 1 : 0;
}

const char *instance;                 // dock_set_instance's, or null

} // namespace

void
dock_set_instance(const char *id)
{
	instance = id;
}

void
dock_fatal(int status, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	std::vfprintf(stderr, format, args);
	va_end(args);
	std::exit(status);
}

void
dock_open_window(int argc, char *argv[], const char *display_name, const char *const xpm_data[],
                 const unsigned char *mask_bits, int mask_width, int mask_height)
{
	dock_state_record &ds = dock_state;
	if (!(ds.display = XOpenDisplay(display_name)))
		dock_fatal(1, "%s: can't open display %s\n", argv[0], XDisplayName(display_name));
	connection_start();
	ds.screen = DefaultScreen(ds.display);
	ds.root = RootWindow(ds.display, ds.screen);
	windows_start();

	ds.xpm_attributes.valuemask |= XpmReturnPixels | XpmReturnExtensions | XpmAllocColor;
	ds.xpm_attributes.alloc_color = xpm_alloc_colour;
	// The XPM reader takes char ** but never writes through it.
	if (XpmCreatePixmapFromData(ds.display, ds.root, const_cast<char **>(xpm_data),
	                            &ds.frame_pixmap, &ds.frame_pixmap_mask,
	                            &ds.xpm_attributes) != XpmSuccess)
		dock_fatal(1, "Not enough free colorcells.\n");
	ds.white_pixel = dock_get_color("white");
	ds.black_pixel = dock_get_color("black");

	ds.size_hints.flags = USSize | USPosition;
	int gx, gy, gw, gh, gravity;
	XWMGeometry(ds.display, ds.screen, "", nullptr, 1, &ds.size_hints, &gx, &gy, &gw, &gh, &gravity);
	ds.size_hints.x = gx;
	ds.size_hints.y = gy;
	ds.size_hints.width = mask_width;
	ds.size_hints.height = mask_height;

	// Made on the root window, so they outlive every pair of windows.
	XGCValues gcv;
	gcv.foreground = ds.black_pixel;
	gcv.background = ds.white_pixel;
	gcv.graphics_exposures = False;
	ds.normal_gc = XCreateGC(ds.display, ds.root, GCForeground | GCBackground | GCGraphicsExposures, &gcv);
	ds.shape_mask = XCreateBitmapFromData(ds.display, ds.root,
	                                      reinterpret_cast<const char *>(mask_bits),
	                                      static_cast<unsigned>(mask_width),
	                                      static_cast<unsigned>(mask_height));
	char selection[128];
	if (instance)
		std::snprintf(selection, sizeof selection, "_QUARVEL_S%d_%s", ds.screen, instance);
	else
		std::snprintf(selection, sizeof selection, "_QUARVEL_S%d", ds.screen);
	int xfixes_event = connection_take_selection(selection);
	windows_create(argc, argv);
	cover_start(xfixes_event);
	XSync(ds.display, False);
}

unsigned long
dock_get_color(const char *name)
{
	xcb_get_window_attributes_reply_t *root = xcb_get_window_attributes_reply(
		xcb(), xcb_get_window_attributes(xcb(), dock_state.root), nullptr);
	Colormap colormap = root ? root->colormap : DefaultColormap(dock_state.display, dock_state.screen);
	std::free(root);
	XColor colour{};
	if (!parse_colour(name, colormap, colour)) {
		std::fprintf(stderr, "wm.app: can't parse %s.\n", name);
		return 0;
	}
	if (!alloc_colour(colormap, colour)) {
		std::fprintf(stderr, "wm.app: can't allocate %s.\n", name);
		return 0;
	}
	return colour.pixel;
}

// All requests first, then all replies: one round trip for the lot.
void
dock_alloc_colors(std::span<XColor> colours, std::span<bool> allocated)
{
	Colormap colormap = DefaultColormap(dock_state.display, dock_state.screen);
	std::vector<xcb_alloc_color_cookie_t> cookies;
	for (const XColor &c : colours)
		cookies.push_back(xcb_alloc_color(xcb(), colormap, c.red, c.green, c.blue));
	for (std::size_t i = 0; i < colours.size(); i++)
		allocated[i] = reply_pixel(cookies[i], colours[i]);
}

void
dock_private_colormap(std::span<const XColor> cells)
{
	dock_state_record &ds = dock_state;
	xcb_connection_t *c = xcb();
	if (ds.colormap == None) {
		ds.colormap = xcb_generate_id(c);
		xcb_create_colormap(c, XCB_COLORMAP_ALLOC_ALL, static_cast<xcb_colormap_t>(ds.colormap), ds.root,
		                    static_cast<xcb_visualid_t>(XVisualIDFromVisual(DefaultVisual(ds.display, ds.screen))));
		const std::uint32_t colormap = static_cast<std::uint32_t>(ds.colormap);
		xcb_change_window_attributes(c, ds.main_window, XCB_CW_COLORMAP, &colormap);
	}
	std::vector<xcb_coloritem_t> items;
	for (const XColor &cell : cells)
		items.push_back({ static_cast<std::uint32_t>(cell.pixel), cell.red, cell.green, cell.blue,
		                 static_cast<std::uint8_t>(cell.flags), 0 });
	xcb_store_colors(c, static_cast<xcb_colormap_t>(ds.colormap), static_cast<std::uint32_t>(items.size()),
	                 items.data());
}
