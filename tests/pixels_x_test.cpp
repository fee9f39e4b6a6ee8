// SPDX-License-Identifier: GPL-2.0-or-later
// The frame conversion's two paths, XPutPixel and straight into the buffer,
// give the same bytes in the images real servers hand out.
#include <gtest/gtest.h>

#include "frame.h"
#include "x_support.h"

#include <X11/Xutil.h>

#include <cstring>
#include <random>

TEST(ConvertFrame, DirectPathMatchesXPutPixel)
{
	build_tunnel_map(default_settings);
	build_texture(default_settings);
	anim_offsets = { 100.0f, 37.0f };
	render_frame(default_settings);
	std::mt19937 random(12345);
	for (int depth : { 8, 15, 16, 24, 30 }) {
		SCOPED_TRACE("depth " + std::to_string(depth));
		xvfb_server x = start_xvfb(depth);
		ASSERT_NE(x.dpy, nullptr);
		int screen = DefaultScreen(x.dpy);
		// Any value the depth can hold, so every bit of every pixel is used.
		unsigned long mask = (1ul << depth) - 1;
		for (auto &p : pixel_table)
			p = random() & mask;
		XImage *images[2];
		for (auto &img : images) {
			img = XCreateImage(x.dpy, DefaultVisual(x.dpy, screen), static_cast<unsigned>(depth), ZPixmap,
			                   0, nullptr, well_side, well_side, depth == 8 ? 8 : 32, 0);
			ASSERT_NE(img, nullptr);
			img->data = static_cast<char *>(std::calloc(static_cast<std::size_t>(img->bytes_per_line), well_side));
		}
		convert_frame_generic(images[0]);
		ASSERT_TRUE(convert_frame_direct(images[1])) << images[1]->bits_per_pixel << " bits per pixel";
		EXPECT_EQ(std::memcmp(images[0]->data, images[1]->data,
		                      static_cast<std::size_t>(images[0]->bytes_per_line) * well_side), 0);
		for (auto &img : images)
			XDestroyImage(img);
		xvfb_stop(x);
	}
}

TEST(ConvertFrame, DirectPathDeclinesOtherFormats)
{
	well_bytes frame{};
	std::uint8_t buffer[4 * well_pixels] = {};
	for (int bpp : { 1, 4, 24 })
		EXPECT_FALSE(convert_frame(frame, pixel_table, bpp, 3 * well_side, buffer)) << bpp;
	EXPECT_EQ(std::memcmp(buffer, std::array<std::uint8_t, sizeof buffer>{}.data(), sizeof buffer), 0);
}
