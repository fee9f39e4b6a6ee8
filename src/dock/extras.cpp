// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the extras for dock applets that the tunnel applet
// does not use: copies inside the frame pixmap, moving the shape, and
// mouse regions (dock_redraw_at is dock_redraw's, in windows.cpp).
#include "internal.h"

#include <xcb/shape.h>

void
dock_copy_pixmap_area(int src_x, int src_y, int width, int height, int dst_x, int dst_y)
{
	const dock_state_record &ds = dock_state;
	xcb_copy_area(xcb(), ds.frame_pixmap, ds.frame_pixmap, XGContextFromGC(ds.normal_gc),
	              static_cast<std::int16_t>(src_x), static_cast<std::int16_t>(src_y),
	              static_cast<std::int16_t>(dst_x), static_cast<std::int16_t>(dst_y),
	              static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
}

void
dock_set_mask_at(int x, int y)
{
	const dock_state_record &ds = dock_state;
	for (Window w : { ds.main_window, ds.icon_window })
		xcb_shape_mask(xcb(), XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, w, static_cast<std::int16_t>(x),
		               static_cast<std::int16_t>(y), ds.shape_mask);
}

void
dock_add_region(int index, int left, int top, int right, int bottom)
{
	if (index < 0 || index >= dock_region_count)
		return;
	dock_state.regions[index] = { 1, top, bottom, left, right };
}

int
dock_find_region(int x, int y)
{
	for (int i = 0; i < dock_region_count; i++) {
		const mouse_region &r = dock_state.regions[i];
		if (r.enabled && r.left <= x && x <= r.right && r.top <= y && y <= r.bottom)
			return i;
	}
	return -1;
}
