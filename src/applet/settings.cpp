// SPDX-License-Identifier: GPL-2.0-or-later
// The settings file: "quarvelrc" in ".fesk" under HOME.  The first start
// writes the defaults; later starts only read it, and anything that exists
// at the path is never written over.  A key missing from the file reads as
// 0, 0.0 or "".  The commands it names run only when nobody but the user
// (or root) could have put them there.
#include "applet.h"
#include "cfg.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

command_guard_record command_guard;

namespace {

char loaded_path[cfg_path_max + 1];     // what settings_path() names

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
	char *commands[3] = { s.command1, s.command2, s.command3 };
	const char *keys[3] = { "command1", "command2", "command3" };
	for (int i = 0; i < 3; i++) {
		safe_strcpy(commands[i], cfg_get_string(keys[i]), command_max);
		command_guard.cut[static_cast<std::size_t>(i)] = cfg_value_was_cut();
	}
}

// Why a file or directory someone else could change, or null when only its
// owner can, and that owner is this user or root.
const char *
not_ours(const struct stat &st)
{
	if (st.st_uid != geteuid() && st.st_uid != 0)
		return "belongs to another user";
	if (st.st_mode & S_IWOTH)
		return "is writable by others";
	if (st.st_mode & S_IWGRP)
		return "is writable by its group";
	return nullptr;
}

// The directory part of `path` ("." for a bare name), in `dir`.
void
directory_of(const char *path, char (&dir)[PATH_MAX])
{
	safe_strcpy(dir, path, PATH_MAX - 1);
	char *slash = std::strrchr(dir, '/');
	if (!slash)
		safe_strcpy(dir, ".", PATH_MAX - 1);
	else
		slash[slash == dir ? 1 : 0] = '\0';
}

// Disables the commands, with one line saying why, when the open file (its
// symlinks followed), the directory the path names it in, or the directory
// it really lies in is not the user's alone.
void
guard_commands(const char *path, FILE *f)
{
	struct stat st;
	const char *culprit = nullptr;
	const char *why = nullptr;
	if (fstat(fileno(f), &st) != 0 || (why = not_ours(st)))
		culprit = path;
	static char dirs[2][PATH_MAX];
	static char real[PATH_MAX];
	directory_of(path, dirs[0]);
	dirs[1][0] = '\0';
	if (realpath(path, real))
		directory_of(real, dirs[1]);
	for (const char *d : dirs) {
		if (culprit || !d[0])
			continue;
		if (stat(d, &st) != 0 || (why = not_ours(st)))
			culprit = d;
	}
	if (culprit) {
		command_guard.disabled = true;
		std::fprintf(stderr, "quarvel: %s %s; click commands are disabled\n", culprit,
		             why ? why : "cannot be checked");
	}
}

bool
read_file(const char *path, bool guard)
{
	FILE *f = cfg_open(path, cfg_read);
	if (!f)
		return false;
	settings_record &s = tunnel_settings;
	command_guard = {};
	read_settings(s);
	if (guard)
		guard_commands(path, f);
	cfg_close();
	check_block("tex_block_w", s.tex_block_w);
	check_block("tex_block_h", s.tex_block_h);
	return true;
}

} // namespace

bool
settings_read(const char *path)
{
	return read_file(path, false);
}

void
settings_load()
{
	const char *path = cfg_file_path(settings_dir, settings_name);
	safe_strcpy(loaded_path, path, cfg_path_max);
	command_guard = {};
	struct stat st;
	// Only where nothing exists is there anything to create; HOME itself
	// may be missing, or too long to name anything.
	if (lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)) {
		tunnel_settings = default_settings;
		settings_save();
		return;
	}
	if (read_file(path, true))
		return;
	// Something is there that cannot be read: never write over it.
	int err = errno;
	tunnel_settings = default_settings;
	if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
		std::fprintf(stderr, "quarvel: %s is not a regular file; using the defaults\n", path);
	else
		std::fprintf(stderr, "quarvel: can't read %s (%s); using the defaults\n", path,
		             std::strerror(err));
}

const char *
settings_path()
{
	return loaded_path;
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
