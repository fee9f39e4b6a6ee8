// SPDX-License-Identifier: GPL-2.0-or-later
// quarvel-preview: renders the tunnel as the applet would show it with a
// settings file, without an X server, into an animated GIF (or a PNG of
// the first frame) whose palette is the colour ramps and whose pixels are
// the frames' palette indices.  The GIF moves at the applet's speed.
//
//   quarvel-preview [-c FILE] [-n FRAMES] [-s SCALE] -o OUT.gif|OUT.png
#include "applet.h"
#include "image_out.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int max_frames = 10000;     // images in a GIF
constexpr int max_scale = 16;
// The applet draws about 97 frames a second (10 ms of sleep and a fraction
// of a millisecond of drawing).  2/100 s is the shortest delay viewers
// honour, so each image shows every second frame: 100 frames a second.
constexpr int frame_delay_cs = 2;
constexpr int frames_per_image = 2;

const char *usage =
	"usage: quarvel-preview [-c FILE] [-n FRAMES] [-s SCALE] -o OUT.gif|OUT.png\n"
	"  -c FILE    settings file (default: ~/.fesk/quarvelrc, or the defaults)\n"
	"  -n FRAMES  images in the GIF, 1 to 10000, 2/100 s each, each showing every\n"
	"             second frame of the applet (default: one trip along the tunnel,\n"
	"             or one full turn when it only turns)\n"
	"  -s SCALE   integer scale, 1 to 16 (default 1)\n"
	"  -o OUT     OUT.gif: animated GIF; OUT.png: the first frame\n"
	"  -v, --version  print the version and exit\n";

[[noreturn]] void
fail(int status, const std::string &message)
{
	std::fprintf(stderr, "quarvel-preview: %s\n", message.c_str());
	std::exit(status);
}

int
parse_count(const char *text, const char *what, int max)
{
	char *end = nullptr;
	errno = 0;
	long v = std::strtol(text, &end, 10);
	if (errno || end == text || *end || v < 1 || v > max)
		fail(2, std::string("bad ") + what + " '" + text + "': give a whole number from 1 to " +
		            std::to_string(max));
	return static_cast<int>(v);
}

// Case aside: "OUT.PNG" is a PNG too.
bool
ends_with(const std::string &s, const char *tail)
{
	std::size_t n = std::strlen(tail);
	return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// The settings file must be a readable regular file, read as the applet
// reads it, with the applet's lines about it: a directory, which the
// applet would take for an empty file, is refused here.
void
load_settings_file(const char *path)
{
	if (settings_read(path))
		return;
	int err = errno;
	struct stat st;
	if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
		fail(1, std::string(path) + " is not a regular file");
	fail(1, std::string("cannot read ") + path + ": " + std::strerror(err));
}

// The user's own file when there is one; never created here.
void
load_user_settings()
{
	tunnel_settings = default_settings;
	const char *home = std::getenv("HOME");
	if (!home)
		return;
	std::string path = std::string(home) + "/" + settings_dir + "/" + settings_name;
	if (access(path.c_str(), R_OK) == 0)
		load_settings_file(path.c_str());
}

// Applet frames for an offset moving `step` texels a frame to travel the
// texture's 256 once; 0 when it stands still.
int
cycle_frames(float step)
{
	constexpr int most = max_frames * frames_per_image;
	if (!std::isfinite(step) || step == 0.0f)
		return 0;
	double frames = std::ceil(256.0 / std::fabs(static_cast<double>(step)));
	if (!(frames < most))
		return most;
	return trunc_or_zero(static_cast<float>(frames));
}

// Images for one trip along the tunnel, or for one full turn when it only
// turns; one when it stands still.
int
default_images(const settings_record &s)
{
	int frames = cycle_frames(s.t_mov_step);
	if (frames == 0)
		frames = cycle_frames(s.t_rot_step);
	return frames == 0 ? 1 : (frames + frames_per_image - 1) / frames_per_image;
}

rgb_palette
ramp_palette()
{
	rgb_palette p;
	for (int i = 0; i < palette_size; i++)
		p[i] = { colour_ramps[0][i], colour_ramps[1][i], colour_ramps[2][i] };
	return p;
}

} // namespace

int
main(int argc, char *argv[])
{
	settings_program = "quarvel-preview";
	const char *settings_path = nullptr;
	const char *out = nullptr;
	int frames = 0, scale = 1;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if ((a == "-c" || a == "-n" || a == "-s" || a == "-o") && i + 1 == argc)
			fail(2, "option " + a + " needs a value\n" + usage);
		if (a == "-c")
			settings_path = argv[++i];
		else if (a == "-n")
			frames = parse_count(argv[++i], "frame count", max_frames);
		else if (a == "-s")
			scale = parse_count(argv[++i], "scale", max_scale);
		else if (a == "-o")
			out = argv[++i];
		else if (a == "-h" || a == "--help") {
			std::fputs(usage, stdout);
			return 0;
		} else if (a == "-v" || a == "--version") {
			std::fputs("quarvel-preview " QUARVEL_VERSION "\n", stdout);
			return 0;
		} else
			fail(2, "unknown argument '" + a + "'\n" + usage);
	}
	if (!out || !*out)
		fail(2, std::string("no output file given\n") + usage);
	bool png = ends_with(out, ".png");
	if (!png && !ends_with(out, ".gif"))
		fail(2, std::string("output name '") + out + "' ends in neither .gif nor .png");

	if (settings_path)
		load_settings_file(settings_path);
	else
		load_user_settings();
	const settings_record &s = tunnel_settings;
	if (frames == 0)
		frames = default_images(s);

	build_colour_ramps(s);
	build_tunnel_map(s);
	build_texture(s);
	anim_offsets = { 0.0f, 0.0f };
	rgb_palette palette = ramp_palette();
	std::string error;

	if (png) {
		render_frame(s);
		if (!png_write_indexed(out, index_frame.data(), well_side, well_side, scale, palette, error))
			fail(1, error);
		return 0;
	}

	gif_stream gif;
	if (!gif_begin(gif, out, well_side * scale, well_side * scale, palette, error))
		fail(1, error);
	int report_every = frames >= 500 ? frames / 10 : 0;
	for (int k = 0; k < frames; k++) {
		render_frame(s);
		for (int skip = 0; skip < frames_per_image; skip++)
			advance_offsets(s);
		if (!gif_add_frame(gif, index_frame.data(), well_side, well_side, scale, frame_delay_cs, error)) {
			std::string ignored;
			gif_end(gif, false, ignored);
			fail(1, error);
		}
		if (report_every && (k + 1) % report_every == 0)
			std::fprintf(stderr, "quarvel-preview: frame %d of %d\n", k + 1, frames);
	}
	if (!gif_end(gif, true, error))
		fail(1, error);
	return 0;
}
