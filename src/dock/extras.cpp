// SPDX-License-Identifier: GPL-2.0-or-later
// Dock window toolkit: the extras for dock applets that the tunnel applet
// does not use: redraws from an offset, copies inside the frame pixmap,
// moving the shape, and mouse regions.
#include "dock.h"

#include <X11/extensions/shape.h>

// As dock_redraw, from (x, y) of the pixmap.  Exposures never wait in a
// queue (the toolkit drops them as they come), so there are none to drop.
void
dock_redraw_at(int x, int y)
{
	const dock_state_record &ds = dock_state;
	for (Window w : { ds.icon_window, ds.main_window })
		XCopyArea(ds.display, ds.frame_pixmap, w, ds.normal_gc, x, y, ds.xpm_attributes.width,
		          ds.xpm_attributes.height, 0, 0);
}

void
dock_copy_pixmap_area(int src_x, int src_y, int width, int height, int dst_x, int dst_y)
{
	XCopyArea(dock_state.display, dock_state.frame_pixmap, dock_state.frame_pixmap,
	          dock_state.normal_gc, src_x, src_y, static_cast<unsigned>(width),
	          static_cast<unsigned>(height), dst_x, dst_y);
}

void
dock_set_mask_at(int x, int y)
{
	XShapeCombineMask(dock_state.display, dock_state.main_window, ShapeBounding, x, y,
	                  dock_state.shape_mask, ShapeSet);
	XShapeCombineMask(dock_state.display, dock_state.icon_window, ShapeBounding, x, y,
	                  dock_state.shape_mask, ShapeSet);
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
