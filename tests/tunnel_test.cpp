// SPDX-License-Identifier: GPL-2.0-or-later
// Renderer: reference values worked out by hand from the tunnel's formulas,
// and the wraps, truncations and out-of-range cases that are easy to get wrong.
#include "applet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

struct entry_row {
	int r, c;
	int angle, depth, shade;
};

map_entry
map_at(int r, int c)
{
	return tunnel_map[r * well_side + c];
}

std::uint8_t
texel(int u, int v)
{
	return tunnel_texture[v * texture_side + u];
}

std::uint8_t
pixel_at(int r, int c)
{
	return index_frame[r * well_side + c];
}

void
build_all(const settings_record &s)
{
	build_colour_ramps(s);
	build_tunnel_map(s);
	build_texture(s);
}

well_bytes
frame_at(const settings_record &s, float depth, float turn)
{
	anim_offsets = { depth, turn };
	render_frame(s);
	return index_frame;
}

} // namespace

TEST(TruncOrZero, TruncatesAndRejectsWhatDoesNotFit)
{
	EXPECT_EQ(trunc_or_zero(2.9f), 2);
	EXPECT_EQ(trunc_or_zero(-2.9f), -2);                 // toward zero, not floor
	EXPECT_EQ(trunc_or_zero(-2147483648.0f), INT32_MIN); // the one exact edge
	EXPECT_EQ(trunc_or_zero(2147483648.0f), 0);          // 2^31 does not fit
	EXPECT_EQ(trunc_or_zero(-2147483904.0f), 0);         // next float below -2^31
	EXPECT_EQ(trunc_or_zero(nan_f), 0);
	EXPECT_EQ(trunc_or_zero(std::numeric_limits<float>::infinity()), 0);
	EXPECT_EQ(trunc_or_zero(-std::numeric_limits<float>::infinity()), 0);
}

TEST(ColourRamps, DefaultsAndClamping)
{
	build_colour_ramps(default_settings);
	// red = min(i + 24, 255), green = max(i - 12, 0), blue = 55
	EXPECT_EQ(colour_ramps[0][0], 24);
	EXPECT_EQ(colour_ramps[1][0], 0);
	EXPECT_EQ(colour_ramps[2][0], 55);
	EXPECT_EQ(colour_ramps[0][231], 255);
	EXPECT_EQ(colour_ramps[0][230], 254);
	EXPECT_EQ(colour_ramps[1][12], 0);
	EXPECT_EQ(colour_ramps[1][13], 1);
	EXPECT_EQ(colour_ramps[0][255], 255);
	EXPECT_EQ(colour_ramps[1][255], 243);
	EXPECT_EQ(colour_ramps[2][255], 55);

	settings_record s = default_settings;
	s.t_col_mul_R = 1e10f;    // too large for int32: 0, not 255
	s.t_col_add_G = nan_f;
	s.t_col_mul_B = -0.5f;    // -0.5 * 1 + 55 = 54.5 truncates to 54
	build_colour_ramps(s);
	EXPECT_EQ(colour_ramps[0][0], 24);    // 0 * 1e10 + 24
	EXPECT_EQ(colour_ramps[0][1], 0);
	EXPECT_EQ(colour_ramps[0][255], 0);
	EXPECT_EQ(colour_ramps[1][100], 0);
	EXPECT_EQ(colour_ramps[2][1], 54);
	EXPECT_EQ(colour_ramps[2][200], 0);   // -45 clamps to 0

	// 0.1 * 3 rounds to 0.3000000119 in float; + 0.7 gives exactly 1.0 when
	// each step rounds, 0.99999... if the two were fused.
	s = default_settings;
	s.t_col_mul_R = 0.1f;
	s.t_col_add_R = 0.7f;
	build_colour_ramps(s);
	EXPECT_EQ(colour_ramps[0][3], 1);
}

TEST(TunnelMap, ReferenceEntries)
{
	build_tunnel_map(default_settings);
	const entry_row rows[] = {
		{ 27, 27, 0, 0, 0 },        // the axis: infinite depth counts 0
		{ 27, 28, 0, 232, 5 },      // right of the axis: 1000 * 256 wraps to 232
		{ 26, 27, 192, 231, 5 },    // above: negative angle borrows one from depth
		{ 28, 27, 64, 232, 5 },     // below: rows grow downwards, angle clockwise
		{ 27, 26, 128, 232, 5 },    // left
		{ 0, 0, 160, 25, 198 },
		{ 53, 53, 32, 27, 191 },
		{ 10, 40, 219, 45, 111 },
	};
	for (const auto &e : rows) {
		map_entry got = map_at(e.r, e.c);
		EXPECT_EQ(got.angle, e.angle) << "row " << e.r << " column " << e.c;
		EXPECT_EQ(got.depth, e.depth) << "row " << e.r << " column " << e.c;
		EXPECT_EQ(got.shade, e.shade) << "row " << e.r << " column " << e.c;
	}

	settings_record flat = default_settings;
	flat.persp_switch = 0;
	build_tunnel_map(flat);
	const int flat_depths[][3] = {
		{ 27, 27, 0 }, { 27, 28, 1 }, { 26, 27, 0 }, { 28, 27, 1 },
		{ 27, 26, 1 }, { 0, 0, 37 }, { 53, 53, 36 },
	};
	for (const auto &f : flat_depths)
		EXPECT_EQ(map_at(f[0], f[1]).depth, f[2]) << "row " << f[0] << " column " << f[1];
	EXPECT_EQ(map_at(27, 27).angle, 0);
	EXPECT_EQ(map_at(27, 27).shade, 0);
}

TEST(TunnelMap, ShadeOutOfRange)
{
	settings_record s = default_settings;
	s.t_shade_level = -1.0f;          // no lower clamp: -1 wraps to 255
	build_tunnel_map(s);
	EXPECT_EQ(map_at(27, 28).shade, 255);
	EXPECT_EQ(map_at(27, 30).shade, 253);

	s.t_shade_level = 1.5e9f;         // fits int32 at d = 1, too large at d = 2
	build_tunnel_map(s);
	EXPECT_EQ(map_at(27, 28).shade, 255);
	EXPECT_EQ(map_at(27, 29).shade, 0);
	EXPECT_EQ(map_at(27, 27).shade, 0);

	s.t_shade_level = nan_f;
	s.t_persp = nan_f;                // NaN depth counts as 0
	build_tunnel_map(s);
	EXPECT_EQ(map_at(0, 0).shade, 0);
	EXPECT_EQ(map_at(27, 28).depth, 0);
	EXPECT_EQ(map_at(26, 27).depth, 255);   // 0 * 256 - 64 wraps in 16 bits
}

TEST(Texture, BlocksBandsAndLowBytes)
{
	build_texture(default_settings);
	EXPECT_EQ(texel(0, 0), 20);
	EXPECT_EQ(texel(32, 32), 20);
	EXPECT_EQ(texel(32, 0), 128);
	EXPECT_EQ(texel(0, 32), 128);
	EXPECT_EQ(texel(31, 31), 20);
	EXPECT_EQ(texel(255, 0), 128);          // block 7 of the row

	settings_record s = default_settings;
	s.tex_block_w = 256;                    // horizontal bands
	build_texture(s);
	for (int u = 0; u < texture_side; u++) {
		EXPECT_EQ(texel(u, 31), 20);
		EXPECT_EQ(texel(u, 32), 128);
	}
	s = default_settings;
	s.tex_block_h = 1000;                   // vertical bands
	build_texture(s);
	for (int v = 0; v < texture_side; v++) {
		EXPECT_EQ(texel(31, v), 20);
		EXPECT_EQ(texel(32, v), 128);
	}
	s.tex_block_w = 256;                    // one block: only the first colour
	build_texture(s);
	EXPECT_EQ(texel(255, 255), 20);

	s = default_settings;
	s.tex_block_w = 3;                      // blocks cut off at the edge
	s.tex_block_h = 5;
	s.t_color_1 = 300;                      // low 8 bits: 44
	s.t_color_2 = -1;                       // 255
	build_texture(s);
	EXPECT_EQ(texel(0, 0), 44);
	EXPECT_EQ(texel(3, 0), 255);
	EXPECT_EQ(texel(255, 0), 255);          // block 85 of the row: odd
	EXPECT_EQ(texel(255, 255), 44);         // 85 + 51 = 136, even
}

TEST(RenderFrame, FirstFrameReference)
{
	build_all(default_settings);
	frame_at(default_settings, 0.0f, 0.0f);
	EXPECT_EQ(pixel_at(27, 27), 0);
	EXPECT_EQ(pixel_at(27, 28), 2);
	EXPECT_EQ(pixel_at(0, 0), 99);
	EXPECT_EQ(pixel_at(53, 53), 95);
	EXPECT_EQ(pixel_at(10, 40), 55);
}

TEST(RenderFrame, ShadeOffShowsOnlyTheTwoColours)
{
	settings_record s = default_settings;
	s.shade_switch = 0;
	build_all(s);
	frame_at(s, 12.0f, 100.0f);
	bool seen_first = false, seen_second = false;
	for (auto t : index_frame) {
		ASSERT_TRUE(t == 20 || t == 128) << int(t);
		seen_first |= t == 20;
		seen_second |= t == 128;
	}
	EXPECT_TRUE(seen_first && seen_second);
}

TEST(RenderFrame, OffsetEdges)
{
	build_all(default_settings);
	const settings_record &s = default_settings;
	well_bytes at_zero = frame_at(s, 0.0f, 0.0f);

	// depth 256 samples like 0: the depth wraps modulo 256
	EXPECT_EQ(frame_at(s, 256.0f, 0.0f), at_zero);
	// offsets that are not numbers sample as 0
	EXPECT_EQ(frame_at(s, nan_f, nan_f), at_zero);
	// rotation 256 reads each sample from the texture row before, which is
	// what depth offset 255 reads
	well_bytes turned = frame_at(s, 0.0f, 256.0f);
	EXPECT_NE(turned, at_zero);
	EXPECT_EQ(turned, frame_at(s, 255.0f, 0.0f));
	// fractions are truncated, not rounded
	EXPECT_EQ(frame_at(s, 3.99f, 7.99f), frame_at(s, 3.0f, 7.0f));
}

TEST(AdvanceOffsets, WrapRules)
{
	settings_record s = default_settings;
	s.t_mov_step = 0.5f;
	s.t_rot_step = 0.6f;
	anim_offsets = { 255.5f, 255.5f };
	advance_offsets(s);
	EXPECT_EQ(anim_offsets.depth, 256.0f);   // exactly 256 stays
	EXPECT_EQ(anim_offsets.turn, 0.0f);      // 256.1 is past it

	s.t_mov_step = -0.5f;
	s.t_rot_step = -0.0f;
	anim_offsets = { 0.25f, 0.0f };
	advance_offsets(s);
	EXPECT_EQ(anim_offsets.depth, 256.0f);   // below 0 wraps to 256
	EXPECT_EQ(anim_offsets.turn, 0.0f);

	s.t_mov_step = nan_f;
	advance_offsets(s);
	advance_offsets(s);
	EXPECT_TRUE(std::isnan(anim_offsets.depth));   // no test fires on NaN
}

TEST(AdvanceOffsets, DefaultStepsWrapAt427And854)
{
	anim_offsets = { 0.0f, 0.0f };
	int depth_wrap = 0, turn_wrap = 0;
	for (int step = 1; step <= 900; step++) {
		advance_offsets(default_settings);
		if (!depth_wrap && anim_offsets.depth == 0.0f)
			depth_wrap = step;
		if (!turn_wrap && anim_offsets.turn == 0.0f)
			turn_wrap = step;
	}
	EXPECT_EQ(depth_wrap, 427);
	EXPECT_EQ(turn_wrap, 854);
}

TEST(AdvanceOffsets, ZeroStepsFreezeTheFrame)
{
	settings_record s = default_settings;
	s.t_mov_step = 0.0f;
	s.t_rot_step = 0.0f;
	build_all(s);
	anim_offsets = { 17.0f, 33.0f };
	render_frame(s);
	well_bytes first = index_frame;
	advance_offsets(s);
	render_frame(s);
	EXPECT_EQ(index_frame, first);
}
