// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the windows.  dock_open_window brings up the two
// shaped windows in the order window managers expect to see them;
// dock_redraw copies the frame pixmap into both.  All handles live in
// dock_state until the process ends, but the windows: when a dock destroys
// them, windows_destroyed makes them again, and windows_error_outlived
// holds the only X errors outlived.  Every request here whose reply could
// be an error goes through xcb, its error checked: Xlib would take such an
// error for a broken connection, since xcb owns the event stream.
#include "internal.h"

#include <X11/Xlib-xcb.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

dock_state_record dock_state;

namespace {

// What a rebuild needs besides dock_state, what the error rule knows of
// windows that are gone, and the one-applet-a-screen selection.
struct windows_record {
	int argc;
	char **argv;                     // main's: alive until the process ends
	std::array<Window, 16> gone;     // the last pairs replaced, newest last
	XErrorHandler fatal_error;       // Xlib's: its message, then exit 1
	Window helper;                   // unmapped; owns the selection
	xcb_atom_t selection;            // "_QUARVEL_S<screen>"
	xcb_atom_t wm_state;
	bool replaced;                   // a newer copy has the selection
	std::uint8_t *wire_rows;         // an image's rows padded as the server wants
	std::size_t wire_size;
} windows;

xcb_connection_t *
xcb()
{
	return XGetXCBConnection(dock_state.display);
}

// The error rule for errors Xlib itself would report (those of a reply it
// waited for).
int
xlib_error(Display *dpy, XErrorEvent *ev)
{
	if (windows_error_outlived(ev->error_code, ev->resourceid))
		return 0;
	return windows.fatal_error(dpy, ev);
}

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

bool
ours(Window w)
{
	return w != None && (w == dock_state.main_window || w == dock_state.icon_window);
}

// The unmapped window that owns the selection and whose property changes
// tell the server's time.  It never moves, so no dock takes it with it.
void
create_helper()
{
	XSetWindowAttributes a;
	a.event_mask = PropertyChangeMask | StructureNotifyMask;
	windows.helper = XCreateWindow(dock_state.display, dock_state.root, -1, -1, 1, 1, 0, 0, InputOnly,
	                               CopyFromParent, CWEventMask, &a);
}

// Takes the selection for this screen: an older copy gets SelectionClear.
void
take_selection(xcb_timestamp_t time)
{
	xcb_set_selection_owner(xcb(), windows.helper, windows.selection, time);
}

xcb_atom_t
intern(const char *name)
{
	auto cookie = xcb_intern_atom(xcb(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
	xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(xcb(), cookie, nullptr);
	xcb_atom_t atom = r ? r->atom : xcb_atom_t{ XCB_ATOM_NONE };
	std::free(r);
	return atom;
}

// The main window and its icon window with everything a window manager
// reads, mapped: start-up's pair and every rebuilt one.  Each window asks
// for its events in the request that creates it, so a destroy is always
// reported, however soon it comes.  A new window is Withdrawn, so mapping
// it is the ordinary first transition: a running manager gets a
// MapRequest, and one that starts later adopts it.
void
create_windows()
{
	dock_state_record &ds = dock_state;
	char **argv = windows.argv;
	ds.size_hints.flags = USSize | USPosition;
	ds.size_hints.x = 0;
	ds.size_hints.y = 0;
	int gx, gy, gw, gh, gravity;
	XWMGeometry(ds.display, ds.screen, "", nullptr, 1, &ds.size_hints, &gx, &gy, &gw, &gh, &gravity);
	ds.size_hints.x = gx;
	ds.size_hints.y = gy;
	ds.size_hints.width = 64;
	ds.size_hints.height = 64;

	XSetWindowAttributes a;
	a.background_pixel = ds.white_pixel;
	a.border_pixel = ds.black_pixel;
	a.event_mask = dock_event_mask;
	unsigned long mask = CWBackPixel | CWBorderPixel | CWEventMask;
	ds.main_window = XCreateWindow(ds.display, ds.root, ds.size_hints.x, ds.size_hints.y, 64, 64, 1,
	                               CopyFromParent, InputOutput, CopyFromParent, mask, &a);
	ds.icon_window = XCreateWindow(ds.display, ds.main_window, ds.size_hints.x, ds.size_hints.y, 64, 64, 1,
	                               CopyFromParent, InputOutput, CopyFromParent, mask, &a);

	XSetWMNormalHints(ds.display, ds.main_window, &ds.size_hints);
	XClassHint class_hint = { argv[0], argv[0] };
	XSetClassHint(ds.display, ds.main_window, &class_hint);

	XTextProperty name_property;
	if (XStringListToTextProperty(&argv[0], 1, &name_property) == 0)
		dock_fatal(1, "%s: can't allocate window name\n", argv[0]);
	XSetWMName(ds.display, ds.main_window, &name_property);
	XFree(name_property.value);

	XShapeCombineMask(ds.display, ds.main_window, ShapeBounding, 0, 0, ds.shape_mask, ShapeSet);
	XShapeCombineMask(ds.display, ds.icon_window, ShapeBounding, 0, 0, ds.shape_mask, ShapeSet);

	ds.wm_hints.initial_state = WithdrawnState;
	ds.wm_hints.icon_window = ds.icon_window;
	ds.wm_hints.icon_x = ds.size_hints.x;
	ds.wm_hints.icon_y = ds.size_hints.y;
	ds.wm_hints.window_group = ds.main_window;
	ds.wm_hints.flags = StateHint | IconWindowHint | IconPositionHint | WindowGroupHint;
	XSetWMHints(ds.display, ds.main_window, &ds.wm_hints);

	XSetCommand(ds.display, ds.main_window, argv, windows.argc);
	if (ds.colormap != None)
		XSetWindowColormap(ds.display, ds.main_window, ds.colormap);
	XMapWindow(ds.display, ds.main_window);      // a dock maps the icon window
	connection_reset_views();
}

// The parent of `w`, or None when it cannot be told.
Window
parent_of(Window w)
{
	xcb_query_tree_reply_t *tree = xcb_query_tree_reply(xcb(), xcb_query_tree(xcb(), w), nullptr);
	Window parent = tree ? tree->parent : None;
	std::free(tree);
	return parent;
}

// Whether a dock holds the applet: the icon window taken out of the main
// window, or the main window in another window without a window manager's
// WM_STATE saying it is an ordinary one (a manager's frame).
bool
docked()
{
	const dock_state_record &ds = dock_state;
	Window icon_parent = parent_of(ds.icon_window);
	if (icon_parent != None && icon_parent != ds.main_window && icon_parent != ds.root)
		return true;
	Window main_parent = parent_of(ds.main_window);
	if (main_parent == None || main_parent == ds.root)
		return false;
	auto cookie = xcb_get_property(xcb(), 0, ds.main_window, windows.wm_state, windows.wm_state, 0, 1);
	xcb_get_property_reply_t *p = xcb_get_property_reply(xcb(), cookie, nullptr);
	bool framed = p && xcb_get_property_value_length(p) >= 4 &&
	              *static_cast<std::uint32_t *>(xcb_get_property_value(p)) != WithdrawnState;
	std::free(p);
	return !framed;
}

} // namespace

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
	windows.argc = argc;
	windows.argv = argv;
	windows.fatal_error = XSetErrorHandler(xlib_error);
	ds.screen = DefaultScreen(ds.display);
	ds.root = RootWindow(ds.display, ds.screen);

	ds.xpm_attributes.valuemask |= XpmReturnPixels | XpmReturnExtensions | XpmAllocColor;
	ds.xpm_attributes.alloc_color = xpm_alloc_colour;
	// The XPM reader takes char ** but never writes through it.
	if (XpmCreatePixmapFromData(ds.display, ds.root, const_cast<char **>(xpm_data),
	                            &ds.frame_pixmap, &ds.frame_pixmap_mask,
	                            &ds.xpm_attributes) != XpmSuccess)
		dock_fatal(1, "Not enough free colorcells.\n");
	ds.white_pixel = dock_get_color("white");
	ds.black_pixel = dock_get_color("black");

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
	char selection[32];
	std::snprintf(selection, sizeof selection, "_QUARVEL_S%d", ds.screen);
	windows.selection = intern(selection);
	windows.wm_state = intern("WM_STATE");
	create_helper();
	take_selection(connection_server_time());
	create_windows();
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
dock_set_colormap(Colormap colormap)
{
	dock_state.colormap = colormap;
	XSetWindowColormap(dock_state.display, dock_state.main_window, colormap);
}

void
dock_put_image(const XImage *image, int x, int y)
{
	const dock_state_record &ds = dock_state;
	if (image->format != ZPixmap) {
		XPutImage(ds.display, ds.frame_pixmap, ds.normal_gc, const_cast<XImage *>(image), 0, 0, x, y,
		          static_cast<unsigned>(image->width), static_cast<unsigned>(image->height));
		return;
	}
	// Rows as long as the server's scanline pad makes them for this depth.
	int pad = 32;
	xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(xcb()));
	for (; f.rem; xcb_format_next(&f))
		if (f.data->depth == image->depth)
			pad = f.data->scanline_pad;
	std::size_t row = static_cast<std::size_t>((image->width * image->bits_per_pixel + pad - 1) / pad * pad / 8);
	std::size_t rows = static_cast<std::size_t>(image->height);
	const auto *data = reinterpret_cast<const std::uint8_t *>(image->data);
	if (row != static_cast<std::size_t>(image->bytes_per_line)) {
		if (windows.wire_size < row * rows) {
			windows.wire_size = row * rows;   // kept for the next frame
			windows.wire_rows = static_cast<std::uint8_t *>(std::realloc(windows.wire_rows, windows.wire_size));
			if (!windows.wire_rows)
				dock_fatal(1, "quarvel: out of memory\n");
		}
		std::size_t keep = std::min(row, static_cast<std::size_t>(image->bytes_per_line));
		for (std::size_t r = 0; r < rows; r++)
			std::memcpy(windows.wire_rows + r * row, data + r * static_cast<std::size_t>(image->bytes_per_line),
			            keep);
		data = windows.wire_rows;
	}
	xcb_put_image(xcb(), XCB_IMAGE_FORMAT_Z_PIXMAP, ds.frame_pixmap, XGContextFromGC(ds.normal_gc),
	              static_cast<std::uint16_t>(image->width), static_cast<std::uint16_t>(image->height),
	              static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0,
	              static_cast<std::uint8_t>(image->depth), static_cast<std::uint32_t>(row * rows), data);
}

// Both windows, whole: whatever an exposure showed is painted over, so
// exposures need no handling of their own.
void
dock_redraw()
{
	const dock_state_record &ds = dock_state;
	auto width = static_cast<std::uint16_t>(ds.xpm_attributes.width);
	auto height = static_cast<std::uint16_t>(ds.xpm_attributes.height);
	xcb_gcontext_t gc = XGContextFromGC(ds.normal_gc);
	xcb_copy_area(xcb(), ds.frame_pixmap, ds.icon_window, gc, 0, 0, 0, 0, width, height);
	xcb_copy_area(xcb(), ds.frame_pixmap, ds.main_window, gc, 0, 0, 0, 0, width, height);
}

// The server refuses the focus to a window that is not viewable (BadMatch):
// asked only of one it has said is viewable, and its refusal, should the
// window have gone meanwhile, is dropped.
void
dock_focus_icon(bool focus)
{
	Window to = focus ? dock_state.icon_window : None;
	if (focus && !connection_viewable(to))
		return;
	xcb_discard_reply(xcb(), xcb_set_input_focus_checked(xcb(), XCB_INPUT_FOCUS_NONE, to,
	                                                     XCB_CURRENT_TIME).sequence);
}

// Every X error the toolkit outlives, and only those: BadWindow or
// BadDrawable about a window of the current pair or of a pair replaced
// since, or about the helper window.  Such a window is gone (a dock that
// dies destroys the window it swallowed, and the requests the applet sent
// before it heard of that fail), and its DestroyNotify, which every window
// asks for when it is made, rebuilds once.  Everything else, BadMatch and
// errors about other windows included, is Xlib's: its message, then exit 1.
bool
windows_error_outlived(int error_code, XID resource)
{
	if (error_code != BadWindow && error_code != BadDrawable)
		return false;
	if (ours(resource) || (resource != None && resource == windows.helper))
		return true;
	for (Window w : windows.gone)
		if (w != None && w == resource)
			return true;
	return false;
}

void
windows_error(const xcb_generic_error_t &e)
{
	if (windows_error_outlived(e.error_code, e.resource_id))
		return;
	XErrorEvent ev{};
	ev.type = 0;
	ev.display = dock_state.display;
	ev.resourceid = e.resource_id;
	ev.serial = e.full_sequence;
	ev.error_code = e.error_code;
	ev.request_code = e.major_code;
	ev.minor_code = static_cast<unsigned char>(e.minor_code);
	windows.fatal_error(dock_state.display, &ev);     // a handler that returns ignores it
}

// A destroyed window of the pair leaves the other docked and frozen, or
// carrying a dead manager's state: both go, and a new pair takes their
// place, unless a newer copy of the applet has taken over.  A destroyed
// helper window is made again, and takes back the selection it held.
void
windows_destroyed(Window w)
{
	dock_state_record &ds = dock_state;
	if (w != None && w == windows.helper) {
		create_helper();
		if (!windows.replaced)
			take_selection(XCB_CURRENT_TIME);
		return;
	}
	if (!ours(w))
		return;
	if (windows.replaced)
		dock_fatal(0, "quarvel: a newer quarvel has taken over this screen; this one ends\n");
	std::copy(windows.gone.begin() + 2, windows.gone.end(), windows.gone.begin());
	windows.gone[windows.gone.size() - 2] = ds.main_window;
	windows.gone[windows.gone.size() - 1] = ds.icon_window;
	XDestroyWindow(ds.display, w == ds.main_window ? ds.icon_window : ds.main_window);
	create_windows();
}

void
windows_selection_lost()
{
	windows.replaced = true;
	if (!docked())
		dock_fatal(0, "quarvel: a newer quarvel has taken over this screen; this one ends\n");
}

// The dock that held a replaced copy has let go of it, to the root or to
// a dock that starts anew (whose own copy is the newer one).
void
windows_moved()
{
	if (windows.replaced)
		dock_fatal(0, "quarvel: a newer quarvel has taken over this screen; this one ends\n");
}

Window
windows_helper()
{
	return windows.helper;
}

xcb_atom_t
windows_selection()
{
	return windows.selection;
}
