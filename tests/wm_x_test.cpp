// SPDX-License-Identifier: GPL-2.0-or-later
// The applet inside real docking window managers, fluxbox's slit and
// Window Maker's dock, on Xvfb screens of every depth: swallowed, drawn,
// clickable, and swallowed too when it starts before the manager.
#include <gtest/gtest.h>

#include "applet.h"
#include "x_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

const std::string applet_path = QUARVEL_BINARY;
constexpr int screen_w = 640, screen_h = 480;

enum class manager { fluxbox, wmaker };

std::string
manager_name(manager m)
{
	return m == manager::fluxbox ? "fluxbox" : "wmaker";
}

// A throwaway home set up so the manager runs headless and out of the way.
child_process
start_manager(manager m, const xvfb_server &x, const std::string &home)
{
	if (m == manager::fluxbox) {
		mkdir((home + "/.fluxbox").c_str(), 0700);
		// The toolbar would cover the slit at 640x480; the default style runs
		// a wallpaper setter that eats colour cells at 8 bits.
		std::ofstream(home + "/.fluxbox/init") << "session.screen0.toolbar.visible: false\n";
		std::ofstream(home + "/.fluxbox/overlay") << "background: none\n";
		return spawn("/usr/bin/fluxbox", { "fluxbox", "-display", x.name, "-rc", home + "/.fluxbox/init" },
		             { "HOME=" + home });
	}
	mkdir((home + "/GNUstep").c_str(), 0700);
	mkdir((home + "/GNUstep/Defaults").c_str(), 0700);
	std::ofstream(home + "/GNUstep/Defaults/WindowMaker")
		<< "{ DoNotMakeAppIconsBounce = YES; DisableAnimations = YES; }\n";
	// Without --for-real the process would be a supervisor that outlives us.
	return spawn("/usr/bin/wmaker", { "wmaker", "--for-real", "--no-autolaunch", "-display", x.name },
	             { "HOME=" + home });
}

bool
manager_ready(Display *dpy)
{
	Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
	Atom type;
	int format;
	unsigned long n, left;
	unsigned char *data = nullptr;
	bool ready = XGetWindowProperty(dpy, DefaultRootWindow(dpy), check, 0, 1, False, XA_WINDOW, &type,
	                                &format, &n, &left, &data) == Success && n == 1;
	XFree(data);
	return ready;
}

// A manager can deadlock in its own SIGTERM handler: give it a moment,
// then SIGKILL.
void
stop_manager(child_process &c)
{
	if (c.pid > 0) {
		kill(c.pid, SIGTERM);
		if (wait_exit(c, 3.0) == -1)
			stop_child(c);
	}
	unlink(c.stderr_path.c_str());
	unlink(c.stdout_path.c_str());
}

Window
parent_of(Display *dpy, Window w)
{
	Window root, parent = None, *kids = nullptr;
	unsigned n = 0;
	if (XQueryTree(dpy, w, &root, &parent, &kids, &n))
		XFree(kids);
	return parent;
}

struct placement {
	Window parent = None;
	int x = 0, y = 0;          // on the screen
	bool viewable = false;
	bool operator==(const placement &) const = default;
};

placement
place_of(Display *dpy, Window w)
{
	placement p;
	p.parent = parent_of(dpy, w);
	Window child;
	XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 0, 0, &p.x, &p.y, &child);
	XWindowAttributes wa;
	p.viewable = XGetWindowAttributes(dpy, w, &wa) && wa.map_state == IsViewable;
	return p;
}

// What the screen shows of a window's visible square, read from the root.
std::vector<unsigned long>
on_screen(Display *dpy, const placement &p)
{
	return read_pixels(dpy, DefaultRootWindow(dpy), p.x + 4, p.y + 4, 56, 56);
}

const char *const frozen_settings =
	"shade_switch=1\npersp_switch=1\nt_shade_level=5.2\nt_persp=1000.0\n"
	"t_mov_step=0\nt_rot_step=0\ntex_block_w=32\ntex_block_h=32\n"
	"t_col_add_R=24.0\nt_col_add_G=-12.0\nt_col_add_B=55.0\n"
	"t_col_mul_R=1.0\nt_col_mul_G=1.0\nt_col_mul_B=0.0\n"
	"t_color_1=20\nt_color_2=128\n";

// The 56x56 square the applet shows with the frozen settings, as the
// pixel values this screen gives its colours.
std::vector<unsigned long>
expected_square(Display *dpy, int depth)
{
	settings_record s = default_settings;
	s.t_mov_step = 0.0f;
	s.t_rot_step = 0.0f;
	build_colour_ramps(s);
	build_tunnel_map(s);
	build_texture(s);
	anim_offsets = { 0.0f, 0.0f };
	render_frame(s);
	unsigned long black = alloc_pixel(dpy, 0, 0, 0);
	unsigned long light = alloc_pixel(dpy, 0xDA00, 0xCD00, 0xC900);
	std::vector<unsigned long> sq(56 * 56);
	for (int y = 0; y < 56; y++)
		for (int x = 0; x < 56; x++) {
			unsigned long &px = sq[static_cast<std::size_t>(y * 56 + x)];
			if (y == 0 || (x == 0 && y < 55))
				px = black;
			else if (y == 55 || x == 55)
				px = light;
			else {
				int i = index_frame[static_cast<std::size_t>((y - 1) * well_side + x - 1)];
				// At 8 bits the well's pixels are the palette indices themselves,
				// shown through whatever colormap the screen has installed.
				px = depth == 8 ? static_cast<unsigned long>(i)
				                : alloc_pixel(dpy, static_cast<unsigned short>(colour_ramps[0][i] << 8),
				                              static_cast<unsigned short>(colour_ramps[1][i] << 8),
				                              static_cast<unsigned short>(colour_ramps[2][i] << 8));
			}
		}
	return sq;
}

void
press(Display *dpy, unsigned button)
{
	XTestFakeButtonEvent(dpy, button, True, CurrentTime);
	XTestFakeButtonEvent(dpy, button, False, CurrentTime);
	XSync(dpy, False);
}

struct wm_case {
	manager wm;
	int depth;
	bool applet_first;      // the applet starts before the manager
};

std::string
case_name(const testing::TestParamInfo<wm_case> &info)
{
	return manager_name(info.param.wm) + std::to_string(info.param.depth) +
	       (info.param.applet_first ? "AppletFirst" : "");
}

class Docked : public testing::TestWithParam<wm_case> {
protected:
	xvfb_server x;
	std::string home, wm_home;
	child_process wm, applet;

	void TearDown() override
	{
		stop_child(applet);
		stop_manager(wm);
		stop_xvfb(x);
		remove_tree(home);
		remove_tree(wm_home);
	}

	bool start_wm()
	{
		wm = start_manager(GetParam().wm, x, wm_home);
		return poll_until([&] { return manager_ready(x.dpy) || wait_exit(wm, 0.0) != -1; }, 15.0) &&
		       wm.pid > 0;
	}
};

} // namespace

TEST_P(Docked, SwallowedDrawnAndClickable)
{
	const wm_case c = GetParam();
	// fluxbox 1.3.5 spins at full CPU on 30-bit screens and never comes up.
	if (c.wm == manager::fluxbox && c.depth == 30)
		GTEST_SKIP() << "fluxbox 1.3.5 spins at 100 % CPU on a 30-bit screen";

	x = start_xvfb(c.depth, screen_w, screen_h);
	ASSERT_NE(x.dpy, nullptr);
	home = make_temp_dir();
	wm_home = make_temp_dir();
	write_settings_file(home, std::string(frozen_settings) + "command1=echo 1 >> " + home +
	                              "/log\ncommand3=echo 3 >> " + home + "/log\n");

	if (!c.applet_first && !start_wm())
		GTEST_SKIP() << manager_name(c.wm) << " does not run at depth " << c.depth;
	// The class is set before the hints: wait for the icon window's hint.
	// On an 8-bit screen the manager may have filled the default colormap
	// just then; the applet ends as it must ("Not enough free colorcells.",
	// status 1), and a later start, as a user would make, finds cells free.
	auto started = std::chrono::steady_clock::now();
	Window main_window = None, icon = None;
	for (int attempt = 1; icon == None; attempt++) {
		started = std::chrono::steady_clock::now();
		applet = spawn(applet_path, { "quarvel", "-display", x.name }, { "HOME=" + home });
		int status = -1;
		ASSERT_TRUE(poll_until([&] {
			if ((status = wait_exit(applet, 0.0)) != -1)
				return true;
			if ((main_window = find_by_class(x.dpy, "quarvel")) == None)
				return false;
			if (XWMHints *hints = XGetWMHints(x.dpy, main_window)) {
				if (hints->flags & IconWindowHint)
					icon = hints->icon_window;
				XFree(hints);
			}
			return icon != None;
		}, 10.0)) << "no window and still running: " << read_file(applet.stderr_path);
		if (icon != None)
			break;
		std::string err = read_file(applet.stderr_path);
		stop_child(applet);
		ASSERT_TRUE(c.depth == 8 && attempt < 5 && WIFEXITED(status) && WEXITSTATUS(status) == 1 &&
		            err == "Not enough free colorcells.\n")
			<< "the applet ended with status " << status << ": " << err;
		std::printf("%s at 8 bits: the colormap was full at start %d; starting again\n",
		            manager_name(c.wm).c_str(), attempt);
	}
	if (c.applet_first) {
		ASSERT_TRUE(poll_until([&] { return place_of(x.dpy, main_window).viewable; }, 10.0));
		if (!start_wm())
			GTEST_SKIP() << manager_name(c.wm) << " does not run at depth " << c.depth;
	}

	// Swallowed: reparented out of the main window into a frame of the
	// manager's on the root, shown, and no longer moving for 300 ms.  Each
	// place it is shown at for 100 ms must show the frame by then, not a
	// blank window.
	std::vector<unsigned long> want = expected_square(x.dpy, c.depth);
	placement p, last;
	auto stable_since = std::chrono::steady_clock::now();
	bool checked_here = false;
	int blank_places = 0;
	bool swallowed = poll_until([&] {
		p = place_of(x.dpy, icon);
		auto now = std::chrono::steady_clock::now();
		if (!(p == last)) {
			stable_since = now;
			checked_here = false;
		}
		last = p;
		if (p.viewable && !checked_here && now - stable_since >= std::chrono::milliseconds(100)) {
			checked_here = true;
			blank_places += on_screen(x.dpy, p) != want;
		}
		return p.viewable && p.parent != main_window && p.parent != None &&
		       now - stable_since >= std::chrono::milliseconds(300);
	}, 15.0);
	EXPECT_EQ(blank_places, 0) << "places where the icon window was shown without its frame";
	ASSERT_TRUE(swallowed) << "icon window parent " << p.parent << " viewable " << p.viewable;
	double seconds = std::chrono::duration<double>(stable_since - started).count();
	RecordProperty("swallow_seconds", std::to_string(seconds));
	std::printf("%s at %d bits%s: stable swallow %.2f s after start\n", manager_name(c.wm).c_str(), c.depth,
	            c.applet_first ? ", applet first" : "", seconds);
	EXPECT_EQ(parent_of(x.dpy, p.parent), DefaultRootWindow(x.dpy));

	// The main window is not shown as a window of its own.
	placement m = place_of(x.dpy, main_window);
	bool off_screen = m.x + 64 <= 0 || m.y + 64 <= 0 || m.x >= screen_w || m.y >= screen_h;
	EXPECT_TRUE(!m.viewable || off_screen) << "main window shown at " << m.x << "," << m.y;

	// What the screen shows there: the frame and the frozen first frame.
	EXPECT_TRUE(poll_until([&] { return on_screen(x.dpy, p) == want; }, 5.0))
		<< "the docked applet does not show its frame at " << p.x << "," << p.y;

	// Real presses at the icon's centre: every second press runs a command.
	XTestFakeMotionEvent(x.dpy, DefaultScreen(x.dpy), p.x + 32, p.y + 32, CurrentTime);
	press(x.dpy, 3);
	press(x.dpy, 1);
	press(x.dpy, 1);
	EXPECT_TRUE(poll_until([&] { return read_file(home + "/log") == "1\n"; }, 5.0)) << read_file(home + "/log");
	press(x.dpy, 3);
	EXPECT_TRUE(poll_until([&] { return read_file(home + "/log") == "1\n3\n"; }, 5.0))
		<< read_file(home + "/log");
	EXPECT_EQ(wait_exit(applet, 0.0), -1);
}

INSTANTIATE_TEST_SUITE_P(Managers, Docked,
	testing::Values(wm_case{ manager::fluxbox, 24, false }, wm_case{ manager::fluxbox, 16, false },
	                wm_case{ manager::fluxbox, 15, false }, wm_case{ manager::fluxbox, 8, false },
	                wm_case{ manager::fluxbox, 30, false }, wm_case{ manager::fluxbox, 24, true },
	                wm_case{ manager::wmaker, 24, false }, wm_case{ manager::wmaker, 16, false },
	                wm_case{ manager::wmaker, 15, false }, wm_case{ manager::wmaker, 8, false },
	                wm_case{ manager::wmaker, 30, false }, wm_case{ manager::wmaker, 24, true }),
	case_name);
