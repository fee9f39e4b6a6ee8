// SPDX-License-Identifier: GPL-2.0-or-later
// The applet's X side: pixel values for the palette, the frame image the
// renderer's indices are converted into, the event dispatch and one frame
// of the loop.  main.cpp calls applet_setup once and applet_frame forever.
#include "frame.h"
#include "dock.h"

#include <bit>
#include <cstdio>
#include <algorithm>
#include <cstdlib>

std::array<unsigned long, palette_size> pixel_table;
XImage *frame_image;
int frame_scale = 1;

namespace {

// A click that ran nothing shows a red cross over the well for half a
// second: nothing the tunnel ever shows, and the animation goes on below.
constexpr long long sign_ns = 500000000;
struct sign_record {
	unsigned long pixel;             // red; the palette's brightest on a private colormap
	long long until;                 // CLOCK_MONOTONIC ns; 0: no sign
} sign;

// Two diagonals of the well, 6 pixels wide (at scale 1).
void
draw_sign(XImage *image)
{
	int side = well_side * frame_scale, width = 3 * frame_scale;
	for (int y = 0; y < side; y++)
		for (int x = std::max(0, y - width); x <= std::min(side - 1, y + width); x++) {
			XPutPixel(image, x, y, sign.pixel);
			XPutPixel(image, side - 1 - x, y, sign.pixel);
		}
}

unsigned short
widen(std::uint8_t v)
{
	return static_cast<unsigned short>(v << 8);
}

// A failed allocation repeats the previous entry's pixel (black for the
// first), so every entry shows some colour of the ramp.
void
allocate_pixels()
{
	std::array<XColor, palette_size> colours{};
	std::array<bool, palette_size> allocated;
	for (int i = 0; i < palette_size; i++) {
		colours[i].red = widen(colour_ramps[0][i]);
		colours[i].green = widen(colour_ramps[1][i]);
		colours[i].blue = widen(colour_ramps[2][i]);
		colours[i].flags = DoRed | DoGreen | DoBlue;
	}
	dock_alloc_colors(colours, allocated);
	XColor red{};
	red.red = 0xFFFF;
	red.flags = DoRed | DoGreen | DoBlue;
	bool got_red;
	dock_alloc_colors({ &red, 1 }, { &got_red, 1 });
	sign.pixel = got_red ? red.pixel : WhitePixel(dock_state.display, dock_state.screen);
	unsigned long previous = BlackPixel(dock_state.display, dock_state.screen);
	for (int i = 0; i < palette_size; i++) {
		if (allocated[i])
			previous = colours[i].pixel;
		pixel_table[i] = previous;
	}
}

// Fills pixel_table and returns the bitmap pad the frame image needs.
int
setup_pixels(Visual *visual, int depth)
{
	if (depth < 8)
		dock_fatal(-1, "Need at least 8-bit display!\n");
	// Only a dynamic 8-bit visual takes a colormap with every cell writable;
	// a static one (StaticGray, StaticColor, TrueColor) gets the server's
	// nearest colours, as deep screens do.
	if (depth == 8 && (visual->c_class == PseudoColor || visual->c_class == GrayScale)) {
		std::array<XColor, palette_size> cells;
		for (int i = 0; i < palette_size; i++) {
			cells[i].pixel = static_cast<unsigned long>(i);
			cells[i].red = widen(colour_ramps[0][i]);
			cells[i].green = widen(colour_ramps[1][i]);
			cells[i].blue = widen(colour_ramps[2][i]);
			cells[i].flags = DoRed | DoGreen | DoBlue;
			pixel_table[i] = static_cast<unsigned long>(i);
		}
		dock_private_colormap(cells);
		auto light = [](int i) { return colour_ramps[0][i] + colour_ramps[1][i] + colour_ramps[2][i]; };
		int brightest = 0;
		for (int i = 1; i < palette_size; i++)
			brightest = light(i) > light(brightest) ? i : brightest;
		sign.pixel = static_cast<unsigned long>(brightest);
		return 8;
	}
	allocate_pixels();
	return depth == 8 ? 8 : 32;
}

void
create_frame_image(Visual *visual, int depth, int pad)
{
	frame_image = XCreateImage(dock_state.display, visual, static_cast<unsigned>(depth), ZPixmap, 0,
	                           nullptr, well_side * frame_scale, well_side * frame_scale, pad, 0);
	if (!frame_image)
		dock_fatal(1, "quarvel: can't create the frame image\n");
	// Kept for the life of the process, like every other start-up resource.
	frame_image->data = static_cast<char *>(
		std::calloc(static_cast<std::size_t>(frame_image->bytes_per_line), well_side * frame_scale));
	if (!frame_image->data)
		dock_fatal(1, "quarvel: out of memory\n");
}

// Runs the button's command on its second press; the animation waits for
// it, and the presses made meanwhile (to wake the screen from a locker)
// count for nothing.
void
on_button_press(const dock_event &ev)
{
	bool refused;
	const char *command = click_command(ev.button, tunnel_settings, &refused);
	if (command) {
		refused = !run_click_command(ev.button, command);
		dock_drop_presses();
	}
	if (refused)
		sign.until = dock_now_ns() + sign_ns;
}

// This frame's events, as the toolkit hands them out.
void
handle_events()
{
	dock_event ev;
	while (dock_next_event(&ev)) {
		switch (ev.type) {
		case ButtonPress:
			on_button_press(ev);
			break;
		// Crossing events are not selected (a docked applet must not take
		// the focus as the pointer passes), so these only run if a caller
		// selects them.
		case EnterNotify:
			dock_crossing(true);
			break;
		case LeaveNotify:
			dock_crossing(false);
			break;
		default:
			break;
		}
	}
}

} // namespace

void
convert_frame_generic(XImage *image)
{
	for (int y = 0; y < well_side * frame_scale; y++)
		for (int x = 0; x < well_side * frame_scale; x++)
			XPutPixel(image, x, y, pixel_table[index_frame[y / frame_scale * well_side + x / frame_scale]]);
}

bool
convert_frame_direct(XImage *image)
{
	constexpr int host_order = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
	if (image->format != ZPixmap || (image->bits_per_pixel > 8 && image->byte_order != host_order))
		return false;
	return convert_frame(index_frame, pixel_table, image->bits_per_pixel, image->bytes_per_line,
	                     reinterpret_cast<std::uint8_t *>(image->data), frame_scale);
}

void
applet_setup()
{
	Display *dpy = dock_state.display;
	Visual *visual = DefaultVisual(dpy, dock_state.screen);
	int depth = DefaultDepth(dpy, dock_state.screen);

	build_colour_ramps(tunnel_settings);
	int pad = setup_pixels(visual, depth);
	create_frame_image(visual, depth, pad);
	build_tunnel_map(tunnel_settings);
	build_texture(tunnel_settings);
	anim_offsets = { 0.0f, 0.0f };
}

void
applet_reload()
{
	Display *dpy = dock_state.display;
	build_colour_ramps(tunnel_settings);
	setup_pixels(DefaultVisual(dpy, dock_state.screen), DefaultDepth(dpy, dock_state.screen));
	build_tunnel_map(tunnel_settings);
	build_texture(tunnel_settings);
}

void
applet_frame()
{
	handle_events();
	// Nobody can see it: no rendering and no requests, and the animation
	// goes on from here once somebody can.
	if (!dock_seen())
		return;
	render_frame(tunnel_settings);
	advance_offsets(tunnel_settings);
	// Straight into the image's buffer for the common formats; XPutPixel
	// gives the same bytes for every other one.
	if (!convert_frame_direct(frame_image))
		convert_frame_generic(frame_image);
	if (sign.until && dock_now_ns() < sign.until)
		draw_sign(frame_image);
	else
		sign.until = 0;
	// The whole frame, image and both copies, in one write before the sleep.
	// A larger image than xcb's buffer holds (from --scale 2 on) is written
	// at once: the copies then go ahead of it, in its write, and show the
	// frame before, which costs a frame's delay and no write of its own.
	if (frame_scale == 1) {
		dock_put_image(frame_image, well_origin, well_origin);
		dock_redraw();
	} else {
		dock_redraw();
		dock_put_image(frame_image, well_origin * frame_scale, well_origin * frame_scale);
	}
	dock_flush();
}
