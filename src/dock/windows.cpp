// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the windows.  windows_event is what every event
// means for the pair: whether anyone can see it, a dock that destroyed it
// (a new pair takes its place), the only X errors outlived.  No event waits
// for a reply: windows_settle walks the ancestors a batch made stale.
#include "internal.h"

#include <X11/extensions/scrnsaver.h>
#include <xcb/shape.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

dock_state_record dock_state;

namespace {

struct placement {                   // in the parent: outer corner, inner size
	int x, y, width, height, border;
};

struct ancestor {
	Window window;
	bool mapped;
	placement place;
};
constexpr int ancestor_limit = 8;    // deeper ones count as mapped

enum view_role { view_main, view_icon, view_roles };
struct window_view {
	bool mapped;
	bool obscured;                   // fully, by the last VisibilityNotify
	bool stale;                      // reparented: the ancestors are walked again
	bool complete;                   // the ancestors reach the root
	Window parent;
	placement place;
	std::array<ancestor, ancestor_limit> ancestors;   // from the parent up, without the root;
	int ancestor_count;                               // none while the parent is the main window
};


struct windows_record {
	int argc;
	char **argv;                     // main's: alive until the process ends
	XTextProperty name;              // WM_NAME, as Xlib encodes argv[0]
	XErrorHandler fatal_error;       // Xlib's: its message, then exit 1
	bool replaced;                   // a newer copy holds the selection
	bool docked;                     // as the last settle found
	long long remap_at;              // CLOCK_MONOTONIC ns of the next map again; 0: none
	int remaps;                      // maps left
	xcb_atom_t wm_state;
	std::array<window_view, view_roles> views;
	bool saver_on;                   // the screen saver has blanked the screen
	int saver_event;                 // ScreenSaverNotify's type, 0 without the extension
	std::uint8_t *wire_rows;         // an image's rows padded as the server wants
	std::size_t wire_size;
} windows;

bool
ours(Window w)
{
	return w != None && (w == dock_state.main_window || w == dock_state.icon_window);
}

// Every X error the toolkit outlives, and only those: BadWindow or
// BadDrawable about a window it made that another client (a dying dock)
// destroyed; its DestroyNotify follows.  An id of the connection's own
// range is a window unless it is one of the pixmaps, which live as long as
// the process: no list of gone windows, however late the error.  The rest
// is Xlib's: its message, then exit 1.
bool
outlived(int error_code, std::uint32_t resource)
{
	if (error_code != BadWindow && error_code != BadDrawable)
		return false;
	const xcb_setup_t *setup = xcb_get_setup(xcb());
	const dock_state_record &ds = dock_state;
	bool own = (resource & ~setup->resource_id_mask) == setup->resource_id_base;
	return own && resource != ds.frame_pixmap && resource != ds.frame_pixmap_mask && resource != ds.shape_mask;
}

int
xlib_error(Display *dpy, XErrorEvent *ev)
{
	if (outlived(ev->error_code, static_cast<std::uint32_t>(ev->resourceid)))
		return 0;
	return windows.fatal_error(dpy, ev);
}

void
stream_error(const xcb_generic_error_t &e)
{
	if (outlived(e.error_code, e.resource_id))
		return;
	XErrorEvent ev{};
	ev.display = dock_state.display;
	ev.resourceid = e.resource_id;
	ev.serial = e.full_sequence;
	ev.error_code = e.error_code;
	ev.request_code = e.major_code;
	ev.minor_code = static_cast<unsigned char>(e.minor_code);
	windows.fatal_error(dock_state.display, &ev);     // a handler that returns ignores it
}

window_view *
view_of(Window w)
{
	if (w == None)
		return nullptr;
	if (w == dock_state.main_window)
		return &windows.views[view_main];
	if (w == dock_state.icon_window)
		return &windows.views[view_icon];
	return nullptr;
}

bool
viewable(const window_view &v)
{
	if (!v.mapped)
		return false;
	if (v.parent == dock_state.main_window)
		return viewable(windows.views[view_main]);
	for (int i = 0; i < v.ancestor_count; i++)
		if (!v.ancestors[static_cast<std::size_t>(i)].mapped)
			return false;
	return true;
}

bool
is_ancestor(Window w)
{
	for (const window_view &v : windows.views)
		for (int i = 0; i < v.ancestor_count; i++)
			if (v.ancestors[static_cast<std::size_t>(i)].window == w)
				return true;
	return false;
}

// From `v`'s parent up to the root, each asked for its StructureNotify.
// A mapped window in an unmapped one is mapped, if not viewable.
void
walk_ancestors(window_view &v)
{
	xcb_connection_t *c = xcb();
	v.stale = false;
	v.ancestor_count = 0;
	const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
	Window w = v.parent;
	for (; w != None && w != dock_state.root && w != dock_state.main_window && v.ancestor_count < ancestor_limit;) {
		xcb_discard_reply(c, xcb_change_window_attributes_checked(c, w, XCB_CW_EVENT_MASK, &structure).sequence);
		auto attributes_cookie = xcb_get_window_attributes(c, w);
		auto geometry_cookie = xcb_get_geometry(c, w);
		auto tree_cookie = xcb_query_tree(c, w);
		xcb_get_window_attributes_reply_t *a = xcb_get_window_attributes_reply(c, attributes_cookie, nullptr);
		xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, geometry_cookie, nullptr);
		xcb_query_tree_reply_t *t = xcb_query_tree_reply(c, tree_cookie, nullptr);
		if (a && g && t)
			v.ancestors[static_cast<std::size_t>(v.ancestor_count++)] = {
				w, a->map_state != XCB_MAP_STATE_UNMAPPED, { g->x, g->y, g->width, g->height, g->border_width } };
		w = a && g && t ? t->parent : None;
		std::free(a);
		std::free(g);
		std::free(t);
	}
	v.complete = w == dock_state.root || w == dock_state.main_window;
}

cover_rect
intersection(const cover_rect &a, const cover_rect &b)
{
	int x = std::max(a.x, b.x), y = std::max(a.y, b.y);
	int right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
	return { x, y, std::max(0, right - x), std::max(0, bottom - y) };
}

// `v` in root coordinates, what its ancestors and the screen leave of it,
// and the root's child it is stacked with; false when that is not known.
bool
locate(const window_view &v, cover_rect &inner, cover_rect &clip, Window &toplevel)
{
	const dock_state_record &ds = dock_state;
	cover_rect parent = { 0, 0, 0, 0 };  // its inner rectangle
	clip = { 0, 0, DisplayWidth(ds.display, ds.screen), DisplayHeight(ds.display, ds.screen) };
	toplevel = &v == &windows.views[view_main] ? ds.main_window : ds.icon_window;
	if (v.parent == ds.main_window) {
		if (!locate(windows.views[view_main], parent, clip, toplevel))
			return false;
	} else if (!v.complete) {
		return false;
	}
	for (int i = v.ancestor_count - 1; i >= 0; i--) {
		const ancestor &a = v.ancestors[static_cast<std::size_t>(i)];
		if (i == v.ancestor_count - 1)
			toplevel = a.window;
		parent = { parent.x + a.place.x + a.place.border, parent.y + a.place.y + a.place.border, a.place.width,
		           a.place.height };
		clip = intersection(clip, parent);
	}
	const placement &p = v.place;
	inner = { parent.x + p.x + p.border, parent.y + p.y + p.border, p.width, p.height };
	clip = intersection(clip, inner);
	return true;
}

bool
visible_part(const window_view &v, cover_rect &r, Window &toplevel)
{
	cover_rect inner, clip;
	if (!locate(v, inner, clip, toplevel))
		return false;
	int edge = inner.width * 4 / 64;     // the shape leaves out 4 of every 64
	r = intersection(clip, { inner.x + edge, inner.y + edge, inner.width - 2 * edge, inner.height - 2 * edge });
	return true;
}

} // namespace

view_state
windows_view()
{
	if (windows.saver_on)
		return view_unseen;
	view_state best = view_unseen;
	for (const window_view &v : windows.views) {
		if (!viewable(v))
			continue;
		cover_rect r;
		Window top;
		if (!cover_running() ? !v.obscured : !visible_part(v, r, top) || !cover_covered(r, top))
			return view_seen;
		best = cover_running() && r.width > 0 && r.height > 0 ? view_faint : best;
	}
	return best;
}

namespace {

// A window manager's frame gives the main window a WM_STATE; a dock not.
bool
docked()
{
	const dock_state_record &ds = dock_state;
	Window icon_parent = windows.views[view_icon].parent, main_parent = windows.views[view_main].parent;
	if (icon_parent != ds.main_window && icon_parent != ds.root)
		return true;
	if (main_parent == ds.root)
		return false;
	auto cookie = xcb_get_property(xcb(), 0, ds.main_window, windows.wm_state, windows.wm_state, 0, 1);
	xcb_get_property_reply_t *p = xcb_get_property_reply(xcb(), cookie, nullptr);
	bool framed = p && xcb_get_property_value_length(p) >= 4 &&
	              *static_cast<std::uint32_t *>(xcb_get_property_value(p)) != WithdrawnState;
	std::free(p);
	return !framed;
}

void
note_managed()
{
	windows.remaps = 0;
	windows.remap_at = 0;
}

void
note_mapped(Window w, bool mapped)
{
	if (window_view *v = view_of(w)) {
		v->mapped = mapped;
		note_managed();
	}
	for (window_view &v : windows.views)
		for (int i = 0; i < v.ancestor_count; i++)
			if (v.ancestors[static_cast<std::size_t>(i)].window == w)
				v.ancestors[static_cast<std::size_t>(i)].mapped = mapped;
}

void
note_reparented(Window w, Window parent, int x, int y)
{
	if (window_view *v = view_of(w)) {
		note_managed();
		v->parent = parent;
		v->place.x = x;
		v->place.y = y;
		v->stale = true;
		return;
	}
	for (window_view &v : windows.views)
		for (int i = 0; i < v.ancestor_count; i++)
			v.stale = v.stale || v.ancestors[static_cast<std::size_t>(i)].window == w;
}

void
note_placed(Window w, const placement &p)
{
	if (window_view *v = view_of(w))
		v->place = p;
	for (window_view &v : windows.views)
		for (int i = 0; i < v.ancestor_count; i++)
			if (v.ancestors[static_cast<std::size_t>(i)].window == w)
				v.ancestors[static_cast<std::size_t>(i)].place = p;
}

// The partner of a destroyed window is left frozen in a dock, or with a
// dead manager's state: both go.
void
note_destroyed(Window w)
{
	if (!ours(w))
		return;
	if (windows.replaced)
		windows_end_replaced();
	xcb_destroy_window(xcb(), w == dock_state.main_window ? dock_state.icon_window : dock_state.main_window);
	windows_create(windows.argc, windows.argv);
}

void
set_property(Window w, xcb_atom_t property, xcb_atom_t type, int format, std::size_t count, const void *data)
{
	xcb_change_property(xcb(), XCB_PROP_MODE_REPLACE, w, property, type, static_cast<std::uint8_t>(format),
	                    static_cast<std::uint32_t>(count), data);
}

} // namespace

void
windows_start()
{
	Display *dpy = dock_state.display;
	windows.fatal_error = XSetErrorHandler(xlib_error);
	windows.wm_state = XInternAtom(dpy, "WM_STATE", False);
	// A blanked screen sends no window event.
	int event_base, error_base;
	if (!XScreenSaverQueryExtension(dpy, &event_base, &error_base))
		return;
	windows.saver_event = event_base + ScreenSaverNotify;
	XScreenSaverSelectInput(dpy, dock_state.root, ScreenSaverNotifyMask);
	XScreenSaverInfo info;
	if (XScreenSaverQueryInfo(dpy, dock_state.root, &info))
		windows.saver_on = info.state == ScreenSaverOn;
}

// Each window asks for its events in the request that makes it, so a
// destroy is told however soon it comes.
void
windows_create(int argc, char **argv)
{
	dock_state_record &ds = dock_state;
	xcb_connection_t *c = xcb();
	if (!windows.name.value) {
		windows.argc = argc;
		windows.argv = argv;
		if (XStringListToTextProperty(&argv[0], 1, &windows.name) == 0)
			dock_fatal(1, "%s: can't allocate window name\n", argv[0]);
	}
	const XSizeHints &sh = ds.size_hints;
	auto side = static_cast<std::uint16_t>(sh.width);
	std::uint32_t values[4] = { static_cast<std::uint32_t>(ds.white_pixel),
	                            static_cast<std::uint32_t>(ds.black_pixel), dock_event_mask,
	                            static_cast<std::uint32_t>(ds.colormap) };
	std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK;
	ds.main_window = xcb_generate_id(c);
	ds.icon_window = xcb_generate_id(c);
	xcb_create_window(c, XCB_COPY_FROM_PARENT, ds.main_window, ds.root, static_cast<std::int16_t>(sh.x),
	                  static_cast<std::int16_t>(sh.y), side, side, 1, XCB_WINDOW_CLASS_INPUT_OUTPUT,
	                  XCB_COPY_FROM_PARENT, mask | (ds.colormap != None ? XCB_CW_COLORMAP : 0), values);
	xcb_create_window(c, XCB_COPY_FROM_PARENT, ds.icon_window, ds.main_window, static_cast<std::int16_t>(sh.x),
	                  static_cast<std::int16_t>(sh.y), side, side, 1, XCB_WINDOW_CLASS_INPUT_OUTPUT,
	                  XCB_COPY_FROM_PARENT, mask, values);

	// As Xlib's XSetWMNormalHints, XSetClassHint, XSetWMName, XSetWMHints
	// and XSetCommand write them.
	const std::uint32_t size_hints[18] = { static_cast<std::uint32_t>(sh.flags), static_cast<std::uint32_t>(sh.x),
	                                       static_cast<std::uint32_t>(sh.y), side, side };
	set_property(ds.main_window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, size_hints);
	std::string class_hint = std::string(argv[0]) + '\0' + argv[0] + '\0';
	set_property(ds.main_window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, class_hint.size(), class_hint.data());
	set_property(ds.main_window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, windows.name.nitems, windows.name.value);
	ds.wm_hints.initial_state = WithdrawnState;
	ds.wm_hints.icon_window = ds.icon_window;
	ds.wm_hints.icon_x = sh.x;
	ds.wm_hints.icon_y = sh.y;
	ds.wm_hints.window_group = ds.main_window;
	ds.wm_hints.flags = StateHint | IconWindowHint | IconPositionHint | WindowGroupHint;
	const XWMHints &h = ds.wm_hints;
	const std::uint32_t wm_hints[9] = {
		static_cast<std::uint32_t>(h.flags), 0, static_cast<std::uint32_t>(h.initial_state), 0,
		static_cast<std::uint32_t>(h.icon_window), static_cast<std::uint32_t>(h.icon_x),
		static_cast<std::uint32_t>(h.icon_y), 0, static_cast<std::uint32_t>(h.window_group),
	};
	set_property(ds.main_window, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, wm_hints);
	std::string command;
	for (int i = 0; i < windows.argc; i++)
		command.append(argv[i]).push_back('\0');
	set_property(ds.main_window, XCB_ATOM_WM_COMMAND, XCB_ATOM_STRING, 8, command.size(), command.data());

	for (Window w : { ds.main_window, ds.icon_window })
		xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, w, 0, 0, ds.shape_mask);
	xcb_map_window(c, ds.main_window);           // a dock maps the icon window
	windows.remaps = 2;
	windows.remap_at = dock_now_ns() + 1000000000LL;
	windows.views = {};
	windows.docked = false;
	windows.views[view_main].parent = ds.root;
	windows.views[view_icon].parent = ds.main_window;
	for (window_view &v : windows.views) {
		v.complete = true;
		v.place = { sh.x, sh.y, side, side, 1 };
	}
}

void
windows_event(const xcb_generic_event_t *e)
{
	int type = e->response_type & 0x7f;
	if (type != 0)
		cover_event(e);
	switch (type) {
	case 0:
		stream_error(*reinterpret_cast<const xcb_generic_error_t *>(e));
		break;
	case XCB_MAP_NOTIFY:
		note_mapped(reinterpret_cast<const xcb_map_notify_event_t *>(e)->window, true);
		break;
	case XCB_UNMAP_NOTIFY:
		note_mapped(reinterpret_cast<const xcb_unmap_notify_event_t *>(e)->window, false);
		break;
	case XCB_VISIBILITY_NOTIFY: {
		auto v = reinterpret_cast<const xcb_visibility_notify_event_t *>(e);
		if (window_view *w = view_of(v->window))
			w->obscured = v->state == XCB_VISIBILITY_FULLY_OBSCURED;
		break;
	}
	case XCB_REPARENT_NOTIFY: {
		auto r = reinterpret_cast<const xcb_reparent_notify_event_t *>(e);
		note_reparented(r->window, r->parent, r->x, r->y);
		break;
	}
	case XCB_DESTROY_NOTIFY:
		note_destroyed(reinterpret_cast<const xcb_destroy_notify_event_t *>(e)->window);
		break;
	case XCB_CONFIGURE_NOTIFY: {
		auto n = reinterpret_cast<const xcb_configure_notify_event_t *>(e);
		note_placed(n->window, { n->x, n->y, n->width, n->height, n->border_width });
		break;
	}
	default:
		// (A ScreenSaverNotify's second byte is the saver's new state.)
		if (windows.saver_event && type == windows.saver_event)
			windows.saver_on = reinterpret_cast<const std::uint8_t *>(e)[1] != ScreenSaverOff;
		break;
	}
}

// A starting window manager may drop a MapRequest (pekwm, now and then),
// and nothing else maps the window: it is asked for again if nothing came
// of it a second later, and once more after two.
void
map_again()
{
	xcb_map_window(xcb(), dock_state.main_window);
	windows.remap_at = --windows.remaps > 0 ? dock_now_ns() + 2000000000LL : 0;
}

// Ancestors left behind are asked for nothing any more, so they never wake
// the applet.
bool
windows_settle()
{
	bool asked = windows.remap_at && dock_now_ns() >= windows.remap_at;
	if (asked)
		map_again();
	std::array<ancestor, ancestor_limit * view_roles> before;
	int before_count = 0;
	for (window_view &v : windows.views) {
		if (!v.stale)
			continue;
		for (int i = 0; i < v.ancestor_count; i++)
			before[static_cast<std::size_t>(before_count++)] = v.ancestors[static_cast<std::size_t>(i)];
		walk_ancestors(v);
		asked = true;
	}
	const std::uint32_t nothing = 0;
	for (int i = 0; i < before_count; i++) {
		Window w = before[static_cast<std::size_t>(i)].window;
		if (!is_ancestor(w))
			xcb_discard_reply(xcb(), xcb_change_window_attributes_checked(xcb(), w, XCB_CW_EVENT_MASK,
			                                                              &nothing).sequence);
	}
	if (asked)
		windows.docked = docked();
	return cover_settle() || asked;
}

long long
windows_deadline()
{
	return windows.remap_at;
}

bool
windows_docked()
{
	return windows.docked;
}

void
windows_replaced(bool replaced)
{
	windows.replaced = replaced;
}

void
windows_end_replaced()
{
	dock_fatal(0, "quarvel: a newer quarvel has taken over this screen; this one ends\n");
}

bool
dock_seen()
{
	return windows_view() != view_unseen;
}

bool
dock_faint()
{
	return windows_view() == view_faint;
}

// The server may want the rows shorter or longer than the client's pad.
void
dock_put_image(const XImage *image, int x, int y)
{
	const dock_state_record &ds = dock_state;
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

// Both windows, whole, so exposures need no handling of their own.
void
dock_redraw()
{
	dock_redraw_at(0, 0);
}

void
dock_redraw_at(int x, int y)
{
	const dock_state_record &ds = dock_state;
	auto width = static_cast<std::uint16_t>(ds.xpm_attributes.width);
	auto height = static_cast<std::uint16_t>(ds.xpm_attributes.height);
	xcb_gcontext_t gc = XGContextFromGC(ds.normal_gc);
	for (Window w : { ds.icon_window, ds.main_window })
		xcb_copy_area(xcb(), ds.frame_pixmap, w, gc, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0,
		              0, width, height);
}

// The focus goes only to a window the server said is viewable (else
// BadMatch), and a refusal, should it have gone meanwhile, is dropped.
void
dock_crossing(bool entered)
{
	xcb_connection_t *c = xcb();
	Window to = entered ? dock_state.icon_window : None;
	const window_view *v = view_of(to);
	if (!entered || (v && viewable(*v)))
		xcb_discard_reply(c, xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_NONE, to, XCB_CURRENT_TIME).sequence);
	if (dock_state.colormap == None)
		return;
	if (entered)
		xcb_install_colormap(c, static_cast<xcb_colormap_t>(dock_state.colormap));
	else
		xcb_uninstall_colormap(c, static_cast<xcb_colormap_t>(dock_state.colormap));
}
