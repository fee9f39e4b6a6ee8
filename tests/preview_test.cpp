// SPDX-License-Identifier: GPL-2.0-or-later
// quarvel-preview: its frames decode to exactly what the renderer makes
// with the same settings file, at the applet's speed, and bad input never
// leaves a file behind.
#include "applet.h"
#include "support.h"
#include "temp_home.h"

#include <gif_lib.h>
#include <png.h>

#include <dirent.h>
#include <sys/wait.h>

namespace {

constexpr const char *preview = QUARVEL_PREVIEW;

const char *const green_settings =
	"shade_switch=1\npersp_switch=1\nt_shade_level=4.0\nt_persp=600.0\n"
	"t_mov_step=-0.8\nt_rot_step=1.0\ntex_block_w=16\ntex_block_h=8\n"
	"t_col_add_R=0.0\nt_col_add_G=40.0\nt_col_add_B=10.0\n"
	"t_col_mul_R=0.9\nt_col_mul_G=0.8\nt_col_mul_B=0.1\n"
	"t_color_1=60\nt_color_2=250\n";

class Preview : public TempHome {
protected:
	std::string err;

	// Runs the preview with `args`; the exit status, standard error in err.
	int run(const std::string &args)
	{
		std::string cmd = "cd '" + home + "' && '" + preview + "' " + args + " 2>'" + path("err") + "'";
		int status = std::system(cmd.c_str());
		err = read("err");
		std::remove(path("err").c_str());
		EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
		EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
		return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	}

	// Files in HOME other than the given ones.
	std::vector<std::string> other_files(std::initializer_list<std::string> known)
	{
		std::vector<std::string> found;
		DIR *d = opendir(home.c_str());
		while (dirent *e = readdir(d)) {
			std::string name = e->d_name;
			if (name != "." && name != ".." && std::find(known.begin(), known.end(), name) == known.end())
				found.push_back(name);
		}
		closedir(d);
		return found;
	}
};

// The renderer's frames 0..count-1 for the settings in `file`.
std::vector<well_bytes>
renderer_frames(const std::string &file, int count)
{
	testing::internal::CaptureStderr();
	EXPECT_TRUE(settings_read(file.c_str()));
	testing::internal::GetCapturedStderr();
	return animation_frames(tunnel_settings, count);
}

void
expect_ramp_palette(const ColorMapObject *map)
{
	ASSERT_NE(map, nullptr);
	ASSERT_EQ(map->ColorCount, 256);
	for (int i = 0; i < 256; i++) {
		EXPECT_EQ(map->Colors[i].Red, colour_ramps[0][i]) << i;
		EXPECT_EQ(map->Colors[i].Green, colour_ramps[1][i]) << i;
		EXPECT_EQ(map->Colors[i].Blue, colour_ramps[2][i]) << i;
	}
}

// Pixel (x, y) of a frame scaled by `scale` is the frame's (x / scale, y / scale).
void
expect_scaled(const GifByteType *pixels, const well_bytes &want, int scale, int frame)
{
	int side = well_side * scale;
	int bad = 0;
	for (int y = 0; y < side; y++)
		for (int x = 0; x < side; x++)
			bad += pixels[y * side + x] != want[static_cast<std::size_t>((y / scale) * well_side + x / scale)];
	EXPECT_EQ(bad, 0) << "frame " << frame;
}

} // namespace

// The applet shows about 97 frames a second; each image of 2/100 s shows
// every second one, 100 a second.
TEST_F(Preview, GifFramesAreEverySecondFrameOfTheRenderer)
{
	write("green.rc", green_settings);
	ASSERT_EQ(chmod(path("green.rc").c_str(), 0666), 0);
	ASSERT_EQ(run("-c green.rc -n 40 -s 3 -o out.gif"), 0) << err;
	std::vector<well_bytes> want = renderer_frames(path("green.rc"), 80);

	int code = 0;
	GifFileType *gif = DGifOpenFileName(path("out.gif").c_str(), &code);
	ASSERT_NE(gif, nullptr);
	ASSERT_EQ(DGifSlurp(gif), GIF_OK);
	EXPECT_EQ(gif->SWidth, 162);
	EXPECT_EQ(gif->SHeight, 162);
	expect_ramp_palette(gif->SColorMap);
	ASSERT_EQ(gif->ImageCount, 40);
	for (int k = 0; k < gif->ImageCount; k++) {
		expect_scaled(gif->SavedImages[k].RasterBits, want[static_cast<std::size_t>(2 * k)], 3, k);
		GraphicsControlBlock gcb{};
		ASSERT_EQ(DGifSavedExtensionToGCB(gif, k, &gcb), GIF_OK);
		EXPECT_EQ(gcb.DelayTime, 2) << "image " << k;
	}
	DGifCloseFile(gif, &code);
	// the lines the applet would print about the file
	std::string missing;
	for (int i = 1; i <= 3; i++)
		missing += "quarvel-preview: command" + std::to_string(i) + " is not set in green.rc; using \"\"\n";
	EXPECT_EQ(err, missing + "quarvel-preview: green.rc is writable by others; quarvel's click commands are "
	                         "disabled (chmod go-w green.rc)\n");
}

TEST_F(Preview, DefaultLengthIsOneTripOrOneTurn)
{
	const struct {
		const char *what;
		std::string settings;
		int images;
		std::string says = "";
	} rows[] = {
		// 256 / 0.6 = 427 frames (rounded up) along the tunnel
		{ "defaults", settings_text(), 214 },
		{ "backwards", settings_text({ { "t_mov_step", "-1.0" }, { "t_rot_step", "5" } }), 128 },
		// it only turns: 256 / 0.3 = 854 frames, one full turn
		{ "turning only", settings_text({ { "t_mov_step", "0" } }), 427 },
		{ "turning backwards", settings_text({ { "t_mov_step", "0" }, { "t_rot_step", "-64" } }), 2 },
		{ "still", settings_text({ { "t_mov_step", "0" }, { "t_rot_step", "0" } }), 1 },
		// the settings reader's lines come from the preview
		{ "a fallback", settings_text({ { "tex_block_w", "0" } }), 214,
		  "quarvel-preview: tex_block_w=0 is below 1; using 32\n" },
		{ "a decimal comma", settings_text({ { "t_rot_step", "0,5" } }), 214,
		  "quarvel-preview: t_rot_step: \"0,5\" is not a number (use a dot: 0.5); using 0\n" },
	};
	for (const auto &r : rows) {
		write("look.rc", r.settings);
		ASSERT_EQ(run("-c look.rc -o out.gif"), 0) << r.what << ": " << err;
		int code = 0;
		GifFileType *gif = DGifOpenFileName(path("out.gif").c_str(), &code);
		ASSERT_NE(gif, nullptr) << r.what;
		ASSERT_EQ(DGifSlurp(gif), GIF_OK) << r.what;
		EXPECT_EQ(gif->ImageCount, r.images) << r.what;
		EXPECT_EQ(err, r.says) << r.what;
		DGifCloseFile(gif, &code);
	}
}

TEST_F(Preview, DefaultsOneDepthCycleAndPng)
{
	// No -c and no settings file: the defaults, and nothing is created.
	ASSERT_EQ(run("-o out.gif"), 0) << err;
	EXPECT_FALSE(exists(".fesk"));
	int code = 0;
	GifFileType *gif = DGifOpenFileName(path("out.gif").c_str(), &code);
	ASSERT_NE(gif, nullptr);
	ASSERT_EQ(DGifSlurp(gif), GIF_OK);
	EXPECT_EQ(gif->ImageCount, 214);       // 427 frames of the applet, every second one
	build_colour_ramps(default_settings);
	expect_ramp_palette(gif->SColorMap);
	DGifCloseFile(gif, &code);

	// A .png name gives frame 0 as an indexed PNG.
	ASSERT_EQ(run("-s 2 -o still.png"), 0) << err;
	png_image image{};
	image.version = PNG_IMAGE_VERSION;
	ASSERT_TRUE(png_image_begin_read_from_file(&image, path("still.png").c_str()));
	EXPECT_EQ(image.width, 108u);
	image.format = PNG_FORMAT_RGB_COLORMAP;
	std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
	std::vector<png_byte> colours(PNG_IMAGE_COLORMAP_SIZE(image));
	ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, colours.data()));
	build_tunnel_map(default_settings);
	build_texture(default_settings);
	anim_offsets = { 0.0f, 0.0f };
	render_frame(default_settings);
	// Compare colours: the reader may renumber a palette with duplicates.
	int bad = 0;
	for (int y = 0; y < 108; y++)
		for (int x = 0; x < 108; x++) {
			int want = index_frame[static_cast<std::size_t>((y / 2) * well_side + x / 2)];
			const png_byte *c = &colours[pixels[static_cast<std::size_t>(y * 108 + x)] * 3u];
			bad += c[0] != colour_ramps[0][want] || c[1] != colour_ramps[1][want] ||
			       c[2] != colour_ramps[2][want];
		}
	EXPECT_EQ(bad, 0);
}

TEST_F(Preview, BadArgumentsFailCleanly)
{
	write("green.rc", green_settings);
	ASSERT_EQ(mkdir(path("dir.rc").c_str(), 0700), 0);
	ASSERT_EQ(mkdir(path("dir.gif").c_str(), 0700), 0);
	const struct {
		const char *args;
		int status;
		const char *message;
	} rows[] = {
		{ "-c missing.rc -o out.gif", 1, "cannot read missing.rc: No such file or directory" },
		{ "-c dir.rc -o out.gif", 1, "cannot read dir.rc: Is a directory" },
		{ "-c green.rc -n 0 -o out.gif", 2, "bad frame count '0'" },
		{ "-c green.rc -n 12x -o out.gif", 2, "bad frame count '12x'" },
		{ "-c green.rc -n 99999999999 -o out.gif", 2, "bad frame count" },
		{ "-c green.rc -s -3 -o out.gif", 2, "bad scale '-3'" },
		{ "-c green.rc -s 17 -o out.png", 2, "bad scale '17'" },
		{ "-c green.rc", 2, "no output file given" },
		{ "-c green.rc -o", 2, "option -o needs a value" },
		{ "-x -o out.gif", 2, "unknown argument '-x'" },
		{ "-c green.rc -o nodir/out.gif", 1, "cannot write nodir/out.gif: No such file or directory" },
		{ "-c green.rc -o nodir/out.png", 1, "cannot write nodir/out.png: No such file or directory" },
		{ "-c green.rc -o dir.gif", 1, "cannot write dir.gif: Is a directory" },
		{ "-c green.rc -o out.jpg", 2, "output name 'out.jpg' ends in neither .gif nor .png" },
		{ "-c green.rc -o out", 2, "output name 'out' ends in neither .gif nor .png" },
		{ "-c green.rc -o gif", 2, "output name 'gif' ends in neither .gif nor .png" },
	};
	for (const auto &r : rows) {
		EXPECT_EQ(run(r.args), r.status) << r.args;
		EXPECT_NE(err.find(std::string("quarvel-preview: ") + r.message), std::string::npos)
			<< r.args << " said: " << err;
		EXPECT_EQ(other_files({ "green.rc", "dir.rc", "dir.gif" }), std::vector<std::string>{}) << r.args;
	}
}
