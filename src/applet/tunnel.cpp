// SPDX-License-Identifier: GPL-2.0-or-later
// Tunnel renderer: the colour ramps, the polar tunnel map and the checker
// texture are built once; render_frame samples one frame from them and
// advance_offsets moves the texture.  Plain arithmetic on byte tables, no X.
//
// The arithmetic is exact: every step rounds to float as written (the build
// turns off fused multiply-add), and every float-to-int conversion goes
// through trunc_or_zero.
#include "applet.h"

#include <cassert>

#include <cfloat>
#include <cmath>
#include <numbers>

static_assert(FLT_EVAL_METHOD == 0, "float maths must not carry extra precision");

settings_record tunnel_settings = default_settings;
std::array<colour_ramp, 3> colour_ramps;
std::array<map_entry, well_pixels> tunnel_map;
std::array<std::uint8_t, texture_side * texture_side> tunnel_texture;
well_bytes index_frame;
offset_pair anim_offsets;

namespace {

// The map again in the form a frame reads it: depth * 256 + angle, so that
// one add and a 16-bit wrap give the texel index, and the shade.
std::array<std::uint16_t, well_pixels> texel_base;
std::array<std::uint8_t, well_pixels> shade_of;

constexpr int axis = 27;                 // row and column of the tunnel's axis
constexpr float full_turn = 256.0f;

std::uint8_t
ramp_value(float mul, float add, int i)
{
	float product = mul * static_cast<float>(i);
	float sum = product + add;
	std::int32_t v = trunc_or_zero(sum);   // out of range counts 0, not 255
	if (v < 0)
		return 0;
	if (v > 255)
		return 255;
	return static_cast<std::uint8_t>(v);
}

map_entry
map_entry_at(int r, int c, const settings_record &s)
{
	int y = r - axis;
	int x = c - axis;
	float fx = static_cast<float>(x);
	float fy = static_cast<float>(y);
	float sum = fx * fx + fy * fy;
	float d = std::sqrt(sum);

	float shade_f = d * s.t_shade_level;
	std::int32_t shade = trunc_or_zero(shade_f);
	if (shade >= 255)
		shade = 255;

	float z = s.persp_switch ? s.t_persp / d : d;   // infinite at the axis
	std::int32_t k = trunc_or_zero(z);

	double angle_d = std::atan2(static_cast<double>(y), static_cast<double>(x));
	angle_d = angle_d * 128.0;
	angle_d = angle_d / std::numbers::pi;
	std::int32_t a = trunc_or_zero(static_cast<float>(angle_d));

	// k * 256 + a, wrapped to 16 bits: a negative angle borrows from the depth.
	std::uint32_t packed = static_cast<std::uint32_t>(k) * 256u + static_cast<std::uint32_t>(a);
	return { static_cast<std::uint8_t>(packed & 0xFFu),
	         static_cast<std::uint8_t>((packed >> 8) & 0xFFu),
	         static_cast<std::uint8_t>(static_cast<std::uint32_t>(shade) & 0xFFu) };
}

float
step_offset(float offset, float step)
{
	float next = offset + step;
	if (next > full_turn)           // exactly 256 stays for one frame
		return 0.0f;
	if (next < 0.0f)
		return full_turn;
	return next;                    // NaN stays NaN and samples as 0
}

} // namespace

std::int32_t
trunc_or_zero(float v)
{
	if (!(v >= -2147483648.0f && v < 2147483648.0f))
		return 0;
	return static_cast<std::int32_t>(v);
}

void
build_colour_ramps(const settings_record &s)
{
	const float mul[3] = { s.t_col_mul_R, s.t_col_mul_G, s.t_col_mul_B };
	const float add[3] = { s.t_col_add_R, s.t_col_add_G, s.t_col_add_B };
	for (int ch = 0; ch < 3; ch++)
		for (int i = 0; i < palette_size; i++)
			colour_ramps[ch][i] = ramp_value(mul[ch], add[ch], i);
}

void
build_tunnel_map(const settings_record &s)
{
	for (int r = 0; r < well_side; r++)
		for (int c = 0; c < well_side; c++)
			tunnel_map[r * well_side + c] = map_entry_at(r, c, s);
	for (int i = 0; i < well_pixels; i++) {
		texel_base[i] = static_cast<std::uint16_t>(tunnel_map[i].depth * 256 + tunnel_map[i].angle);
		shade_of[i] = tunnel_map[i].shade;
	}
}

void
build_texture(const settings_record &s)
{
	// Sizes below 1 never tile; the settings reader has replaced them.
	assert(s.tex_block_w >= 1 && s.tex_block_h >= 1);
	int bw = s.tex_block_w;
	int bh = s.tex_block_h;
	auto first = static_cast<std::uint8_t>(static_cast<unsigned>(s.t_color_1) & 0xFFu);
	auto second = static_cast<std::uint8_t>(static_cast<unsigned>(s.t_color_2) & 0xFFu);
	for (int v = 0; v < texture_side; v++)
		for (int u = 0; u < texture_side; u++)
			tunnel_texture[v * texture_side + u] = (u / bw + v / bh) % 2 == 0 ? first : second;
}

void
render_frame(const settings_record &s)
{
	auto m = static_cast<std::uint32_t>(trunc_or_zero(anim_offsets.depth));
	auto q = static_cast<std::uint32_t>(trunc_or_zero(anim_offsets.turn));
	// ((depth + m) mod 256) * 256 + angle - q, all mod 65536: the depth's own
	// wrap disappears inside the 16-bit one, and an angle below q reads from
	// the end of the row before.
	std::uint32_t shift = m * 256u - q;
	if (s.shade_switch) {
		for (int i = 0; i < well_pixels; i++) {
			std::uint32_t t = tunnel_texture[(texel_base[i] + shift) & 0xFFFFu];
			index_frame[i] = static_cast<std::uint8_t>((t * shade_of[i]) >> 8);
		}
	} else {
		for (int i = 0; i < well_pixels; i++)
			index_frame[i] = tunnel_texture[(texel_base[i] + shift) & 0xFFFFu];
	}
}

void
advance_offsets(const settings_record &s)
{
	anim_offsets.depth = step_offset(anim_offsets.depth, s.t_mov_step);
	anim_offsets.turn = step_offset(anim_offsets.turn, s.t_rot_step);
}
