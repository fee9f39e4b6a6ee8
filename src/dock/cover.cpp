// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: what covers the applet while a compositing manager
// runs.  The server then computes visibility as if redirected windows hid
// nothing, so VisibilityNotify says nothing of them; instead the root's
// children are kept here, in their stacking order, from the root's
// SubstructureNotify alone, and the server is asked only about a new one.
// A window covers only what it hides for certain: a mapped InputOutput
// window of depth 24 or less, unshaped, fully opaque (by its own
// _NET_WM_WINDOW_OPACITY and its children's), and not the server's own
// (the compositor's overlay).  Whatever is not known yet covers nothing.
#include "internal.h"

#include <xcb/shape.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int toplevel_limit = 512;  // more, and nothing is known for certain
constexpr int client_limit = 64;     // children of a top-level whose opacity counts (a frame's)
constexpr std::uint32_t fully_opaque = 0xFFFFFFFF;

struct toplevel {
	Window id;
	cover_rect outer;                // border included
	bool mapped;
	bool asked;                      // its attributes have come
	bool opaque;                     // by what they said
	std::array<Window, client_limit> clients;
	std::array<bool, client_limit> translucent;
};

struct cover_record {
	xcb_atom_t compositor_selection; // "_NET_WM_CM_S<screen>"
	xcb_atom_t opacity;
	int xfixes_event, shape_event;   // 0 without the extension
	Window compositor;               // the selection's owner; None: no compositor
	bool rebuild;                    // the table is to make again, or to drop
	bool kept;                       // the table follows the root's children
	bool overflow;                   // more than toplevel_limit
	int count;
	std::array<toplevel, toplevel_limit> stack;   // bottom first
} cover;

int
find(Window w)
{
	for (int i = 0; i < cover.count; i++)
		if (cover.stack[static_cast<std::size_t>(i)].id == w)
			return i;
	return -1;
}

// Moves entry `from` to just above `above` (None: the bottom).
void
restack(int from, Window above)
{
	toplevel t = cover.stack[static_cast<std::size_t>(from)];
	auto begin = cover.stack.begin();
	std::copy(begin + from + 1, begin + cover.count, begin + from);
	cover.count--;
	int to = above == None ? 0 : find(above) + 1;
	if (above != None && to == 0)
		to = cover.count;            // an unknown sibling: taken for the top
	std::copy_backward(begin + to, begin + cover.count, begin + cover.count + 1);
	cover.stack[static_cast<std::size_t>(to)] = t;
	cover.count++;
}

void
add(Window w, int x, int y, int width, int height, int border, Window above)
{
	if (find(w) >= 0)
		return;
	if (cover.count == toplevel_limit) {
		cover.overflow = true;
		return;
	}
	toplevel &t = cover.stack[static_cast<std::size_t>(cover.count++)];
	t = {};
	t.id = w;
	t.outer = { x, y, width + 2 * border, height + 2 * border };
	restack(cover.count - 1, above);
}

void
remove(Window w)
{
	int i = find(w);
	if (i < 0)
		return;
	auto begin = cover.stack.begin();
	std::copy(begin + i + 1, begin + cover.count, begin + i);
	cover.count--;
}

// Asks for `mask` of another client's window; the applet's own windows
// keep what they asked for when they were made.
void
select(Window w, std::uint32_t mask)
{
	const xcb_setup_t *setup = xcb_get_setup(xcb());
	if ((w & ~setup->resource_id_mask) == setup->resource_id_base)
		return;
	xcb_discard_reply(xcb(), xcb_change_window_attributes_checked(xcb(), w, XCB_CW_EVENT_MASK, &mask).sequence);
}

std::uint32_t
opacity_of(xcb_get_property_cookie_t cookie)
{
	xcb_get_property_reply_t *p = xcb_get_property_reply(xcb(), cookie, nullptr);
	std::uint32_t v = fully_opaque;
	if (p && p->format == 32 && xcb_get_property_value_length(p) >= 4)
		v = *static_cast<std::uint32_t *>(xcb_get_property_value(p));
	std::free(p);
	return v;
}

xcb_get_property_cookie_t
ask_opacity(Window w)
{
	return xcb_get_property(xcb(), 0, w, cover.opacity, XCB_ATOM_CARDINAL, 0, 1);
}

// Everything there is to know of the top-levels not asked about yet, all
// requests first: one round trip, and one more for their children.
void
ask_new()
{
	struct cookies {
		xcb_get_window_attributes_cookie_t attributes;
		xcb_get_geometry_cookie_t geometry;
		xcb_shape_query_extents_cookie_t shape;
		xcb_get_property_cookie_t opacity;
		xcb_query_tree_cookie_t tree;
	};
	static std::array<cookies, toplevel_limit> asked;
	const xcb_setup_t *setup = xcb_get_setup(xcb());
	for (int i = 0; i < cover.count; i++) {
		toplevel &t = cover.stack[static_cast<std::size_t>(i)];
		if (t.asked)
			continue;
		select(t.id, XCB_EVENT_MASK_PROPERTY_CHANGE);
		if (cover.shape_event)
			xcb_discard_reply(xcb(), xcb_shape_select_input_checked(xcb(), t.id, 1).sequence);
		asked[static_cast<std::size_t>(i)] = { xcb_get_window_attributes(xcb(), t.id),
		                                       xcb_get_geometry(xcb(), t.id),
		                                       cover.shape_event ? xcb_shape_query_extents(xcb(), t.id)
		                                                         : xcb_shape_query_extents_cookie_t{},
		                                       ask_opacity(t.id), xcb_query_tree(xcb(), t.id) };
	}
	static std::array<std::array<xcb_get_property_cookie_t, client_limit>, toplevel_limit> clients;
	for (int i = 0; i < cover.count; i++) {
		toplevel &t = cover.stack[static_cast<std::size_t>(i)];
		if (t.asked)
			continue;
		const cookies &k = asked[static_cast<std::size_t>(i)];
		auto *a = xcb_get_window_attributes_reply(xcb(), k.attributes, nullptr);
		auto *g = xcb_get_geometry_reply(xcb(), k.geometry, nullptr);
		auto *s = cover.shape_event ? xcb_shape_query_extents_reply(xcb(), k.shape, nullptr) : nullptr;
		std::uint32_t opacity = opacity_of(k.opacity);
		auto *tree = xcb_query_tree_reply(xcb(), k.tree, nullptr);
		// The server's own windows are the compositor's overlay.
		bool own = (t.id & ~setup->resource_id_mask) == 0;
		t.opaque = a && g && !own && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT && g->depth <= 24 &&
		           !(s && s->bounding_shaped) && opacity == fully_opaque;
		if (a)
			t.mapped = a->map_state != XCB_MAP_STATE_UNMAPPED;
		if (g)
			t.outer = { g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width };
		t.clients = {};
		t.translucent = {};
		int n = tree ? std::min(xcb_query_tree_children_length(tree), client_limit) : 0;
		for (int j = 0; j < n; j++) {
			t.clients[static_cast<std::size_t>(j)] = xcb_query_tree_children(tree)[j];
			select(t.clients[static_cast<std::size_t>(j)], XCB_EVENT_MASK_PROPERTY_CHANGE);
			clients[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] =
				ask_opacity(t.clients[static_cast<std::size_t>(j)]);
		}
		t.opaque = t.opaque && (!tree || xcb_query_tree_children_length(tree) <= client_limit);
		std::free(a);
		std::free(g);
		std::free(s);
		std::free(tree);
	}
	for (int i = 0; i < cover.count; i++) {
		toplevel &t = cover.stack[static_cast<std::size_t>(i)];
		if (t.asked)
			continue;
		t.asked = true;
		for (std::size_t j = 0; j < client_limit; j++)
			if (t.clients[j] != None)
				t.translucent[j] = opacity_of(clients[static_cast<std::size_t>(i)][j]) != fully_opaque;
	}
}

// From the root's children as the server has them, bottom first; events
// that come after are applied over it, each at most once.
void
make_table()
{
	cover.count = 0;
	cover.overflow = false;
	select(dock_state.root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
	xcb_query_tree_reply_t *tree = xcb_query_tree_reply(xcb(), xcb_query_tree(xcb(), dock_state.root), nullptr);
	Window below = None;
	for (int i = 0; tree && i < xcb_query_tree_children_length(tree); i++) {
		Window w = xcb_query_tree_children(tree)[i];
		add(w, 0, 0, 0, 0, 0, below);
		below = w;
	}
	std::free(tree);
	cover.kept = true;
}

void
drop_table()
{
	select(dock_state.root, 0);
	for (int i = 0; i < cover.count; i++) {
		const toplevel &t = cover.stack[static_cast<std::size_t>(i)];
		select(t.id, 0);
		for (Window client : t.clients)
			if (client != None)
				select(client, 0);
	}
	cover.count = 0;
	cover.kept = false;
}

// `r` less `cut`, in at most four pieces appended to `out`.
int
subtract(const cover_rect &r, const cover_rect &cut, cover_rect *out)
{
	int right = r.x + r.width, bottom = r.y + r.height;
	int cut_right = cut.x + cut.width, cut_bottom = cut.y + cut.height;
	if (cut.x >= right || cut_right <= r.x || cut.y >= bottom || cut_bottom <= r.y) {
		out[0] = r;
		return 1;
	}
	int n = 0;
	if (cut.y > r.y)
		out[n++] = { r.x, r.y, r.width, cut.y - r.y };
	if (cut_bottom < bottom)
		out[n++] = { r.x, cut_bottom, r.width, bottom - cut_bottom };
	int top = std::max(r.y, cut.y), low = std::min(bottom, cut_bottom);
	if (cut.x > r.x)
		out[n++] = { r.x, top, cut.x - r.x, low - top };
	if (cut_right < right)
		out[n++] = { cut_right, top, right - cut_right, low - top };
	return n;
}

} // namespace

void
cover_start(int xfixes_event)
{
	char name[32];
	std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", dock_state.screen);
	cover.compositor_selection = intern_atom(name);
	cover.opacity = intern_atom("_NET_WM_WINDOW_OPACITY");
	const xcb_query_extension_reply_t *shape = xcb_get_extension_data(xcb(), &xcb_shape_id);
	if (shape && shape->present)
		cover.shape_event = shape->first_event + XCB_SHAPE_NOTIFY;
	// Without XFixes, compositors that come and go are not followed.
	if (!(cover.xfixes_event = xfixes_event))
		return;
	xcb_xfixes_select_selection_input(xcb(), dock_state.root, cover.compositor_selection,
	                                  XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
	                                  XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
	                                  XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
	auto owner = xcb_get_selection_owner_reply(xcb(), xcb_get_selection_owner(xcb(), cover.compositor_selection),
	                                           nullptr);
	cover.compositor = owner ? owner->owner : None;
	cover.rebuild = cover.compositor != None;
	std::free(owner);
}

void
cover_event(const xcb_generic_event_t *e)
{
	int type = e->response_type & 0x7f;
	Window root = dock_state.root;
	switch (type) {
	case XCB_CREATE_NOTIFY: {
		// A new window is made on top of its siblings.
		auto n = reinterpret_cast<const xcb_create_notify_event_t *>(e);
		if (cover.kept && n->parent == root)
			add(n->window, n->x, n->y, n->width, n->height, n->border_width,
			    cover.count ? cover.stack[static_cast<std::size_t>(cover.count - 1)].id : None);
		break;
	}
	case XCB_DESTROY_NOTIFY: {
		auto n = reinterpret_cast<const xcb_destroy_notify_event_t *>(e);
		if (n->event == root)
			remove(n->window);
		break;
	}
	case XCB_MAP_NOTIFY:
	case XCB_UNMAP_NOTIFY: {
		auto n = reinterpret_cast<const xcb_map_notify_event_t *>(e);
		int i = n->event == root ? find(n->window) : -1;
		if (i >= 0)
			cover.stack[static_cast<std::size_t>(i)].mapped = type == XCB_MAP_NOTIFY;
		break;
	}
	case XCB_CONFIGURE_NOTIFY: {
		auto n = reinterpret_cast<const xcb_configure_notify_event_t *>(e);
		int i = n->event == root ? find(n->window) : -1;
		if (i < 0)
			break;
		cover.stack[static_cast<std::size_t>(i)].outer = { n->x, n->y, n->width + 2 * n->border_width,
		                                                    n->height + 2 * n->border_width };
		restack(i, n->above_sibling);
		break;
	}
	case XCB_CIRCULATE_NOTIFY: {
		auto n = reinterpret_cast<const xcb_circulate_notify_event_t *>(e);
		int i = n->event == root ? find(n->window) : -1;
		if (i >= 0)
			restack(i, n->place == XCB_PLACE_ON_TOP ? cover.stack[static_cast<std::size_t>(cover.count - 1)].id
			                                        : None);
		break;
	}
	case XCB_GRAVITY_NOTIFY: {
		auto n = reinterpret_cast<const xcb_gravity_notify_event_t *>(e);
		int i = n->event == root ? find(n->window) : -1;
		if (i >= 0) {
			cover.stack[static_cast<std::size_t>(i)].outer.x = n->x;
			cover.stack[static_cast<std::size_t>(i)].outer.y = n->y;
		}
		break;
	}
	case XCB_REPARENT_NOTIFY: {
		auto n = reinterpret_cast<const xcb_reparent_notify_event_t *>(e);
		if (n->event != root || !cover.kept)
			break;
		if (n->parent != root)
			remove(n->window);
		else
			add(n->window, n->x, n->y, 0, 0, 0,
			    cover.count ? cover.stack[static_cast<std::size_t>(cover.count - 1)].id : None);
		break;
	}
	case XCB_PROPERTY_NOTIFY: {
		// A new opacity, on a top-level or a child of one: asked again.
		auto n = reinterpret_cast<const xcb_property_notify_event_t *>(e);
		if (n->atom != cover.opacity)
			break;
		for (int i = 0; i < cover.count; i++) {
			toplevel &t = cover.stack[static_cast<std::size_t>(i)];
			if (t.id == n->window || std::find(t.clients.begin(), t.clients.end(), n->window) != t.clients.end())
				t.asked = false;
		}
		break;
	}
	default:
		if (cover.shape_event && type == cover.shape_event) {
			auto n = reinterpret_cast<const xcb_shape_notify_event_t *>(e);
			int i = find(n->affected_window);
			if (i >= 0 && n->shape_kind == XCB_SHAPE_SK_BOUNDING)
				cover.stack[static_cast<std::size_t>(i)].asked = false;
		} else if (cover.xfixes_event && type == cover.xfixes_event) {
			auto n = reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(e);
			if (n->selection == cover.compositor_selection) {
				cover.compositor = n->owner;
				cover.rebuild = true;
			}
		}
		break;
	}
}

bool
cover_settle()
{
	bool asked = false;
	if (cover.rebuild) {
		cover.rebuild = false;
		if (cover.kept)
			drop_table();
		if (cover.compositor != None)
			make_table();
		asked = true;
	}
	for (int i = 0; i < cover.count && !asked; i++)
		asked = !cover.stack[static_cast<std::size_t>(i)].asked;
	if (asked)
		ask_new();
	return asked;
}

bool
cover_running()
{
	return cover.kept;
}

bool
cover_covered(const cover_rect &visible, Window top)
{
	int i = find(top);
	if (visible.width <= 0 || visible.height <= 0)
		return true;
	if (!cover.kept || cover.overflow || i < 0)
		return false;
	constexpr int piece_limit = 64;  // beyond, in doubt
	std::array<cover_rect, piece_limit> pieces, next;
	int n = 1;
	pieces[0] = visible;
	for (int j = i + 1; j < cover.count && n > 0; j++) {
		const toplevel &t = cover.stack[static_cast<std::size_t>(j)];
		bool clear_clients = std::none_of(t.translucent.begin(), t.translucent.end(), [](bool b) { return b; });
		if (!t.mapped || !t.asked || !t.opaque || !clear_clients)
			continue;
		int m = 0;
		for (int k = 0; k < n; k++) {
			cover_rect out[4];
			int got = subtract(pieces[static_cast<std::size_t>(k)], t.outer, out);
			if (m + got > piece_limit)
				return false;
			std::copy(out, out + got, next.begin() + m);
			m += got;
		}
		pieces = next;
		n = m;
	}
	return n == 0;
}
