// The settings file: "quarvelrc" in ".fesk" under HOME.  The first start
// writes the defaults; later starts only read it, and an existing file is
// never written back.  A key missing from the file reads as 0, 0.0 or "".
#include "applet.h"
#include "cfg.h"

#include <cstdio>

namespace {

// Block sizes below 1 cannot tile the texture (a missing key reads as 0):
// say so and use the default.
void
check_block(const char *key, int &value)
{
	if (value >= 1)
		return;
	std::fprintf(stderr, "quarvel: %s=%d is below 1; using %d\n", key, value, default_block);
	value = default_block;
}

void
read_settings(settings_record &s)
{
	s.shade_switch = cfg_get_int("shade_switch");
	s.persp_switch = cfg_get_int("persp_switch");
	s.t_shade_level = cfg_get_float("t_shade_level");
	s.t_persp = cfg_get_float("t_persp");
	s.t_mov_step = cfg_get_float("t_mov_step");
	s.t_rot_step = cfg_get_float("t_rot_step");
	s.tex_block_w = cfg_get_int("tex_block_w");
	s.tex_block_h = cfg_get_int("tex_block_h");
	s.t_col_add_R = cfg_get_float("t_col_add_R");
	s.t_col_add_G = cfg_get_float("t_col_add_G");
	s.t_col_add_B = cfg_get_float("t_col_add_B");
	s.t_col_mul_R = cfg_get_float("t_col_mul_R");
	s.t_col_mul_G = cfg_get_float("t_col_mul_G");
	s.t_col_mul_B = cfg_get_float("t_col_mul_B");
	// Truncating remainder: the sign stays, so -1 stays -1 (index 255).
	s.t_color_1 = cfg_get_int("t_color_1") % 255;
	s.t_color_2 = cfg_get_int("t_color_2") % 255;
	safe_strcpy(s.command1, cfg_get_string("command1"), command_max);
	safe_strcpy(s.command2, cfg_get_string("command2"), command_max);
	safe_strcpy(s.command3, cfg_get_string("command3"), command_max);
}

} // namespace

bool
settings_read(const char *path)
{
	if (!cfg_open(path, cfg_read))
		return false;
	settings_record &s = tunnel_settings;
	read_settings(s);
	cfg_close();
	check_block("tex_block_w", s.tex_block_w);
	check_block("tex_block_h", s.tex_block_h);
	return true;
}

void
settings_load()
{
	if (!settings_read(cfg_file_path(settings_dir, settings_name))) {
		tunnel_settings = default_settings;
		settings_save();
	}
}

void
settings_save()
{
	const settings_record &s = tunnel_settings;
	if (!cfg_open(cfg_file_path(settings_dir, settings_name), cfg_write))
		return;
	cfg_put_int("shade_switch", s.shade_switch);
	cfg_put_int("persp_switch", s.persp_switch);
	cfg_put_blank();
	cfg_put_float("t_shade_level", s.t_shade_level);
	cfg_put_float("t_persp", s.t_persp);
	cfg_put_float("t_mov_step", s.t_mov_step);
	cfg_put_float("t_rot_step", s.t_rot_step);
	cfg_put_blank();
	cfg_put_int("tex_block_w", s.tex_block_w);
	cfg_put_int("tex_block_h", s.tex_block_h);
	cfg_put_blank();
	cfg_put_float("t_col_add_R", s.t_col_add_R);
	cfg_put_float("t_col_add_G", s.t_col_add_G);
	cfg_put_float("t_col_add_B", s.t_col_add_B);
	cfg_put_blank();
	cfg_put_float("t_col_mul_R", s.t_col_mul_R);
	cfg_put_float("t_col_mul_G", s.t_col_mul_G);
	cfg_put_float("t_col_mul_B", s.t_col_mul_B);
	cfg_put_blank();
	cfg_put_int("t_color_1", s.t_color_1);
	cfg_put_int("t_color_2", s.t_color_2);
	cfg_put_blank();
	cfg_put_string("command1", s.command1);
	cfg_put_string("command2", s.command2);
	cfg_put_string("command3", s.command3);
	cfg_close();
}
