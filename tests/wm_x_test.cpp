// SPDX-License-Identifier: GPL-2.0-or-later
// The applet inside real docking window managers, on Xvfb screens: in
// fluxbox's slit and Window Maker's dock at every depth, and at 24 bits in
// openbox's dock, blackbox's slit, IceWM's dock, JWM's tray, fvwm3's
// FvwmButtons and pekwm's harbour, the last three set up from Debian's
// stock files with the docking guide's own snippets.  Each time:
// swallowed, drawn, clickable, and one applet only, also after the
// manager is killed or restarted at a bad moment.  Framed by JWM on a
// desktop that is not shown, it makes no wake-ups.
#include <gtest/gtest.h>

#include "applet.h"
#include "x_support.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr const char *applet_path = QUARVEL_BINARY;
constexpr int screen_w = 640, screen_h = 480;

enum class manager { fluxbox, wmaker, wmaker_autostart, openbox, blackbox, icewm, jwm, jwm_framed, fvwm3, pekwm };

struct manager_traits {
	const char *name;
	bool starts_applet;         // the guide's snippet has the manager start it
	bool swallows_main;         // it takes (or frames) the main window, not the icon window
	bool announces_early;       // says it runs before it handles map requests
};

const manager_traits &
traits_of(manager m)
{
	static const manager_traits traits[] = {
		{ "fluxbox", false, false, false }, { "wmaker", false, false, false }, { "wmaker_autostart", true, false, false },
		{ "openbox", false, false, true }, { "blackbox", false, false, false },
		{ "icewm", false, false, false }, { "jwm", true, true, false }, { "jwm_framed", false, true, false },
		{ "fvwm3", true, true, false }, { "pekwm", true, false, false },
	};
	return traits[static_cast<int>(m)];
}

std::string
manager_name(manager m)
{
	return traits_of(m).name;
}

// The guide's snippet for a manager, as README and the manual page show it.
std::string
snippet(const char *name)
{
	std::string text = read_file(std::string(DOCKING_DIR) + "/" + name);
	if (text.empty())
		ADD_FAILURE() << "no snippet " << name;
	return text;
}

// A throwaway home set up so the manager runs headless and out of the way,
// or as the guide says: Debian's stock file with the snippet added.  The
// applet is found through PATH by its plain name, as the guide says.
child_process
start_manager(manager m, const xvfb_server &x, const std::string &home)
{
	std::string bin_dir = applet_path;
	bin_dir.erase(bin_dir.rfind('/'));
	std::vector<std::string> env = { "HOME=" + home, "DISPLAY=" + x.name,
	                                 "PATH=" + bin_dir + ":" + std::getenv("PATH") };
	switch (m) {
	case manager::fluxbox:
		return spawn("/usr/bin/fluxbox", { "fluxbox", "-rc", fluxbox_headless_config(home) }, env);
	case manager::wmaker:
	case manager::wmaker_autostart:
		for (const char *dir : { "/GNUstep", "/GNUstep/Defaults", "/GNUstep/Library", "/GNUstep/Library/WindowMaker" })
			mkdir((home + dir).c_str(), 0700);
		std::ofstream(home + "/GNUstep/Defaults/WindowMaker")
			<< "{ DoNotMakeAppIconsBounce = YES; DisableAnimations = YES; }\n";
		// The README's line, which Window Maker runs again at each restart.
		if (m == manager::wmaker_autostart) {
			std::ofstream(home + "/GNUstep/Library/WindowMaker/autostart") << "#!/bin/sh\nquarvel &\n";
			chmod((home + "/GNUstep/Library/WindowMaker/autostart").c_str(), 0755);
		}
		// Without --for-real the process would be a supervisor that outlives us.
		return spawn("/usr/bin/wmaker", { "wmaker", "--for-real", "--no-autolaunch" }, env);
	case manager::openbox:
		return spawn("/usr/bin/openbox", { "openbox" }, env);
	case manager::blackbox:
		return spawn("/usr/bin/blackbox", { "blackbox" }, env);
	case manager::icewm:
		return spawn("/usr/bin/icewm", { "icewm" }, env);
	case manager::jwm:
	case manager::jwm_framed: {
		// The guide's two edits of the tray; a stock file without their
		// places throws out_of_range, which fails the test.
		std::string rc = read_file("/etc/jwm/system.jwmrc");
		if (m == manager::jwm) {
			rc.replace(rc.find("height=\"25\""), 11, "height=\"68\"");
			rc.insert(rc.find("<Dock/>"), snippet("jwm-tray"));
		}
		std::ofstream(home + "/.jwmrc") << rc;
		return spawn("/usr/bin/jwm", { "jwm" }, env);
	}
	case manager::fvwm3:
		mkdir((home + "/.fvwm").c_str(), 0700);
		std::ofstream(home + "/.fvwm/config")
			<< read_file("/usr/share/fvwm3/default-config/config") << snippet("fvwm3-config");
		return spawn("/usr/bin/fvwm3", { "fvwm3" }, env);
	case manager::pekwm:
		mkdir((home + "/.pekwm").c_str(), 0700);
		std::ofstream(home + "/.pekwm/start") << read_file("/etc/pekwm/start") << snippet("pekwm-start");
		chmod((home + "/.pekwm/start").c_str(), 0755);
		return spawn("/usr/bin/pekwm", { "pekwm" }, env);
	}
	return {};
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

// The processes named `comm` on display `name` (started with -display
// NAME, or with DISPLAY=NAME in their environment) whose command line
// holds `word`.
std::vector<pid_t>
processes_on(const std::string &name, const std::string &comm, const std::string &word = "")
{
	using namespace std::string_literals;
	std::vector<pid_t> found;
	DIR *proc = opendir("/proc");
	for (dirent *e; proc && (e = readdir(proc));) {
		std::string dir = "/proc/"s + e->d_name, cmd = read_file(dir + "/cmdline");
		if (std::atoi(e->d_name) > 0 && read_file(dir + "/comm") == comm + "\n" && cmd.find(word) != cmd.npos &&
		    (cmd.find("\0-display\0"s + name + '\0') != cmd.npos ||
		     ('\0' + read_file(dir + "/environ")).find("\0DISPLAY="s + name + '\0') != std::string::npos))
			found.push_back(std::atoi(e->d_name));
	}
	if (proc)
		closedir(proc);
	return found;
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

// What happens once the applet is docked.
enum class twist {
	none,
	killed,         // the manager is killed and started again, `times` times
	module_paused,  // fvwm restarts while its old FvwmButtons is stopped
	other_desktop,  // another desktop is shown, then this one again
	hand_copy,      // a copy started by hand beside it ends, then the manager is killed and started again
	second_file,    // a copy with another settings file beside it, then the same
	composited,     // under a compositor, a window is raised over the dock, then lowered
};

struct wm_case {
	manager wm;
	int depth;
	bool applet_first;      // the applet starts before the manager
	twist then = twist::none;
	int times = 1;
};

std::string
case_name(const testing::TestParamInfo<wm_case> &info)
{
	const wm_case &c = info.param;
	static const char *const twists[] = { "", "_killed", "_module_paused", "_other_desktop", "_hand_copy",
	                                      "_second_file", "_composited" };
	return manager_name(c.wm) + "_" + std::to_string(c.depth) + (c.applet_first ? "_applet_first" : "") +
	       twists[static_cast<int>(c.then)] + (c.times > 1 ? "_" + std::to_string(c.times) + "_times" : "");
}

class Docked : public testing::TestWithParam<wm_case> {
protected:
	xvfb_server x;
	std::string home;
	child_process wm, applet, decoy, other;
	pid_t paused = -1;

	void TearDown() override
	{
		if (paused > 0)
			kill(paused, SIGCONT);
		stop_child(decoy);
		stop_child(other);
		stop_child(applet);
		stop_manager(wm);
		xvfb_stop(x);          // ends an applet the manager started, too
		remove_tree(home);
	}

	// Up when it says so, or, for a manager that says so before it handles
	// map requests (openbox never manages a window mapped in between), when
	// it frames a window of ours.
	bool start_wm()
	{
		wm = start_manager(GetParam().wm, x, home);
		if (!poll_until([&] { return wm_announced(x.dpy) || wait_exit(wm, 0.0) != -1; }, 15.0) ||
		    wm.pid <= 0)
			return false;
		if (!traits_of(GetParam().wm).announces_early)
			return true;
		// A probe the manager missed stays unframed for good: map a new one.
		for (int attempt = 0; attempt < 30; attempt++) {
			Window probe = XCreateSimpleWindow(x.dpy, DefaultRootWindow(x.dpy), 0, 0, 10, 10, 0, 0, 0);
			XMapWindow(x.dpy, probe);
			XSync(x.dpy, False);
			bool framed = poll_until([&] { return parent_of(x.dpy, probe) != DefaultRootWindow(x.dpy); }, 0.5);
			XDestroyWindow(x.dpy, probe);
			XSync(x.dpy, False);
			if (framed)
				return true;
		}
		return false;
	}

	// The applet's main window once its icon window hint is set (the class
	// comes before the hints), or None if it ended first.
	Window wait_for_applet(Window &icon, int &status)
	{
		Window main_window = None;
		status = -1;
		bool ours = applet.pid > 0;
		poll_until([&] {
			if (ours && (status = wait_exit(applet, 0.0)) != -1)
				return true;
			if ((main_window = find_by_class(x.dpy, "quarvel")) == None)
				return false;
			if (XWMHints *hints = XGetWMHints(x.dpy, main_window)) {
				if (hints->flags & IconWindowHint)
					icon = hints->icon_window;
				XFree(hints);
			}
			return icon != None;
		}, 10.0);
		return icon != None ? main_window : None;
	}
};

} // namespace

TEST_P(Docked, SwallowedDrawnAndClickable)
{
	const wm_case c = GetParam();
	const manager_traits &mt = traits_of(c.wm);
	// fluxbox 1.3.5 spins at full CPU on 30-bit screens and never comes up.
	if (c.wm == manager::fluxbox && c.depth == 30)
		GTEST_SKIP() << "fluxbox 1.3.5 spins at 100 % CPU on a 30-bit screen";

	x = start_xvfb(c.depth, screen_w, screen_h);
	ASSERT_NE(x.dpy, nullptr);
	home = make_temp_dir();
	write_settings_file(home, settings_text({ { "t_mov_step", "0" }, { "t_rot_step", "0" },
	                                          { "command1", "echo 1 >> " + home + "/log" },
	                                          { "command3", "echo 3 >> " + home + "/log" } }));

	if (c.wm == manager::pekwm) {
		// The user's applet on another display: the guide's guard must not
		// take it for the one on this display.
		mkdir((home + "/elsewhere").c_str(), 0700);
		ASSERT_EQ(symlink("/bin/sleep", (home + "/elsewhere/quarvel").c_str()), 0);
		decoy = spawn(home + "/elsewhere/quarvel", { "quarvel", "600" }, { "DISPLAY=" });
	}
	if (!c.applet_first && !start_wm())
		GTEST_SKIP() << manager_name(c.wm) << " does not run at depth " << c.depth;
	// On an 8-bit screen the manager may have filled the default colormap
	// just then; the applet ends as it must ("Not enough free colorcells.",
	// status 1), and a later start, as a user would make, finds cells free.
	Window main_window = None, icon = None;
	int status = -1;
	if (mt.starts_applet) {
		main_window = wait_for_applet(icon, status);
		ASSERT_NE(main_window, None) << manager_name(c.wm) << " did not start the applet: "
		                             << read_file(wm.stderr_path);
	}
	for (int attempt = 1; main_window == None; attempt++) {
		applet = spawn(applet_path, { "quarvel", "-display", x.name }, { "HOME=" + home });
		if ((main_window = wait_for_applet(icon, status)) != None)
			break;
		std::string err = read_file(applet.stderr_path);
		ASSERT_NE(status, -1) << "no window and still running: " << err;
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

	auto applets = [&] { return processes_on(x.name, "quarvel"); };
	bool restarts = c.then != twist::none && c.then != twist::other_desktop && c.then != twist::composited;
	std::size_t copies = 1;
	for (int round = 0; round < (restarts ? 2 : 1); round++) {
		double restarted_at = 0.0;
		for (int time = 0; round == 1 && time < c.times; time++) {
			std::vector<pid_t> before = applets();
			Atom screen_selection = XInternAtom(x.dpy, "_QUARVEL_S0", False);
			Window old_owner = XGetSelectionOwner(x.dpy, screen_selection);
			if (c.then == twist::hand_copy) {
				// The slit swallows a copy started by hand too: the older
				// one ends, and the hand copy is the one applet from then on.
				other = spawn(applet_path, { "quarvel", "-display", x.name }, { "HOME=" + home });
				ASSERT_EQ(wait_exit(applet, 10.0), 0) << read_file(applet.stderr_path);
				std::swap(applet, other);
			} else if (c.then == twist::second_file) {
				// One with a settings file of its own stays, by another name.
				other = spawn(applet_path, { "quarvel-2", "-display", x.name, "-c", home + "/other.rc" },
				              { "HOME=" + home });
				copies = 2;
				ASSERT_TRUE(poll_until([&] { return find_by_class(x.dpy, "quarvel-2") != None; }, 10.0));
			}
			if (c.then == twist::module_paused) {
				// The old FvwmButtons ends late: the new one starts a copy
				// while the old one still holds the applet.
				std::vector<pid_t> module = processes_on(x.name, "FvwmButtons", "QuarvelDock");
				ASSERT_EQ(module.size(), 1u);
				kill(paused = module[0], SIGSTOP);
				kill(wm.pid, SIGUSR1);          // fvwm's Restart
			} else {
				end_child(wm);
				// Killed, pekwm takes the icon window with it, and the applet,
				// the same process, makes a new pair.
				ASSERT_TRUE(c.wm != manager::pekwm || poll_until([&] {
					Window m = find_by_class(x.dpy, "quarvel");
					return m != None && m != main_window;
				}, 5.0)) << "no new pair";
				XDeleteProperty(x.dpy, DefaultRootWindow(x.dpy),
				                XInternAtom(x.dpy, "_NET_SUPPORTING_WM_CHECK", False));
				ASSERT_TRUE(start_wm());
			}
			restarted_at = now_s();
			// JWM's tray, FvwmButtons and Window Maker's autostart start a
			// copy of their own again, which takes over the screen.
			ASSERT_TRUE(!(mt.swallows_main || c.wm == manager::wmaker_autostart) || poll_until([&] {
				return applets() != before && XGetSelectionOwner(x.dpy, screen_selection) != old_owner;
			}, 10.0)) << "the dock started no applet";
			if (paused > 0)
				kill(std::exchange(paused, -1), SIGCONT);
			ASSERT_TRUE(poll_until([&] { return applets().size() == copies; }, 10.0))
				<< applets().size() << " applets after restart " << time + 1;
			// The first main window has gone with its copy or a rebuild
			// (unless the same copy came back, as it does in a slit); later
			// the server may give its id to a new window.
			XWindowAttributes wa;
			ASSERT_TRUE(time > 0 || c.then == twist::second_file ||
			            poll_until([&] { return !XGetWindowAttributes(x.dpy, main_window, &wa); }, 10.0));
		}
		if (round == 1) {
			icon = None;
			ASSERT_NE(main_window = wait_for_applet(icon, status), None);
			unlink((home + "/log").c_str());
		}
		// Swallowed: the window the manager takes (the icon window, or the main
		// window for JWM and fvwm, docked or framed) is reparented into a window
		// of the manager's, shown, and no longer moving for 300 ms.  Each place
		// it is shown at for 100 ms must show the frame by then, not a blank
		// window.
		Window shown = mt.swallows_main ? main_window : icon;
		Window unswallowed_parent = mt.swallows_main ? DefaultRootWindow(x.dpy) : main_window;
		std::vector<unsigned long> want = expected_square(x.dpy, c.depth);
		placement p, last;
		auto stable_since = std::chrono::steady_clock::now();
		bool checked_here = false;
		int blank_places = 0;
		double docked_at = 0.0;
		bool swallowed = poll_until([&] {
			// A copy the dock started twice may end as the other takes over:
			// the one that stays is followed.
			if (parent_of(x.dpy, shown) == None && (main_window = wait_for_applet(icon = None, status)) != None) {
				shown = mt.swallows_main ? main_window : icon;
				unswallowed_parent = mt.swallows_main ? DefaultRootWindow(x.dpy) : main_window;
			}
			p = place_of(x.dpy, shown);
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
			bool docked = p.viewable && p.parent != unswallowed_parent && p.parent != None;
			if (!docked)
				docked_at = 0.0;
			else if (docked_at == 0.0)
				docked_at = now_s();
			return docked && now - stable_since >= std::chrono::milliseconds(300);
		}, 15.0);
		EXPECT_EQ(blank_places, 0) << "places where the applet was shown without its frame";
		ASSERT_TRUE(swallowed) << "parent " << p.parent << " viewable " << p.viewable;
		if (round == 1)
			std::printf("%s restarted: swallowed again %.2f s after it said it runs\n",
			            manager_name(c.wm).c_str(), docked_at - restarted_at);
		// In Debian's own tray, away from its root-menu and show-desktop
		// buttons at the left end.
		EXPECT_TRUE(c.wm != manager::jwm || p.x >= screen_w / 2) << "over the tray's buttons, at " << p.x;

		if (!mt.swallows_main) {
			EXPECT_EQ(parent_of(x.dpy, p.parent), DefaultRootWindow(x.dpy));
			// The main window is not shown as a window of its own.
			placement m = place_of(x.dpy, main_window);
			bool off_screen = m.x + 64 <= 0 || m.y + 64 <= 0 || m.x >= screen_w || m.y >= screen_h;
			EXPECT_TRUE(!m.viewable || off_screen) << "main window shown at " << m.x << "," << m.y;
		}

		// What the screen shows there: the frame and the frozen first frame.
		EXPECT_TRUE(poll_until([&] { return on_screen(x.dpy, p) == want; }, 5.0))
			<< "the docked applet does not show its frame at " << p.x << "," << p.y;

		// Real presses at the window's centre: every second press runs a command.
		// A press made before the applet is back from a command counts for
		// nothing: it says so by counting the commands done.
		XTestFakeMotionEvent(x.dpy, DefaultScreen(x.dpy), p.x + 32, p.y + 32, CurrentTime);
		long done = applet_commands_done(x.dpy);
		press(x.dpy, 3);
		press(x.dpy, 1);
		press(x.dpy, 1);
		EXPECT_TRUE(poll_until([&] { return read_file(home + "/log") == "1\n"; }, 5.0)) << read_file(home + "/log");
		EXPECT_TRUE(poll_until([&] { return applet_commands_done(x.dpy) == done + 1; }, 5.0));
		press(x.dpy, 3);
		EXPECT_TRUE(poll_until([&] { return read_file(home + "/log") == "1\n3\n"; }, 5.0))
			<< read_file(home + "/log");
		EXPECT_EQ(find_by_class(x.dpy, "quarvel"), main_window) << "the applet has gone";
		EXPECT_EQ(applets().size(), copies);
		if (copies == 2) {
			Window m = find_by_class(x.dpy, "quarvel-2");
			EXPECT_TRUE(m != None && first_child(x.dpy, m) == None) << "the other file's copy is not docked";
		}

		if (c.then == twist::composited) {
			// Covered, it draws 2 frames a second, as the compositor may
			// show it through; lowered, in full (frames told by the bytes
			// it writes, 11744 a frame at 24 bits).
			child_process compositor;
			compositing(x, compositor, true);
			XSetWindowAttributes a{};
			a.override_redirect = True;
			Window over = XCreateWindow(x.dpy, DefaultRootWindow(x.dpy), p.x - 10, p.y - 10, 100, 100, 0,
			                            CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect, &a);
			auto frames_a_second = [&] {
				long before = proc_field(applet.pid, "io", "wchar:");
				sleep_s(1.0);
				return static_cast<double>(proc_field(applet.pid, "io", "wchar:") - before) / 11744.0;
			};
			double rate = 0;
			XMapRaised(x.dpy, over);
			XSync(x.dpy, False);
			EXPECT_TRUE(poll_until([&] { return (rate = frames_a_second()) <= 3.0; }, 5.0)) << rate << " covered";
			XLowerWindow(x.dpy, over);
			XSync(x.dpy, False);
			EXPECT_TRUE(poll_until([&] { return (rate = frames_a_second()) >= 30.0; }, 5.0)) << rate << " uncovered";
			stop_child(compositor);
		}
		if (c.then == twist::other_desktop) {
			// Its frame unmapped, nobody can see the applet: not one wake-up.
			switch_desktop(x.dpy, 1);
			ASSERT_TRUE(poll_until([&] { return !place_of(x.dpy, main_window).viewable; }, 5.0));
			EXPECT_TRUE(stays_asleep(applet.pid, 1.0)) << "the applet draws on another desktop";
			switch_desktop(x.dpy, 0);
			EXPECT_TRUE(poll_until([&] {
				placement q = place_of(x.dpy, main_window);
				return q.viewable && on_screen(x.dpy, q) == want;
			}, 5.0)) << "no frame back on its desktop";
		}
	}
}

INSTANTIATE_TEST_SUITE_P(Managers, Docked,
	testing::Values(wm_case{ manager::fluxbox, 24, false }, wm_case{ manager::fluxbox, 16, false },
	                wm_case{ manager::fluxbox, 15, false }, wm_case{ manager::fluxbox, 8, false },
	                wm_case{ manager::fluxbox, 30, false }, wm_case{ manager::fluxbox, 24, true },
	                wm_case{ manager::wmaker, 24, false }, wm_case{ manager::wmaker, 16, false },
	                wm_case{ manager::wmaker, 15, false }, wm_case{ manager::wmaker, 8, false },
	                wm_case{ manager::wmaker, 30, false }, wm_case{ manager::wmaker, 24, true },
	                wm_case{ manager::openbox, 24, false }, wm_case{ manager::blackbox, 24, false },
	                wm_case{ manager::icewm, 24, false }, wm_case{ manager::jwm, 24, false },
	                wm_case{ manager::fvwm3, 24, false }, wm_case{ manager::pekwm, 24, false, twist::killed },
	                wm_case{ manager::jwm, 24, false, twist::killed, 3 },
	                wm_case{ manager::fvwm3, 24, false, twist::module_paused },
	                wm_case{ manager::jwm_framed, 24, false, twist::other_desktop },
	                wm_case{ manager::wmaker_autostart, 24, false, twist::killed, 3 },
	                wm_case{ manager::fluxbox, 24, false, twist::hand_copy },
	                wm_case{ manager::fluxbox, 24, false, twist::second_file },
	                wm_case{ manager::fluxbox, 24, false, twist::composited }),
	case_name);
