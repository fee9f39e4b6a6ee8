// SPDX-License-Identifier: GPL-2.0-or-later
// The applet as a window manager and a user see it, on real Xvfb servers:
// its windows' properties, its frame and well read back at every depth, its
// exits, and repainting after exposure.
#include <gtest/gtest.h>

#include "applet.h"
#include "x_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <cstring>
#include <set>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

constexpr const char *applet_path = QUARVEL_BINARY;

// What one running applet needs: its own server, home and process.
struct applet_run {
	xvfb_server x;
	std::string home;
	child_process proc;
	Window main_window = None;
	Window icon_window = None;

	// `settings`, when given, becomes the applet's settings file (of mode
	// `settings_mode`), with every "@HOME@" in it replaced by the applet's
	// home.
	applet_run(int depth, std::vector<std::string> extra_args = {}, const char *settings = nullptr,
	           mode_t settings_mode = 0644, int visual_class = -1, std::vector<std::string> env = {})
	{
		x = start_xvfb(depth, 320, 240, visual_class);
		home = make_temp_dir();
		if (settings) {
			std::string text = settings;
			for (auto at = text.find("@HOME@"); at != std::string::npos; at = text.find("@HOME@"))
				text.replace(at, 6, home);
			write_settings_file(home, text, settings_mode);
		}
		std::vector<std::string> argv = { "quarvel", "-display", x.name };
		argv.insert(argv.end(), extra_args.begin(), extra_args.end());
		env.push_back("HOME=" + home);
		proc = spawn(applet_path, argv, env);
	}
	~applet_run()
	{
		stop_child(proc);
		xvfb_stop(x);
		remove_tree(home);
	}
	// Waits until a main window other than `replaced` is mapped and has its
	// icon window.
	bool wait_for_window(Window replaced = None)
	{
		return poll_until([this, replaced] {
			main_window = find_by_class(x.dpy, "quarvel");
			if (main_window == None || main_window == replaced)
				return false;
			XWindowAttributes wa;
			if (!XGetWindowAttributes(x.dpy, main_window, &wa) || wa.map_state != IsViewable)
				return false;
			icon_window = first_child(x.dpy, main_window);
			return icon_window != None;
		}, 10.0);
	}
	// Destroys the icon window from another client, as a dock that dies
	// does, and waits for the pair the applet makes instead.
	bool rebuild()
	{
		Window replaced = main_window;
		XDestroyWindow(x.dpy, icon_window);
		XSync(x.dpy, False);
		return wait_for_window(replaced);
	}
};

// The settings the applet reads from `home`, read the same way here.
settings_record
settings_in(const std::string &home)
{
	std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
	setenv("HOME", home.c_str(), 1);
	testing::internal::CaptureStderr();     // block size fallbacks
	settings_load();
	testing::internal::GetCapturedStderr();
	setenv("HOME", saved.c_str(), 1);
	return tunnel_settings;
}

// The pixel value each palette index shows, as the server allocates it.
std::array<unsigned long, palette_size>
server_pixels(Display *dpy)
{
	std::array<unsigned long, palette_size> table;
	for (int i = 0; i < palette_size; i++)
		table[i] = alloc_pixel(dpy, static_cast<unsigned short>(colour_ramps[0][i] << 8),
		                       static_cast<unsigned short>(colour_ramps[1][i] << 8),
		                       static_cast<unsigned short>(colour_ramps[2][i] << 8));
	return table;
}

// Every frame the animation can show: the default offsets repeat after
// 854 steps, so 2000 steps reach them all.
std::vector<well_bytes>
reachable_frames(const settings_record &s)
{
	return animation_frames(s, 2000);
}

// Index of the reachable frame the captured well shows, or -1.
int
match_frame(const std::vector<unsigned long> &well, const std::vector<well_bytes> &frames,
            const std::array<unsigned long, palette_size> &pixels)
{
	for (std::size_t f = 0; f < frames.size(); f++) {
		bool same = true;
		for (int i = 0; i < well_pixels && same; i++)
			same = well[static_cast<std::size_t>(i)] == pixels[frames[f][static_cast<std::size_t>(i)]];
		if (same)
			return static_cast<int>(f);
	}
	return -1;
}

// The well shows a frame the renderer can produce, then another: returns
// the first capture.
std::vector<unsigned long>
expect_moving_frames(Display *dpy, Window w, const std::vector<well_bytes> &frames,
                     const std::array<unsigned long, palette_size> &pixels)
{
	std::vector<unsigned long> first, later;
	EXPECT_TRUE(poll_until([&] {
		first = read_well(dpy, w);
		return match_frame(first, frames, pixels) >= 0;
	}, 5.0)) << "the well shows no frame the renderer can produce";
	EXPECT_TRUE(poll_until([&] {
		later = read_well(dpy, w);
		return later != first;
	}, 5.0)) << "the well does not move";
	EXPECT_GE(match_frame(later, frames, pixels), 0);
	return first;
}

// The visible frame around the well: top row and left column black, bottom
// row and right column #DACDC9.
void
expect_visible_frame(Display *dpy, Window w)
{
	std::vector<unsigned long> sq = read_pixels(dpy, w, 4, 4, 56, 56);
	ASSERT_EQ(sq.size(), 56u * 56u);
	unsigned long black = alloc_pixel(dpy, 0, 0, 0);
	unsigned long light = alloc_pixel(dpy, 0xDA00, 0xCD00, 0xC900);
	for (int i = 0; i < 56; i++) {
		EXPECT_EQ(sq[static_cast<std::size_t>(i)], black) << "top row x=" << i + 4;
		EXPECT_EQ(sq[static_cast<std::size_t>(55 * 56 + i)], light) << "bottom row x=" << i + 4;
	}
	for (int r = 1; r < 55; r++) {
		EXPECT_EQ(sq[static_cast<std::size_t>(r * 56)], black) << "left column y=" << r + 4;
		EXPECT_EQ(sq[static_cast<std::size_t>(r * 56 + 55)], light) << "right column y=" << r + 4;
	}
}

std::vector<XRectangle>
bounding_shape(Display *dpy, Window w)
{
	int count = 0, ordering = 0;
	XRectangle *r = XShapeGetRectangles(dpy, w, ShapeBounding, &count, &ordering);
	std::vector<XRectangle> out(r, r + count);
	XFree(r);
	return out;
}

} // namespace

// Once for the first pair, and once for the pair made after a dock's death
// took the icon window, which must carry everything the first one did.
TEST(AppletWindow, PropertiesAsAWindowManagerSeesThem)
{
	applet_run run(24, { "-extra", "arg" });
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	std::vector<well_bytes> frames = reachable_frames(default_settings);
	build_colour_ramps(default_settings);
	auto pixels = server_pixels(dpy);
	for (bool rebuilt : { false, true }) {
		SCOPED_TRACE(rebuilt ? "rebuilt" : "first pair");
		if (rebuilt) {
			ASSERT_TRUE(run.rebuild()) << read_file(run.proc.stderr_path);
		}
		Window w = run.main_window, icon = run.icon_window;

		Window root;
		int x, y;
		unsigned width, height, border, depth;
		XGetGeometry(dpy, w, &root, &x, &y, &width, &height, &border, &depth);
		EXPECT_EQ(width, 64u);
		EXPECT_EQ(height, 64u);
		EXPECT_EQ(border, 1u);
		EXPECT_EQ(x, 0);
		EXPECT_EQ(y, 0);
		XGetGeometry(dpy, icon, &root, &x, &y, &width, &height, &border, &depth);
		EXPECT_EQ(width, 64u);
		EXPECT_EQ(height, 64u);
		EXPECT_EQ(border, 1u);
		XWindowAttributes wa;
		XGetWindowAttributes(dpy, icon, &wa);
		EXPECT_EQ(wa.map_state, IsUnmapped);     // a dock maps it when it swallows it

		XWMHints *hints = XGetWMHints(dpy, w);
		ASSERT_NE(hints, nullptr);
		EXPECT_EQ(hints->flags, 0x5A);           // state, icon window, icon position, group
		EXPECT_EQ(hints->initial_state, WithdrawnState);
		EXPECT_EQ(hints->icon_window, icon);
		EXPECT_EQ(hints->icon_x, 0);
		EXPECT_EQ(hints->icon_y, 0);
		EXPECT_EQ(hints->window_group, w);
		XFree(hints);

		XSizeHints size{};
		long supplied = 0;
		ASSERT_TRUE(XGetWMNormalHints(dpy, w, &size, &supplied));
		EXPECT_EQ(size.flags, USPosition | USSize);
		EXPECT_EQ(size.x, 0);
		EXPECT_EQ(size.y, 0);
		EXPECT_EQ(size.width, 64);
		EXPECT_EQ(size.height, 64);

		XClassHint cls{};
		ASSERT_TRUE(XGetClassHint(dpy, w, &cls));
		EXPECT_STREQ(cls.res_name, "quarvel");
		EXPECT_STREQ(cls.res_class, "quarvel");
		XFree(cls.res_name);
		XFree(cls.res_class);

		char *name = nullptr;
		ASSERT_TRUE(XFetchName(dpy, w, &name));
		EXPECT_STREQ(name, "quarvel");
		XFree(name);

		char **command = nullptr;
		int argc = 0;
		ASSERT_TRUE(XGetCommand(dpy, w, &command, &argc));
		std::vector<std::string> got(command, command + argc);
		std::vector<std::string> want = { "quarvel", "-display", run.x.name, "-extra", "arg" };
		EXPECT_EQ(got, want);
		XFreeStringList(command);

		// This test client selects nothing, so the union of masks is the applet's.
		XGetWindowAttributes(dpy, w, &wa);
		EXPECT_EQ(wa.all_event_masks, 0x3804CL);
		XGetWindowAttributes(dpy, icon, &wa);
		EXPECT_EQ(wa.all_event_masks, 0x3804CL);

		for (Window shaped : { w, icon }) {
			std::vector<XRectangle> rects = bounding_shape(dpy, shaped);
			ASSERT_EQ(rects.size(), 1u);
			EXPECT_EQ(rects[0].x, 4);
			EXPECT_EQ(rects[0].y, 4);
			EXPECT_EQ(rects[0].width, 56);
			EXPECT_EQ(rects[0].height, 56);
		}
		expect_moving_frames(dpy, w, frames, pixels);
	}
	EXPECT_EQ(read_file(run.proc.stderr_path), "quarvel: unknown option -extra (see quarvel --help)\n");
}

TEST(AppletWindow, FrameAndWellOnTrueColorScreens)
{
	std::vector<well_bytes> frames = reachable_frames(default_settings);
	for (int depth : { 15, 16, 24, 30 }) {
		SCOPED_TRACE("depth " + std::to_string(depth));
		applet_run run(depth);
		ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
		Display *dpy = run.x.dpy;
		build_colour_ramps(default_settings);
		auto pixels = server_pixels(dpy);

		std::vector<unsigned long> first = expect_moving_frames(dpy, run.main_window, frames, pixels);
		expect_visible_frame(dpy, run.main_window);
		if (depth == 24 && first.size() == static_cast<std::size_t>(well_pixels)) { // the axis is always index 0: (24, 0, 55)
			EXPECT_EQ(first[27 * well_side + 27], 0x180037ul);
		}
	}
}

// Twice as large, each pixel a 2x2 block: the same frames and shape.
TEST(AppletWindow, ScaleTwoShowsEveryPixelAsABlock)
{
	applet_run run(24, { "--scale", "2" });
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	std::vector<XRectangle> shape = bounding_shape(dpy, run.main_window);   // a 128 x 128 window
	ASSERT_EQ(shape.size(), 1u);
	EXPECT_TRUE(shape[0].x == 8 && shape[0].y == 8 && shape[0].width == 112 && shape[0].height == 112);
	std::vector<well_bytes> frames = reachable_frames(default_settings);
	build_colour_ramps(default_settings);
	auto pixels = server_pixels(dpy);
	EXPECT_TRUE(poll_until([&] {
		std::vector<unsigned long> big = read_pixels(dpy, run.main_window, 10, 10, 108, 108), blocks;
		for (std::size_t i = 0; i < big.size(); i += i % 216 == 106 ? 110 : 2)    // each block's corner
			blocks.push_back(big[i]);
		for (std::size_t i = 0; i < big.size(); i++)
			if (big[i] != blocks[i / 216 * 54 + i % 108 / 2])
				return false;
		return !big.empty() && match_frame(blocks, frames, pixels) >= 0;
	}, 5.0)) << "no frame of 2x2 blocks the renderer can produce";
}

// On the first main window, and on the one made after a dock's death.
TEST(AppletWindow, PrivateColormapOnPseudoColorScreen)
{
	applet_run run(8);
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	for (bool rebuilt : { false, true }) {
		SCOPED_TRACE(rebuilt ? "rebuilt" : "first pair");
		if (rebuilt) {
			ASSERT_TRUE(run.rebuild()) << read_file(run.proc.stderr_path);
		}
		XWindowAttributes wa;
		ASSERT_TRUE(poll_until([&] {
			XGetWindowAttributes(dpy, run.main_window, &wa);
			return wa.colormap != DefaultColormap(dpy, DefaultScreen(dpy));
		}, 5.0));

		build_colour_ramps(default_settings);
		XColor cells[palette_size];
		for (int i = 0; i < palette_size; i++)
			cells[i].pixel = static_cast<unsigned long>(i);
		XQueryColors(dpy, wa.colormap, cells, palette_size);
		for (int i = 0; i < palette_size; i++) {
			EXPECT_EQ(cells[i].red >> 8, colour_ramps[0][i]) << "cell " << i;
			EXPECT_EQ(cells[i].green >> 8, colour_ramps[1][i]) << "cell " << i;
			EXPECT_EQ(cells[i].blue >> 8, colour_ramps[2][i]) << "cell " << i;
		}

		// The well's pixel values are the palette indices themselves.
		std::vector<well_bytes> frames = reachable_frames(default_settings);
		std::array<unsigned long, palette_size> identity;
		for (int i = 0; i < palette_size; i++)
			identity[i] = static_cast<unsigned long>(i);
		expect_moving_frames(dpy, run.main_window, frames, identity);
	}
}

TEST(AppletWindow, StaticEightBitScreensShowAllocatedPixels)
{
	std::vector<well_bytes> frames = reachable_frames(default_settings);
	for (int visual_class : { StaticGray, StaticColor, TrueColor }) {
		SCOPED_TRACE("visual class " + std::to_string(visual_class));
		applet_run run(8, {}, nullptr, 0644, visual_class);
		ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
		Display *dpy = run.x.dpy;
		ASSERT_EQ(DefaultVisual(dpy, DefaultScreen(dpy))->c_class, visual_class);
		build_colour_ramps(default_settings);
		auto pixels = server_pixels(dpy);
		EXPECT_TRUE(poll_until([&] {
			return match_frame(read_well(dpy, run.main_window), frames, pixels) >= 0;
		}, 5.0));
		XWindowAttributes wa;
		XGetWindowAttributes(dpy, run.main_window, &wa);
		EXPECT_EQ(wa.colormap, DefaultColormap(dpy, DefaultScreen(dpy)));   // no private one
		EXPECT_EQ(wait_exit(run.proc, 0.0), -1);
	}
}

TEST(AppletWindow, ExposureRepaintsBothWindows)
{
	applet_run run(24);
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	// Do what a dock does: take the icon window to the root and show it.
	XReparentWindow(dpy, run.icon_window, DefaultRootWindow(dpy), 100, 100);
	XMapWindow(dpy, run.icon_window);
	XSync(dpy, False);

	std::vector<well_bytes> frames = reachable_frames(default_settings);
	build_colour_ramps(default_settings);
	auto pixels = server_pixels(dpy);
	for (Window w : { run.icon_window, run.main_window }) {
		XClearArea(dpy, w, 0, 0, 0, 0, True);     // white, and an Expose to the applet
		XSync(dpy, False);
		EXPECT_TRUE(poll_until([&] {
			return match_frame(read_well(dpy, w), frames, pixels) >= 0;
		}, 5.0)) << "window " << w;
		expect_visible_frame(dpy, w);
	}
}

// Covered, the applet sleeps: not one wake-up, so not one request, in a
// second.  Uncovered, it shows a frame at once and moves on from the one
// it showed before.
TEST(AppletWindow, CoveredItSleepsUncoveredItMovesOn)
{
	applet_run run(24);
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	std::vector<well_bytes> frames = reachable_frames(default_settings);
	build_colour_ramps(default_settings);
	auto pixels = server_pixels(dpy);
	int before = -1;
	ASSERT_TRUE(poll_until([&] {
		return (before = match_frame(read_well(dpy, run.main_window), frames, pixels)) >= 0;
	}, 5.0));

	Window cover = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 100, 100, 0, 0, 0);
	XMapWindow(dpy, cover);
	XSync(dpy, False);
	EXPECT_TRUE(stays_asleep(run.proc.pid, 1.0));

	XUnmapWindow(dpy, cover);
	XSync(dpy, False);
	int after = -1;
	ASSERT_TRUE(poll_until([&] {
		return (after = match_frame(read_well(dpy, run.main_window), frames, pixels)) >= 0;
	}, 5.0));
	// A second of animation is some 100 frames; the default one repeats
	// after 854.
	EXPECT_LT((after - before + 854) % 854, 50) << "frames " << before << " then " << after;
	std::vector<unsigned long> first = read_well(dpy, run.main_window);
	EXPECT_TRUE(poll_until([&] { return read_well(dpy, run.main_window) != first; }, 5.0));
	EXPECT_GE(match_frame(read_well(dpy, run.main_window), frames, pixels), 0);
}

TEST(AppletExit, BelowEightBitsEndsWith255)
{
	xvfb_server x = start_xvfb(24);
	std::string home = make_temp_dir();
	child_process c = spawn(applet_path, { "quarvel", "-display", x.name },
	                        { "HOME=" + home, "LD_PRELOAD=" SHALLOW_SHIM });
	int status = wait_exit(c, 10.0);
	ASSERT_TRUE(WIFEXITED(status)) << status;
	EXPECT_EQ(WEXITSTATUS(status), 255);
	EXPECT_EQ(read_file(c.stderr_path), "Need at least 8-bit display!\n");
	stop_child(c);
	xvfb_stop(x);
	remove_tree(home);
}

TEST(AppletExit, DisplayArgument)
{
	xvfb_server x = start_xvfb(24);
	std::string home = make_temp_dir();
	const std::string bad = ":9876";
	struct {
		std::vector<std::string> argv;
		std::string display_env;      // "" leaves DISPLAY unset
		bool opens;
		std::string message;
	} rows[] = {
		// unreachable display: status 1 and the name that was tried
		{ { "quarvel", "-display", bad }, "", false, "quarvel: can't open display :9876\n" },
		// the last "-display" (or "--display") wins
		{ { "quarvel", "-display", bad, "--display", x.name }, "", true, "" },
		{ { "quarvel", "--display", x.name, "-display", bad }, "", false,
		  "quarvel: can't open display :9876\n" },
		{ { "quarvel", "-display", bad, "--display=" + x.name }, "", true, "" },
		// "-display" last means no name: DISPLAY decides
		{ { "quarvel", "-display", bad, "-display" }, x.name, true, "" },
		{ { "quarvel", "-display" }, "", false, "quarvel: can't open display \n" },
	};
	for (const auto &r : rows) {
		std::string args;
		for (const auto &a : r.argv)
			args += a + " ";
		SCOPED_TRACE(args + "DISPLAY=" + r.display_env);
		child_process c = spawn(applet_path, r.argv, { "HOME=" + home, "DISPLAY=" + r.display_env });
		if (r.opens) {
			EXPECT_TRUE(poll_until([&] { return find_by_class(x.dpy, "quarvel") != None; }, 10.0));
			EXPECT_EQ(wait_exit(c, 0.0), -1);     // still running
			stop_child(c);
			ASSERT_TRUE(poll_until([&] { return find_by_class(x.dpy, "quarvel") == None; }, 5.0));
		} else {
			int status = wait_exit(c, 10.0);
			ASSERT_TRUE(WIFEXITED(status));
			EXPECT_EQ(WEXITSTATUS(status), 1);
			EXPECT_EQ(read_file(c.stderr_path), r.message);
			stop_child(c);
			// The settings file is made before the display is tried.
			EXPECT_EQ(read_file(home + "/.fesk/quarvelrc"), settings_text());
		}
	}
	xvfb_stop(x);
	remove_tree(home);
}

TEST(AppletSettings, ZeroStepsFreezeTheExactFirstFrame)
{
	applet_run run(24, {}, settings_text({ { "t_mov_step", "0" }, { "t_rot_step", "0" } }).c_str());
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	settings_record s = settings_in(run.home);
	build_colour_ramps(s);
	build_tunnel_map(s);
	build_texture(s);
	anim_offsets = { 0.0f, 0.0f };
	render_frame(s);
	std::vector<well_bytes> only_first = { index_frame };
	auto pixels = server_pixels(run.x.dpy);
	ASSERT_TRUE(poll_until([&] {
		return match_frame(read_well(run.x.dpy, run.main_window), only_first, pixels) == 0;
	}, 5.0));
	// Still the same frame for the next 300 ms, some 30 frames.
	bool moved = poll_until([&] {
		return match_frame(read_well(run.x.dpy, run.main_window), only_first, pixels) != 0;
	}, 0.3);
	EXPECT_FALSE(moved);
}

TEST(AppletSettings, ShadeOffShowsOnlyTheCheckerColoursAHangUpOthers)
{
	applet_run run(24, {}, settings_text({ { "shade_switch", "0" } }).c_str());
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	build_colour_ramps(default_settings);
	auto pixels = server_pixels(run.x.dpy);
	const std::set<unsigned long> checker = { pixels[20], pixels[128] };
	std::set<unsigned long> seen;
	EXPECT_TRUE(poll_until([&] {
		std::vector<unsigned long> well = read_well(run.x.dpy, run.main_window);
		seen = std::set<unsigned long>(well.begin(), well.end());
		return seen == checker;
	}, 5.0)) << "last capture held " << seen.size() << " colours";
	// and every later frame too
	for (int i = 0; i < 10; i++) {
		std::vector<unsigned long> well = read_well(run.x.dpy, run.main_window);
		EXPECT_EQ(std::set<unsigned long>(well.begin(), well.end()), checker);
	}
	// A hang-up reads the file again, in the same window.
	write_settings_file(run.home, settings_text({ { "shade_switch", "0" }, { "t_color_1", "60" },
	                                              { "t_color_2", "200" } }));
	kill(run.proc.pid, SIGHUP);
	const std::set<unsigned long> recoloured = { pixels[60], pixels[200] };
	EXPECT_TRUE(poll_until([&] {
		std::vector<unsigned long> well = read_well(run.x.dpy, run.main_window);
		return std::set<unsigned long>(well.begin(), well.end()) == recoloured;
	}, 5.0));
	EXPECT_EQ(find_by_class(run.x.dpy, "quarvel"), run.main_window);
}

TEST(AppletSettings, HostileFilesKeepTheAppletRunning)
{
	const struct {
		const char *what;
		std::string text;
	} rows[] = {
		{ "one key only", "t_mov_step=-1.5\n" },
		{ "not numbers", settings_text({ { "t_shade_level", "nan" }, { "t_persp", "inf" },
		                                 { "t_mov_step", "nan" }, { "t_rot_step", "-inf" },
		                                 { "t_col_add_R", "nan" }, { "t_col_mul_G", "-inf" } }) },
		{ "extreme integers", settings_text({ { "shade_switch", "-2147483648" },
		                                      { "tex_block_w", "2147483647" },
		                                      { "tex_block_h", "-2147483648" },
		                                      { "t_color_1", "2147483647" },
		                                      { "t_color_2", "99999999999999999999" } }) },
		{ "huge slopes and offsets", settings_text({ { "t_col_mul_R", "1e30" },
		                                             { "t_col_add_G", "-1e38" },
		                                             { "t_col_mul_B", "1e300" },
		                                             { "t_shade_level", "3e38" },
		                                             { "t_persp", "-1e45" },
		                                             { "t_mov_step", "1e30" } }) },
		{ "empty values", "shade_switch=\npersp_switch=\nt_persp=\ntex_block_w=\ncommand1=\n" },
		{ "binary junk", std::string("\xff\xfe\x00t_persp=\x01\n#\n=\n", 15) + std::string(5000, '=') },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		applet_run run(24, {}, r.text.c_str());
		ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
		settings_record s = settings_in(run.home);
		std::vector<well_bytes> frames = reachable_frames(s);
		build_colour_ramps(s);
		auto pixels = server_pixels(run.x.dpy);
		EXPECT_TRUE(poll_until([&] {
			return match_frame(read_well(run.x.dpy, run.main_window), frames, pixels) >= 0;
		}, 5.0));
		EXPECT_EQ(wait_exit(run.proc, 0.2), -1) << "the applet ended";
	}
}

namespace {

// Real pointer input through XTest, over the applet's main window.
void
point_at_applet(Display *dpy)
{
	XTestFakeMotionEvent(dpy, DefaultScreen(dpy), 33, 33, CurrentTime);
	XSync(dpy, False);
}

void
press(Display *dpy, std::initializer_list<unsigned> buttons)
{
	for (unsigned b : buttons) {
		XTestFakeButtonEvent(dpy, b, True, CurrentTime);
		XTestFakeButtonEvent(dpy, b, False, CurrentTime);
	}
	XSync(dpy, False);
}

bool
log_becomes(const std::string &path, const std::string &want)
{
	return poll_until([&] { return read_file(path) == want; }, 5.0);
}

// The log reads `want` after the applet's `n`th command, and the applet
// takes presses again: those made before count for nothing.
bool
ran(const applet_run &run, const std::string &want, long n)
{
	return log_becomes(run.home + "/log", want) &&
	       poll_until([&] { return applet_commands_done(run.x.dpy) == n; }, 5.0);
}

} // namespace

TEST(AppletClicks, SecondPressRunsTheButtonsCommand)
{
	std::string text = settings_text({ { "command1", "echo 1 >> @HOME@/log" },
	                                   { "command2", "echo 2 >> @HOME@/log" },
	                                   { "command3", "echo 3 >> @HOME@/log" } });
	applet_run run(24, {}, text.c_str());
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	std::string log = run.home + "/log";
	Display *dpy = run.x.dpy;
	point_at_applet(dpy);

	// One press of 3 runs nothing: the later pair of 1 shows it was handled.
	press(dpy, { 3, 1, 1 });
	EXPECT_TRUE(ran(run, "1\n", 1)) << read_file(log);
	press(dpy, { 3 });
	EXPECT_TRUE(ran(run, "1\n3\n", 2)) << read_file(log);

	// 1, 2, 1 runs command1 once and leaves button 2 armed.
	press(dpy, { 1, 2, 1 });
	EXPECT_TRUE(ran(run, "1\n3\n1\n", 3)) << read_file(log);
	press(dpy, { 2 });
	EXPECT_TRUE(ran(run, "1\n3\n1\n2\n", 4)) << read_file(log);

	// The wheel runs nothing.
	for (int i = 0; i < 50; i++)
		press(dpy, { 4, 5 });
	press(dpy, { 3, 3 });
	EXPECT_TRUE(ran(run, "1\n3\n1\n2\n3\n", 5)) << read_file(log);

	// Three presses of 1 run it once and leave it armed.
	press(dpy, { 1, 1 });
	EXPECT_TRUE(ran(run, "1\n3\n1\n2\n3\n1\n", 6)) << read_file(log);
	press(dpy, { 1, 2, 2 });
	EXPECT_TRUE(ran(run, "1\n3\n1\n2\n3\n1\n2\n", 7)) << read_file(log);
	press(dpy, { 1 });
	EXPECT_TRUE(ran(run, "1\n3\n1\n2\n3\n1\n2\n1\n", 8)) << read_file(log);
	EXPECT_EQ(wait_exit(run.proc, 0.0), -1);
}

TEST(AppletClicks, CommandsFromAFileOthersCanChangeNeverRun)
{
	std::string text = settings_text({ { "command1", "echo 1 >> @HOME@/log" } });
	for (mode_t mode : { 0666, 0600 }) {
		SCOPED_TRACE("mode " + std::to_string(mode));
		applet_run run(24, {}, text.c_str(), mode);
		ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
		point_at_applet(run.x.dpy);
		press(run.x.dpy, { 1, 1 });
		if (mode == 0600) {
			EXPECT_TRUE(log_becomes(run.home + "/log", "1\n"));
			EXPECT_EQ(read_file(run.proc.stderr_path), "");
			continue;
		}
		// Each refused click says why, and shows a red cross for a while.
		unsigned long red = alloc_pixel(run.x.dpy, 0xFFFF, 0, 0);
		EXPECT_TRUE(poll_until([&] {
			std::vector<unsigned long> well = read_well(run.x.dpy, run.main_window);
			return !well.empty() && well[0] == red && well[27 * well_side + 27] == red;
		}, 5.0)) << "no sign";
		press(run.x.dpy, { 1, 1 });
		const std::string rc = run.home + "/.fesk/quarvelrc", refused = "quarvel: command1 not run: click commands "
		                                                                 "are disabled, as " + rc + " is writable by others\n";
		EXPECT_TRUE(log_becomes(run.proc.stderr_path, "quarvel: " + rc + " is writable by others; click commands are "
		                        "disabled (chmod go-w " + rc + ")\n" + refused + refused));
		EXPECT_EQ(read_file(run.home + "/log"), "");
	}
}

TEST(AppletClicks, EmptyAndSlowCommands)
{
	std::string text = settings_text({ { "command1", "" },
	                                   { "command2", "echo 2 >> @HOME@/log" },
	                                   { "command3", "echo start >> @HOME@/log; sleep 1; "
	                                                 "echo end >> @HOME@/log" } });
	applet_run run(24, {}, text.c_str());
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	std::string log = run.home + "/log";
	Display *dpy = run.x.dpy;
	point_at_applet(dpy);

	// An empty command runs an empty shell: nothing happens, nothing breaks.
	press(dpy, { 1, 1 });
	EXPECT_TRUE(ran(run, "", 1));
	press(dpy, { 2, 2 });
	EXPECT_TRUE(ran(run, "2\n", 2)) << read_file(log);
	EXPECT_EQ(wait_exit(run.proc, 0.0), -1);

	// While a command runs, the animation stands still.
	press(dpy, { 3, 3 });
	ASSERT_TRUE(poll_until([&] { return read_file(log) == "2\nstart\n"; }, 5.0));
	std::vector<unsigned long> held = read_well(dpy, run.main_window);
	int captures_while_held = 0;
	poll_until([&] {
		std::vector<unsigned long> now = read_well(dpy, run.main_window);
		if (read_file(log) != "2\nstart\n")
			return true;                    // the command has ended
		EXPECT_EQ(now, held);
		captures_while_held++;
		return false;
	}, 5.0);
	EXPECT_GT(captures_while_held, 5);
	EXPECT_TRUE(ran(run, "2\nstart\nend\n", 3));
	// and moves again once it has returned
	EXPECT_TRUE(poll_until([&] { return read_well(dpy, run.main_window) != held; }, 5.0));

	// Presses made while a command runs (to wake the screen from a locker)
	// count for nothing; two after it run it again.
	press(dpy, { 3, 3 });
	ASSERT_TRUE(log_becomes(log, "2\nstart\nend\nstart\n"));
	press(dpy, { 3, 3, 3, 3 });
	EXPECT_TRUE(ran(run, "2\nstart\nend\nstart\nend\n", 4));
	press(dpy, { 3 });
	EXPECT_FALSE(log_becomes(log, "2\nstart\nend\nstart\nend\nstart\n"));
	press(dpy, { 3 });
	EXPECT_TRUE(ran(run, "2\nstart\nend\nstart\nend\nstart\nend\n", 5));
}

namespace {

long
resident_kib(pid_t pid)
{
	return proc_field(pid, "status", "VmRSS:");
}

} // namespace

// Losing the server ends the applet with status 1 and Xlib's message, never
// by SIGPIPE, even with nobody reading its output.  Its diagnostics reach
// a file as they are made, although it ends without flushing.
TEST(AppletFaults, ServerGoingAwayEndsTheApplet)
{
	std::string long_home(1030, 'h');      // five path overflow lines on stdout
	long_home[0] = '/';
	for (bool broken_output : { false, true }) {
		SCOPED_TRACE(broken_output ? "output into closed pipes" : "output into files");
		xvfb_server x = start_xvfb(24);
		child_process c = spawn(applet_path, { "quarvel", "-display", x.name }, { "HOME=" + long_home },
		                        broken_output);
		ASSERT_TRUE(poll_until([&] { return find_by_class(x.dpy, "quarvel") != None; }, 10.0));
		if (!broken_output) {
			std::string out = read_file(c.stdout_path);
			EXPECT_EQ(out.rfind("ERROR: string overflow by 6 in safe_strcpy [", 0), 0u) << out;
			EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;   // a cut path is never written
		}
		XCloseDisplay(x.dpy);
		x.dpy = nullptr;
		kill(x.pid, SIGKILL);
		waitpid(x.pid, nullptr, 0);
		x.pid = -1;
		int status = wait_exit(c, 30.0);
		ASSERT_NE(status, -1) << "still running 30 s after its server went away";
		EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
		EXPECT_EQ(WEXITSTATUS(status), 1);
		if (!broken_output) {
			EXPECT_NE(read_file(c.stderr_path).find(x.name), std::string::npos) << read_file(c.stderr_path);
		}
		stop_child(c);
	}
}

// Only errors about windows a dock took with it are outlived.  Any other
// still ends the applet with Xlib's message and status 1, as a connection
// killed by another client does.
TEST(AppletFaults, OtherErrorsAndAKilledConnectionStillEndIt)
{
	const struct {
		const char *what;
		void (*provoke)(Display *dpy, Window main_window);
		const char *message;
	} rows[] = {
		// Any client may free another's resources: the frame pixmap (one of
		// the ids after the main window's) is no window of the applet.
		{ "its frame pixmap freed",
		  [](Display *dpy, Window w) {
			  for (XID id = w & ~0xFFFFul; id < w; id++)
				  XFreePixmap(dpy, id);
		  },
		  "X Error of failed request:  BadDrawable" },
		// Xlib's message names the display, in either of its wordings.
		{ "XKillClient", [](Display *dpy, Window w) { XKillClient(dpy, w); }, nullptr },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		applet_run run(24);
		ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
		r.provoke(run.x.dpy, run.main_window);
		XSync(run.x.dpy, False);
		int status = wait_exit(run.proc, 10.0);
		ASSERT_TRUE(WIFEXITED(status)) << status;
		EXPECT_EQ(WEXITSTATUS(status), 1);
		std::string err = read_file(run.proc.stderr_path);
		EXPECT_EQ(err.rfind(r.message ? r.message : "", 0), 0u) << err;
		EXPECT_NE(err.find(r.message ? "X_PutImage" : run.x.name), std::string::npos) << err;
	}
}

// Another client's XSendEvent counts only as a press, which a dock may
// forward: a sent EnterNotify took the keyboard focus for the docked icon
// window (and killed the applet with BadMatch when it was not mapped).
TEST(AppletFaults, SentEventsCountOnlyAsPresses)
{
	// and the command runs on the applet's display, whatever DISPLAY said
	applet_run run(24, {}, settings_text({ { "command1", "echo \"$DISPLAY\" >> @HOME@/log" } }).c_str(), 0600,
	               -1, { "DISPLAY=:9876" });
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	XReparentWindow(dpy, run.icon_window, DefaultRootWindow(dpy), 100, 100);
	XMapWindow(dpy, run.icon_window);
	XEvent ev{};
	ev.xcrossing = { EnterNotify, 0, True, dpy, run.icon_window, DefaultRootWindow(dpy), None, CurrentTime,
	                 1, 1, 1, 1, NotifyNormal, NotifyAncestor, True, True, 0 };
	XSendEvent(dpy, run.icon_window, False, NoEventMask, &ev);
	ev.xbutton = { ButtonPress, 0, True, dpy, run.main_window, DefaultRootWindow(dpy), None, CurrentTime,
	               1, 1, 1, 1, 0, Button1, True };
	for (int i = 0; i < 2; i++)
		XSendEvent(dpy, run.main_window, False, ButtonPressMask, &ev);
	XSync(dpy, False);
	EXPECT_TRUE(ran(run, run.x.name + "\n", 1)) << read_file(run.proc.stderr_path);
	Window focus;
	int revert;
	XGetInputFocus(dpy, &focus, &revert);
	EXPECT_EQ(focus, static_cast<Window>(PointerRoot));
	EXPECT_EQ(wait_exit(run.proc, 0.0), -1);
}

// Another client sending MotionNotify as fast as it can, or reparenting
// the main window to and fro: the backlog stays in the server, frames go
// on, a double click runs its command, and the applet gives back what it
// took.
TEST(AppletFaults, FloodsFromAnotherClientKeepMemoryBounded)
{
	const struct {
		const char *what;
		void (*flood)(Display *d, Window w);
		long kept_kib;          // what it may keep of a backlog it read
	} rows[] = {
		{ "sent MotionNotify", [](Display *d, Window w) {
			XEvent ev{};
			ev.xmotion = { MotionNotify, 0, True, d, w, DefaultRootWindow(d), None, CurrentTime,
			               30, 30, 30, 30, 0, NotifyNormal, True };
			for (;;)
				XSendEvent(d, w, False, PointerMotionMask, &ev);
		}, 1024 },
		{ "a reparent storm", [](Display *d, Window w) {
			Window holder = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 100, 100, 0, 0, 0);
			XMapWindow(d, holder);
			for (;;) {
				XReparentWindow(d, w, holder, 0, 0);
				XReparentWindow(d, w, DefaultRootWindow(d), 0, 0);
			}
		}, 4096 },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		applet_run run(24, {}, settings_text({ { "command1", "echo 1 >> @HOME@/log" } }).c_str(), 0600);
		ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
		Display *dpy = run.x.dpy;
		point_at_applet(dpy);
		// Past the set-up, whose round trips wait for their replies behind
		// whatever the server has queued before them.
		std::vector<unsigned long> last = read_well(dpy, run.main_window);
		ASSERT_TRUE(poll_until([&] { return read_well(dpy, run.main_window) != last; }, 5.0));
		long start_kib = resident_kib(run.proc.pid);
		pid_t flooder = fork_client(run.x.name, [&](Display *d) { r.flood(d, run.main_window); });
		long peak_kib = start_kib;
		int changes = 0;
		for (double end = now_s() + 3.0; now_s() < end; sleep_s(0.05)) {
			peak_kib = std::max(peak_kib, resident_kib(run.proc.pid));
			std::vector<unsigned long> now = read_well(dpy, run.main_window);
			changes += now != last;
			last = now;
		}
		press(dpy, { 1, 1 });
		EXPECT_TRUE(log_becomes(run.home + "/log", "1\n")) << "no command during the flood";
		end_client(flooder);
		EXPECT_GT(changes, 10) << "frames stopped during the flood";
#ifndef __SANITIZE_ADDRESS__
		EXPECT_LE(peak_kib, 16 * 1024) << "KiB during the flood, from " << start_kib;
		EXPECT_TRUE(poll_until([&] { return resident_kib(run.proc.pid) <= start_kib + r.kept_kib; }, 10.0))
			<< resident_kib(run.proc.pid) << " KiB after the flood, from " << start_kib;
#else
		(void)peak_kib;
#endif
		// The storm's window may take the main window with it as it goes:
		// wait for one on the root.
		ASSERT_TRUE(poll_until([&] {
			Window m = find_by_class(dpy, "quarvel"), root, parent = None, *kids = nullptr;
			unsigned n;
			if (m != None && XQueryTree(dpy, m, &root, &parent, &kids, &n))
				XFree(kids);
			XWindowAttributes wa;
			return parent == root && XGetWindowAttributes(dpy, m, &wa) && wa.map_state == IsViewable;
		}, 10.0)) << read_file(run.proc.stderr_path);
		press(dpy, { 1, 1 });
		EXPECT_TRUE(log_becomes(run.home + "/log", "1\n1\n")) << "no command after the flood";
	}
}

// Another client destroys every window made on the root while the applet
// starts: its helper window before the first marker came, each pair as
// soon as it is made.  Once the storm ends, the applet stands.
TEST(AppletFaults, StartsThroughADestroyStorm)
{
	xvfb_server x = start_xvfb(24);
	std::string home = make_temp_dir();
	Window root = DefaultRootWindow(x.dpy);
	XSelectInput(x.dpy, root, SubstructureNotifyMask);
	XSync(x.dpy, False);
	child_process c = spawn(applet_path, { "quarvel", "-display", x.name }, { "HOME=" + home });
	int destroyed = 0;
	for (double end = now_s() + 10.0; destroyed < 40 && now_s() < end && wait_exit(c, 0.0) == -1;) {
		pollfd p = { ConnectionNumber(x.dpy), POLLIN, 0 };
		if (!XPending(x.dpy))
			poll(&p, 1, 100);
		for (XEvent ev; XPending(x.dpy) && destroyed < 40;)
			if (XNextEvent(x.dpy, &ev), ev.type == CreateNotify && ev.xcreatewindow.parent == root) {
				XDestroyWindow(x.dpy, ev.xcreatewindow.window);
				XFlush(x.dpy);
				destroyed++;
			}
	}
	XSelectInput(x.dpy, root, NoEventMask);
	EXPECT_EQ(destroyed, 40);
	EXPECT_TRUE(poll_until([&] {
		Window w = find_by_class(x.dpy, "quarvel");
		XWindowAttributes wa;
		return w != None && XGetWindowAttributes(x.dpy, w, &wa) && wa.map_state == IsViewable;
	}, 10.0)) << read_file(c.stderr_path);
	EXPECT_EQ(wait_exit(c, 0.0), -1) << read_file(c.stderr_path);
	stop_child(c);
	xvfb_stop(x);
	remove_tree(home);
}

TEST(AppletFaults, InputFloodRunsNothingAndCostsNoMemory)
{
	std::string text = settings_text({ { "command1", "echo 1 >> @HOME@/log" },
	                                   { "command2", "echo 2 >> @HOME@/log" },
	                                   { "command3", "echo 3 >> @HOME@/log" } });
	applet_run run(24, {}, text.c_str());
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	Display *dpy = run.x.dpy;
	point_at_applet(dpy);
	constexpr int burst_steps = 1000;          // a press, a release and a motion each
	auto burst = [&] {
		for (int i = 0; i < burst_steps; i++) {
			unsigned b = i % 2 ? 5 : 4;
			XTestFakeButtonEvent(dpy, b, True, CurrentTime);
			XTestFakeButtonEvent(dpy, b, False, CurrentTime);
			XTestFakeMotionEvent(dpy, DefaultScreen(dpy), 10 + i % 40, 10 + i % 37, CurrentTime);
		}
		XSync(dpy, False);
	};
	// Two changes of the well: a whole loop has run after the burst arrived,
	// so its events have been taken.
	auto animation_goes_on = [&] {
		for (int i = 0; i < 2; i++) {
			std::vector<unsigned long> before = read_well(dpy, run.main_window);
			if (!poll_until([&] { return read_well(dpy, run.main_window) != before; }, 5.0))
				return false;
		}
		return true;
	};
	burst();
	EXPECT_TRUE(animation_goes_on()) << "the animation stopped";
	// Xlib keeps the queue entries a burst needed for reuse, and a later
	// burst that finds the applet slower may need more of them at once: at
	// most the whole burst, each event in Xlib's queue entry (the XEvent, a
	// link and a serial, and malloc's header) and in xcb's copy before it.
	// A leak would take that much for every burst.
	constexpr long whole_burst_kib = 3L * burst_steps * (static_cast<long>(sizeof(XEvent)) + 32 + 48) / 1024;
	long after_first = resident_kib(run.proc.pid);
	for (int i = 0; i < 4; i++) {
		burst();
		EXPECT_TRUE(animation_goes_on());
	}
#ifndef __SANITIZE_ADDRESS__
	// (AddressSanitizer keeps freed memory in quarantine, so there the
	// figure grows without a leak.)
	EXPECT_LE(resident_kib(run.proc.pid) - after_first, whole_burst_kib) << "KiB more after four more bursts";
#else
	(void)after_first;
	(void)whole_burst_kib;
#endif
	// Nothing ran: the log is first written by this pair of presses.
	press(dpy, { 2, 2 });
	EXPECT_TRUE(log_becomes(run.home + "/log", "2\n")) << read_file(run.home + "/log");
	EXPECT_EQ(wait_exit(run.proc, 0.0), -1);
}

// Help, version, and what a click's command can tell the applet.
TEST(AppletArguments, HelpAndVersionStartNothing)
{
	const std::string version = "quarvel VERSION";      // a dotted number, as the package has
	const std::string usage = "usage: quarvel [-display NAME] [-c FILE] [--scale N]";
	const struct {
		std::vector<std::string> args;
		std::string first_line;
	} rows[] = {
		{ { "-h" }, usage },
		{ { "-help" }, usage },
		{ { "--help" }, usage },
		{ { "-v" }, version },
		{ { "-version" }, version },
		{ { "--version" }, version },
		// anywhere among other arguments, the first one counts
		{ { "-extra", "--version", "-h" }, version },
		{ { "-display", ":9876", "-h" }, usage },
		// but right after -display it is a display name, as ever
		{ { "-display", "--help" }, "" },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.args[0] + " " + (r.args.size() > 1 ? r.args[1] : ""));
		std::string home = make_temp_dir();
		std::vector<std::string> argv = { "quarvel" };
		argv.insert(argv.end(), r.args.begin(), r.args.end());
		child_process c = spawn(applet_path, argv, { "HOME=" + home, "DISPLAY=" });
		int status = wait_exit(c, 10.0);
		ASSERT_TRUE(WIFEXITED(status)) << status;
		std::string out = read_file(c.stdout_path);
		if (r.first_line.empty()) {
			EXPECT_EQ(WEXITSTATUS(status), 1);
			EXPECT_EQ(read_file(c.stderr_path), "quarvel: can't open display --help\n");
			EXPECT_EQ(out, "");
		} else {
			EXPECT_EQ(WEXITSTATUS(status), 0);
			std::string first = out.substr(0, out.find('\n'));
			if (r.first_line == version)
				EXPECT_TRUE(std::regex_match(first, std::regex("quarvel [0-9]+\\.[0-9]+\\.[0-9]+"))) << first;
			else
				EXPECT_EQ(first, r.first_line);
			EXPECT_EQ(read_file(c.stderr_path), "");
			EXPECT_EQ(read_file(home + "/.fesk/quarvelrc"), "") << "the settings file was made";
		}
		stop_child(c);
		remove_tree(home);
	}
}

TEST(AppletClicks, CommandNotFoundNamesTheSetting)
{
	applet_run run(24, {}, settings_text({ { "command1", "quarvel-no-such-command -x" } }).c_str());
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	point_at_applet(run.x.dpy);
	press(run.x.dpy, { 1, 1 });
	const std::string line = "quarvel: command1 \"quarvel-no-such-command -x\" was not found; "
	                         "set command1 in " + run.home + "/.fesk/quarvelrc\n";
	std::string err;
	EXPECT_TRUE(poll_until([&] {
		err = read_file(run.proc.stderr_path);
		return err.find(line) != std::string::npos;
	}, 5.0)) << err;
	// first, the shell's own line after it, and the applet goes on
	EXPECT_EQ(err.rfind(line, 0), 0u) << err;
	EXPECT_TRUE(poll_until([&] { return read_file(run.proc.stderr_path).find("not found", line.size()) !=
	                                    std::string::npos; }, 5.0)) << read_file(run.proc.stderr_path);
	EXPECT_EQ(wait_exit(run.proc, 0.0), -1);
}

// On a system without xlock (Debian 12), a default command runs the first
// screen locker installed; a command the user changed is never replaced.
TEST(AppletClicks, DefaultCommandFallsBackOnAnInstalledLocker)
{
	std::string bin = make_temp_dir();
	applet_run run(24, {}, settings_text({ { "command2", "xlock -mode nothing-like-a-default" } }).c_str(), 0600,
	               -1, { "PATH=" + bin + ":/usr/bin:/bin" });
	std::ofstream(bin + "/xsecurelock") << "#!/bin/sh\necho locked >> " << run.home << "/log\n";
	chmod((bin + "/xsecurelock").c_str(), 0755);
	ASSERT_TRUE(run.wait_for_window()) << read_file(run.proc.stderr_path);
	point_at_applet(run.x.dpy);
	press(run.x.dpy, { 1, 1 });
	EXPECT_TRUE(ran(run, "locked\n", 1));
	press(run.x.dpy, { 2, 2 });
	EXPECT_TRUE(ran(run, "locked\n", 2));
	std::string err = read_file(run.proc.stderr_path);
	const std::string rc = run.home + "/.fesk/quarvelrc";
	EXPECT_NE(err.find("quarvel: command1 \"xlock\" was not found; running xsecurelock instead (set command1 in " +
	                   rc + " to choose)\n"), std::string::npos) << err;
	EXPECT_NE(err.find("quarvel: command2 \"xlock -mode nothing-like-a-default\" was not found; set command2 in " +
	                   rc + "\n"), std::string::npos) << err;
	remove_tree(bin);
}

// A Ctrl-C reaches the terminal's whole foreground group: the applet, the
// shell and the command.
TEST(AppletClicks, CtrlCDuringACommandEndsTheApplet)
{
	xvfb_server x = start_xvfb(24);
	std::string home = make_temp_dir();
	// exec: a shell that outlived `touch` would ignore the signal.
	write_settings_file(home, settings_text({ { "command1", "touch " + home + "/began; exec sleep 30" } }));
	// In a group of its own, as a terminal's job, so the signal spares us.
	child_process c = spawn("/usr/bin/setsid", { "setsid", applet_path, "-display", x.name },
	                        { "HOME=" + home });
	const pid_t group = c.pid;
	auto interrupted_status = [&] {
		// Mapped, so the presses reach it (setsid passes on the full path
		// as the class).
		auto shown = [&] {
			Window w = find_by_class(x.dpy, applet_path);
			XWindowAttributes wa;
			return w != None && XGetWindowAttributes(x.dpy, w, &wa) && wa.map_state == IsViewable;
		};
		if (!poll_until(shown, 10.0) || getpgid(group) != group)
			return -1;
		point_at_applet(x.dpy);
		press(x.dpy, { 1, 1 });
		if (!poll_until([&] { return access((home + "/began").c_str(), F_OK) == 0; }, 5.0))
			return -1;
		kill(-group, SIGINT);
		return wait_exit(c, 10.0);
	};
	int status = interrupted_status();
	EXPECT_TRUE(status != -1 && WIFSIGNALED(status)) << status << read_file(c.stderr_path);
	EXPECT_EQ(WTERMSIG(status), SIGINT);
	kill(-group, SIGKILL);        // whatever of the group outlived it
	stop_child(c);
	xvfb_stop(x);
	remove_tree(home);
}
