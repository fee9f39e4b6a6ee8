// SPDX-License-Identifier: GPL-2.0-or-later
// The tunnel applet: its settings record, the renderer's tables and
// operations, and the compiled-in frame art.  Nothing here touches X.
#pragma once

#include <array>
#include <string>
#include <vector>
#include <cstdint>
#include <variant>

inline constexpr int well_side = 54;                  // the tunnel well, in pixels
inline constexpr int well_pixels = well_side * well_side;
inline constexpr int well_origin = 5;                 // well's top-left in the window
inline constexpr int frame_side = 64;                 // frame image and windows
inline constexpr int texture_side = 256;
inline constexpr int palette_size = 256;
inline constexpr int command_max = 1023;              // characters of a command text
inline constexpr int default_block = 32;              // checker block fallback

struct settings_record {
	int shade_switch;       // non-zero: darken texels by the map's shade byte
	int persp_switch;       // non-zero: depth = t_persp / distance
	float t_shade_level;    // shade gained per pixel of distance
	float t_persp;
	float t_mov_step;       // depth offset change per frame, texels
	float t_rot_step;       // rotation offset change per frame, 256 = full turn
	int tex_block_w;        // checker block size in texels
	int tex_block_h;
	float t_col_add_R, t_col_add_G, t_col_add_B;
	float t_col_mul_R, t_col_mul_G, t_col_mul_B;
	int t_color_1;          // palette indices of the checker colours
	int t_color_2;
	char command1[command_max + 1];
	char command2[command_max + 1];
	char command3[command_max + 1];
};

inline constexpr settings_record default_settings = {
	1, 1, 5.2f, 1000.0f, 0.6f, 0.3f, 32, 32,
	24.0f, -12.0f, 55.0f, 1.0f, 1.0f, 0.0f,
	20, 128,
	"xlock", "xlock -mode thornbird", "xlock -mode blank",
};

extern settings_record tunnel_settings;   // filled at start-up and by a reload

// The settings file's keys, in the order the first start writes them, each
// with its field (the alternative held is its kind) and whether an empty
// line follows it there.  Reading, checking and writing all go by this.
using int_field = int settings_record::*;
using float_field = float settings_record::*;
using text_field = char (settings_record::*)[command_max + 1];
struct setting_key {
	const char *name;
	std::variant<int_field, float_field, text_field> field;
	bool blank_after = false;
};
inline constexpr std::array<setting_key, 19> setting_keys = { {
	{ "shade_switch", &settings_record::shade_switch },
	{ "persp_switch", &settings_record::persp_switch, true },
	{ "t_shade_level", &settings_record::t_shade_level },
	{ "t_persp", &settings_record::t_persp },
	{ "t_mov_step", &settings_record::t_mov_step },
	{ "t_rot_step", &settings_record::t_rot_step, true },
	{ "tex_block_w", &settings_record::tex_block_w },
	{ "tex_block_h", &settings_record::tex_block_h, true },
	{ "t_col_add_R", &settings_record::t_col_add_R },
	{ "t_col_add_G", &settings_record::t_col_add_G },
	{ "t_col_add_B", &settings_record::t_col_add_B, true },
	{ "t_col_mul_R", &settings_record::t_col_mul_R },
	{ "t_col_mul_G", &settings_record::t_col_mul_G },
	{ "t_col_mul_B", &settings_record::t_col_mul_B, true },
	{ "t_color_1", &settings_record::t_color_1 },
	{ "t_color_2", &settings_record::t_color_2, true },
	{ "command1", &settings_record::command1 },
	{ "command2", &settings_record::command2 },
	{ "command3", &settings_record::command3 },
} };

// The settings file is settings_name in settings_dir under HOME.
inline constexpr const char *settings_dir = ".fesk";
inline constexpr const char *settings_name = "quarvelrc";

// Fills tunnel_settings from the settings file: `file` as given (relative
// to the current directory), or ~/.fesk/quarvelrc when it is null.  The
// defaults are written there only when nothing exists at the path (a
// directory is made only for the default file); a file that exists but
// cannot be read, or is no regular file, is left alone and the defaults are
// used, with one line on standard error, as they are when the path is too
// long, there is no home, or the named file's directory does not exist.
// Each key the file lacks is named on standard error.
void settings_load(const char *file = nullptr);
// Reads the file settings_load used again, with every check of the first
// read, and replaces tunnel_settings and command_guard.  A file that cannot
// be read leaves both as they were, with one line on standard error, and
// gives false; nothing is ever written.
bool settings_reload();
// Writes tunnel_settings to settings_path() whole or not at all, and only
// where nothing is; false (with errno, EEXIST when something appeared
// there) when it did not.
bool settings_save();
// Fills tunnel_settings and command_guard from the regular file at `path`
// as settings_reload does, with the same lines; false (with errno, EISDIR
// for a directory) when it cannot be read, leaving both as they were.
bool settings_read(const char *path);
// The program named by the lines settings_read prints: "quarvel" unless
// the previewer says otherwise, and then the guard's lines say they concern
// quarvel's click commands.  settings_load's own lines run only in the
// applet.
extern const char *settings_program;
// The settings file settings_load used, for messages that tell the user
// what to edit; empty before settings_load or when there was no usable path.
const char *settings_path();

// What the click commands may run.  A settings file that another user could
// have changed (through its mode or owner, or those of any directory on its
// way, links followed) runs no command at all, and a command cut to
// cfg_value_max characters is not the command its user wrote, so it never
// runs either.
struct command_guard_record {
	bool disabled;
	std::array<bool, 3> cut;       // command1..3
	std::array<char, 4160> reason = {};    // when disabled: "PATH is writable by others"
};
extern command_guard_record command_guard;

struct map_entry {
	std::uint8_t angle;     // around the axis, 256 = full turn
	std::uint8_t depth;     // along the axis
	std::uint8_t shade;     // 0 = black at the axis
};

struct offset_pair {
	float depth;            // texels, kept within 0..256
	float turn;
};

using well_bytes = std::array<std::uint8_t, well_pixels>;
using colour_ramp = std::array<std::uint8_t, palette_size>;

extern std::array<colour_ramp, 3> colour_ramps;                // red, green, blue
extern std::array<map_entry, well_pixels> tunnel_map;           // row-major
extern std::array<std::uint8_t, texture_side * texture_side> tunnel_texture; // [v * 256 + u]
extern well_bytes index_frame;                                  // one frame of palette indices
extern offset_pair anim_offsets;

// Truncates toward zero; NaN or a value outside int32 gives 0.
std::int32_t trunc_or_zero(float v);

void build_colour_ramps(const settings_record &s);
void build_tunnel_map(const settings_record &s);
void build_texture(const settings_record &s);
void render_frame(const settings_record &s);
void advance_offsets(const settings_record &s);

// Writes pixels[frame[i]] for every well pixel into a ZPixmap buffer of 8,
// 16 or 32 bits per pixel in the host's byte order; false for any other
// depth, leaving the buffer untouched.
// With `scale`, each pixel of the well is a scale x scale block.
bool convert_frame(const well_bytes &frame, const std::array<unsigned long, palette_size> &pixels,
                   int bits_per_pixel, int bytes_per_line, std::uint8_t *data, int scale = 1);

// Click commands: one flag each for buttons 1..3, set by a first press.
extern std::array<bool, 3> click_arms;
// The command a press of `button` runs, or null when it only arms, or when
// the press is refused (`refused` set, when given): the command guard
// forbids commands, or the command was cut.  A refused press says why on
// standard error, every time.
const char *click_command(unsigned button, const settings_record &s, bool *refused = nullptr);
// Runs a button's command through the shell and waits for it; false when
// it ran nothing the user asked for.  A command whose first word is a
// program (no builtin, assignment or path) not found on PATH is not run:
// one line on standard error names the setting to change, and when it is
// one of the default commands, the first screen locker installed runs
// instead, and the line says so.  The command's exit status is ignored.
// SIGINT or SIGQUIT that reached the applet while the command ran (a
// Ctrl-C in its terminal) ends it afterwards.
bool run_click_command(unsigned button, const char *command);
// The first of the fallback screen lockers whose program is in one of the
// directories of `path` (a PATH value), skipping xscreensaver-command
// unless `daemon_runs` says its daemon runs; null when there is none.
const char *installed_locker(const char *path, bool (*daemon_runs)());

extern const char *const frame_xpm[];
extern const unsigned char frame_mask_bits[frame_side * frame_side / 8];
inline constexpr int scale_max = 4;
// The frame image and its mask `scale` times larger, each pixel a block.
void scale_art(int scale, std::vector<std::string> &xpm, std::vector<unsigned char> &mask);
