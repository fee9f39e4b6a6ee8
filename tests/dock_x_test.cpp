// SPDX-License-Identifier: GPL-2.0-or-later
// The dock toolkit in this process, on a private Xvfb: colour lookup,
// redraws from an offset, area copies, mask offsets, mouse regions, the
// frame loop's I/O, what it knows of whether anyone can see the windows,
// and a pair of windows made again after a dock destroyed one.
#include <gtest/gtest.h>

#include "dock.h"
#include "x_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/extensions/shape.h>

#include <X11/Xlib-xcb.h>

#include <csignal>
#include <functional>
#include <poll.h>

namespace {

constexpr int side = 64;

// A pixmap pattern that differs under every shift: four colours laid by a
// non-repeating rule.
char
pattern_at(int x, int y)
{
	return "abcd"[(x * 7 + y * 13 + (x * y) / 5) % 4];
}

// X errors the toolkit passed on to the handler it replaced.
struct {
	int count;
	int last_code;
} passed_on;

int
record_x_error(Display *dpy, XErrorEvent *ev)
{
	if (dpy == dock_state.display) {     // the handler serves every connection
		passed_on.count++;
		passed_on.last_code = ev->error_code;
	}
	return 0;
}

struct dock_env {
	xvfb_server x;
	std::vector<std::string> xpm_lines;
	std::vector<const char *> xpm;
	std::string stderr_text;
	std::string display;
	char *argv[4];           // the toolkit keeps it, as main's

	dock_env()
	{
		x = start_xvfb(24);
		xpm_lines = { "64 64 4 1", "a c #FF0000", "b c #00FF00", "c c #0000FF", "d c #FFFFFF" };
		for (int y = 0; y < side; y++) {
			std::string row;
			for (int c = 0; c < side; c++)
				row += pattern_at(c, y);
			xpm_lines.push_back(row);
		}
		for (const auto &l : xpm_lines)
			xpm.push_back(l.c_str());
		// Bits 4..59 of rows 4..59, as the applet's mask.
		static unsigned char mask[side * side / 8];
		for (int y = 4; y < 60; y++) {
			unsigned char row[8] = { 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F };
			std::copy(row, row + 8, mask + y * 8);
		}
		display = x.name;
		argv[0] = const_cast<char *>("docktest");
		argv[1] = const_cast<char *>("-display");
		argv[2] = display.data();
		argv[3] = nullptr;
		XSetErrorHandler(record_x_error);
		testing::internal::CaptureStderr();
		dock_open_window(3, argv, display.c_str(), xpm.data(), mask, side, side);
		dock_get_color("no-such-colour");
		stderr_text = testing::internal::GetCapturedStderr();
		XSync(dock_state.display, False);
	}
	~dock_env() { xvfb_stop(x); }
};

dock_env &
env()
{
	static dock_env e;      // one window for the process: dock_state is global
	return e;
}

std::vector<unsigned long>
pixmap_pixels(int x, int y, int w, int h)
{
	return read_pixels(dock_state.display, dock_state.frame_pixmap, x, y, w, h);
}

// The visible square of window `w` equals the pixmap read from (dx, dy).
bool
window_shows_pixmap_at(Window w, int dx, int dy)
{
	XSync(dock_state.display, False);
	std::vector<unsigned long> shown = read_pixels(dock_state.display, w, 4, 4, 56, 56);
	return !shown.empty() && shown == pixmap_pixels(4 + dx, 4 + dy, 56, 56);
}

XRectangle
shape_of(Window w)
{
	int count = 0, ordering = 0;
	XRectangle *r = XShapeGetRectangles(dock_state.display, w, ShapeBounding, &count, &ordering);
	XRectangle got = count == 1 ? r[0] : XRectangle{ -1, -1, 0, 0 };
	XFree(r);
	return got;
}

} // namespace

TEST(DockGetColor, UnknownNameGivesPixelZeroAndAMessage)
{
	EXPECT_EQ(env().stderr_text, "wm.app: can't parse no-such-colour.\n");
	testing::internal::CaptureStderr();
	EXPECT_EQ(dock_get_color("no-such-colour"), 0ul);
	EXPECT_EQ(dock_get_color("#102030"), 0x102030ul);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "wm.app: can't parse no-such-colour.\n");
	EXPECT_EQ(dock_state.white_pixel, 0xFFFFFFul);
	EXPECT_EQ(dock_state.black_pixel, 0ul);
}

TEST(DockRedraw, FromAnOffsetIntoBothWindows)
{
	env();
	Display *dpy = dock_state.display;
	// Show the icon window as a dock would, so it can be read back.
	XReparentWindow(dpy, dock_state.icon_window, dock_state.root, 100, 0);
	XMapWindow(dpy, dock_state.icon_window);
	XSync(dpy, False);

	dock_redraw();
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.main_window, 0, 0));
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.icon_window, 0, 0));
	dock_redraw_at(3, 2);
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.main_window, 3, 2));
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.icon_window, 3, 2));
	EXPECT_FALSE(window_shows_pixmap_at(dock_state.main_window, 0, 0));
	dock_redraw();
}

namespace {

// Sends the toolkit a press from the test's own connection, as a dock that
// forwards clicks does, and waits until it lies in the toolkit's socket.
void
press_from_outside()
{
	Display *other = env().x.dpy;
	XEvent ev{};
	ev.xbutton = { ButtonPress, 0, True, other, dock_state.main_window, dock_state.root, None, CurrentTime,
	               1, 1, 1, 1, 0, Button2, True };
	XSendEvent(other, dock_state.main_window, False, ButtonPressMask, &ev);
	XSync(other, False);
	pollfd p = { ConnectionNumber(dock_state.display), POLLIN, 0 };
	ASSERT_EQ(poll(&p, 1, 5000), 1);
}

// The types of the events one frame hands out.
std::vector<int>
frame_events()
{
	std::vector<int> types;
	dock_event ev;
	while (dock_next_event(&ev))
		types.push_back(ev.type);
	return types;
}

// A frame's pause of 1 ms; the windows must be seen, or it would wait
// for the server.
void
short_pause()
{
	ASSERT_TRUE(dock_seen());
	dock_pause(1000000);
}

// What the applet's frame sends: the well's image and the copies into
// both windows.
void
send_a_frame()
{
	static XImage *image = [] {
		Display *dpy = dock_state.display;
		int screen = DefaultScreen(dpy);
		XImage *i = XCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap, 0,
		                         nullptr, 54, 54, 32, 0);
		i->data = static_cast<char *>(std::calloc(static_cast<std::size_t>(i->bytes_per_line), 54));
		return i;
	}();
	dock_put_image(image, 5, 5);
	dock_redraw();
	dock_flush();
}

// A round trip of the toolkit's own connection, through xcb as its own
// requests go: Xlib's requests are what some tests count.
void
round_trip()
{
	xcb_connection_t *c = XGetXCBConnection(dock_state.display);
	std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// Does `act` from the test's own connection and takes the frame that
// follows: a property change of the toolkit's own window (the owner of its
// selection, which no dock takes) marks the end of what the act made the
// server say, and wakes the pause even while the windows are unseen.
void
after(const std::function<void(Display *)> &act)
{
	Display *o = env().x.dpy;
	round_trip();                         // what the toolkit has to say is said
	act(o);
	Window helper = XGetSelectionOwner(o, XInternAtom(o, "_QUARVEL_S0", False));
	XChangeProperty(o, helper, XA_STRING, XA_STRING, 8, PropModeAppend, nullptr, 0);
	XSync(o, False);
	pollfd p = { ConnectionNumber(dock_state.display), POLLIN, 0 };
	ASSERT_EQ(poll(&p, 1, 5000), 1);
	dock_pause(0);
	frame_events();
}

} // namespace

// Every event that has come is handed out by the next frame, wherever it
// waits, and the pause is served whole.
TEST(DockEvents, NoEventIsLeftWaiting)
{
	env();
	after([](Display *) {});    // the windows are mapped and seen by now
	frame_events();
	short_pause();
	frame_events();
	short_pause();
	EXPECT_EQ(frame_events(), std::vector<int>{});          // quiet

	// In the socket during the pause.
	press_from_outside();
	double t0 = now_s();
	short_pause();
	EXPECT_GE(now_s() - t0, 0.001);
	EXPECT_EQ(frame_events(), std::vector<int>{ ButtonPress });
	short_pause();

	// Read by xcb while it waited for a reply: only in its queue.
	EXPECT_EQ(frame_events(), std::vector<int>{});
	press_from_outside();
	EXPECT_EQ(dock_get_color("white"), dock_state.white_pixel);
	short_pause();
	EXPECT_EQ(frame_events(), std::vector<int>{ ButtonPress });
	short_pause();

	// Come before a frame was sent.
	EXPECT_EQ(frame_events(), std::vector<int>{});
	press_from_outside();
	send_a_frame();
	short_pause();
	EXPECT_EQ(frame_events(), std::vector<int>{ ButtonPress });
	short_pause();
	EXPECT_EQ(frame_events(), std::vector<int>{});

	// A flood larger than a frame reads, then more presses than a frame
	// keeps: the rest waits for the next frames, and every press comes
	// out, with nothing but the pauses between.
	Display *other = env().x.dpy;
	XEvent motion{};
	motion.xmotion = { MotionNotify, 0, True, other, dock_state.main_window, dock_state.root, None,
	                   CurrentTime, 1, 1, 1, 1, 0, NotifyNormal, True };
	for (int i = 0; i < 200000; i++)
		XSendEvent(other, dock_state.main_window, False, PointerMotionMask, &motion);
	for (int i = 0; i < 999; i++)
		press_from_outside();
	std::size_t presses = 0;
	for (int frame = 0; frame < 100 && presses < 999; frame++) {
		short_pause();
		presses += frame_events().size();
	}
	EXPECT_EQ(presses, 999u);

	// Floods from two other clients that keep the socket full: a frame
	// still reads for a few milliseconds at most, and a press made meanwhile
	// comes out within a few frames.
	pid_t flooders[2];
	for (pid_t &pid : flooders)
		pid = fork_client(env().x.name, [&](Display *d) {
			for (XEvent ev = motion;;)
				XSendEvent(d, dock_state.main_window, False, PointerMotionMask, &ev);
		});
	sleep_s(0.2);
	press_from_outside();
	presses = 0;
	for (int frame = 0; frame < 1000 && presses == 0; frame++) {
		short_pause();
		presses = frame_events().size();
	}
	for (pid_t pid : flooders)
		end_client(pid);
	EXPECT_EQ(presses, 1u) << "no press within 1000 frames of a flood";

	// Read by xcb during a round trip just before a pause while unseen: the
	// pause must not sleep on the socket with the press in xcb's queue.
	after([](Display *d) {
		XUnmapWindow(d, dock_state.main_window);
		XUnmapWindow(d, dock_state.icon_window);
	});
	ASSERT_FALSE(dock_seen());
	press_from_outside();
	round_trip();
	struct sigaction wake = {};
	wake.sa_handler = [](int) {};
	sigaction(SIGALRM, &wake, nullptr);
	alarm(3);
	double paused_at = now_s();
	dock_pause(1000000);
	alarm(0);
	EXPECT_LT(now_s() - paused_at, 1.0) << "the pause slept with a press waiting";
	EXPECT_EQ(frame_events(), std::vector<int>{ ButtonPress });
	after([](Display *d) { XMapWindow(d, dock_state.main_window); });
	dock_redraw();
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.main_window, 0, 0));
}

// Under a compositing manager, what covers it counts by what it hides for
// certain, and covered it is seen faintly (2 frames a second).
TEST(DockSeen, FollowsMapsVisibilityAncestorsTheScreenSaverAndCovers)
{
	env();
	Window main_window = dock_state.main_window, icon = dock_state.icon_window;
	Window root = dock_state.root;
	Display *o = env().x.dpy;
	Window cover = XCreateSimpleWindow(o, root, 0, 0, 100, 100, 0, 0, 0);
	// Over the main window, and no cover: translucent, 32 deep, with a hole.
	Window translucent = XCreateSimpleWindow(o, root, 0, 0, 100, 100, 0, 0, 0);
	long half = 0x80000000;
	XChangeProperty(o, translucent, XInternAtom(o, "_NET_WM_WINDOW_OPACITY", False), XA_CARDINAL, 32,
	                PropModeReplace, reinterpret_cast<unsigned char *>(&half), 1);
	XVisualInfo argb;
	ASSERT_TRUE(XMatchVisualInfo(o, DefaultScreen(o), 32, TrueColor, &argb));
	XSetWindowAttributes wa{};
	wa.colormap = XCreateColormap(o, root, argb.visual, AllocNone);
	Window deep = XCreateWindow(o, root, 0, 0, 100, 100, 0, 32, InputOutput, argb.visual,
	                            CWColormap | CWBorderPixel | CWBackPixel, &wa);
	Window holed = XCreateSimpleWindow(o, root, 0, 0, 100, 100, 0, 0, 0);
	XRectangle hole = { 20, 20, 20, 20 };
	XShapeCombineRectangles(o, holed, ShapeBounding, 0, 0, &hole, 1, ShapeSubtract, Unsorted);
	child_process cm;
	Window frame = XCreateSimpleWindow(o, root, 0, 0, 100, 100, 0, 0, 0);
	Window inner = XCreateSimpleWindow(o, frame, 0, 0, 100, 100, 0, 0, 0);
	XMapWindow(o, inner);
	after([&](Display *d) { XUnmapWindow(d, icon); XUnmapWindow(d, main_window); });
	after([&](Display *d) { XMapWindow(d, main_window); });
	ASSERT_TRUE(dock_seen());
	XEvent fake{};
	fake.xunmap = { UnmapNotify, 0, True, o, icon, icon, False };
	int saver_event, saver_error;
	ASSERT_TRUE(XScreenSaverQueryExtension(o, &saver_event, &saver_error));
	constexpr int unseen = 0, seen = 1, faint = 2;
	const struct {
		const char *what;
		std::function<void(Display *)> act;
		int seen;
	} rows[] = {
		{ "main window covered", [&](Display *d) { XMapWindow(d, cover); }, false },
		{ "uncovered", [&](Display *d) { XUnmapWindow(d, cover); }, true },
		{ "half covered", [&](Display *d) { XMoveWindow(d, cover, 32, 0); XMapWindow(d, cover); }, true },
		{ "wholly covered again", [&](Display *d) { XMoveWindow(d, cover, 0, 0); }, false },
		{ "uncovered again", [&](Display *d) { XUnmapWindow(d, cover); }, true },
		// a manager's frame (two deep) that it unmaps for another desktop;
		// the inner window is mapped but not viewable when first seen
		{ "in a frame not mapped yet", [&](Display *d) { XReparentWindow(d, main_window, inner, 0, 0); }, false },
		{ "the frame mapped at last", [&](Display *d) { XMapWindow(d, frame); }, true },
		{ "the frame unmapped", [&](Display *d) { XUnmapWindow(d, frame); }, false },
		{ "the frame mapped", [&](Display *d) { XMapWindow(d, frame); }, true },
		{ "the inner window unmapped", [&](Display *d) { XUnmapWindow(d, inner); }, false },
		{ "back on the root", [&](Display *d) { XReparentWindow(d, main_window, root, 0, 0); }, true },
		{ "the main window unmapped", [&](Display *d) { XUnmapWindow(d, main_window); }, false },
		{ "the icon window shown by a dock", [&](Display *d) {
			XReparentWindow(d, icon, root, 150, 100);
			XMapWindow(d, icon);
		  }, true },
		// another client's word is not the server's
		{ "an UnmapNotify sent by another client",
		  [&](Display *d) { XSendEvent(d, icon, False, StructureNotifyMask, &fake); }, true },
		{ "the screen saver on", [&](Display *d) { XForceScreenSaver(d, ScreenSaverActive); }, false },
		{ "and off", [&](Display *d) { XForceScreenSaver(d, ScreenSaverReset); }, true },
		{ "the icon window unmapped", [&](Display *d) { XUnmapWindow(d, icon); }, false },
		{ "the main window mapped", [&](Display *d) { XMapWindow(d, main_window); }, true },
		{ "a compositor starts", [&](Display *) { compositing(env().x, cm, true); }, seen },
		{ "covered under it", [&](Display *d) { XMapRaised(d, cover); }, faint },
		{ "a translucent window instead", [&](Display *d) { XUnmapWindow(d, cover); XMapRaised(d, translucent); },
		  seen },
		{ "a window 32 deep", [&](Display *d) { XUnmapWindow(d, translucent); XMapRaised(d, deep); }, seen },
		{ "one with a hole over the well", [&](Display *d) { XUnmapWindow(d, deep); XMapRaised(d, holed); }, seen },
		{ "half covered", [&](Display *d) { XUnmapWindow(d, holed); XMoveWindow(d, cover, 32, 0); XMapRaised(d, cover); },
		  seen },
		{ "wholly covered", [&](Display *d) { XMoveWindow(d, cover, 0, 0); }, faint },
		{ "the compositor stops", [&](Display *) { compositing(env().x, cm, false); }, unseen },
		{ "and starts while covered", [&](Display *) { compositing(env().x, cm, true); }, faint },
		{ "and stops uncovered", [&](Display *d) { compositing(env().x, cm, false); XUnmapWindow(d, cover); }, seen },
	};
	// (The server tells of windows a compositor no longer redirects only
	// once it is idle: a few more frames may be needed.)
	auto state = [] { return dock_seen() ? (dock_faint() ? faint : seen) : unseen; };
	for (const auto &r : rows) {
		after(r.act);
		EXPECT_TRUE(poll_until([&] { return state() == r.seen || (after([](Display *) {}), false); }, 2.0))
			<< r.what << ": " << state();
	}
	for (Window w : { cover, frame, translucent, deep, holed })
		XDestroyWindow(o, w);
	XSync(o, False);
}

TEST(DockWindowDestroyed, MakesThePairAgainAndOutlivesOnlyItsErrors)
{
	env();
	Display *dpy = dock_state.display, *other = env().x.dpy;
	after([](Display *) {});
	ASSERT_TRUE(dock_seen());
	Window old_main = dock_state.main_window, old_icon = dock_state.icon_window;
	passed_on = {};
	auto copy_into = [&](Drawable from, Window w) {
		XCopyArea(dpy, from, w, dock_state.normal_gc, 0, 0, 1, 1, 0, 0);
		XSync(dpy, False);
		after([](Display *) {});
	};
	// The other client plays a window manager, which keeps the new pair
	// unmapped until it maps it.
	XSelectInput(other, dock_state.root, SubstructureRedirectMask);

	// Another client destroys the icon window.  A copy sent before the
	// toolkit hears of it fails; the frame that reads both makes a new pair.
	XDestroyWindow(other, old_icon);
	XSync(other, False);
	copy_into(dock_state.frame_pixmap, old_icon);
	EXPECT_EQ(passed_on.count, 0);
	Window new_main = dock_state.main_window;
	ASSERT_NE(new_main, old_main);
	EXPECT_NE(dock_state.icon_window, old_icon);
	EXPECT_FALSE(dock_seen()) << "a new pair is unseen until the server maps it";
	XSync(dpy, False);
	XWindowAttributes wa;
	EXPECT_FALSE(XGetWindowAttributes(other, old_main, &wa)) << "the survivor is left";
	ASSERT_TRUE(XGetWindowAttributes(other, new_main, &wa));
	EXPECT_EQ(wa.map_state, IsUnmapped);
	EXPECT_EQ(first_child(other, new_main), dock_state.icon_window);
	EXPECT_EQ(shape_of(dock_state.icon_window).width, 56);
	XSelectInput(other, dock_state.root, NoEventMask);
	after([&](Display *d) { XMapWindow(d, new_main); });
	EXPECT_TRUE(dock_seen());

	// A DestroyNotify sent by another client makes nothing again.
	XEvent fake{};
	fake.xdestroywindow = { DestroyNotify, 0, True, other, new_main, new_main };
	after([&](Display *d) { XSendEvent(d, new_main, False, StructureNotifyMask, &fake); });
	EXPECT_EQ(dock_state.main_window, new_main);

	// Requests about the replaced pair fail quietly; every other error is
	// passed on: of the same codes about a window never ours, of another
	// code about a replaced window, or about a live window of ours (a 1-bit
	// source into a deep window).
	copy_into(dock_state.frame_pixmap, old_main);
	EXPECT_EQ(passed_on.count, 0);
	XFreePixmap(dpy, old_icon);
	XSync(dpy, False);
	after([](Display *) {});
	EXPECT_EQ(passed_on.count, 1);
	EXPECT_EQ(passed_on.last_code, BadPixmap);
	Window stranger = XCreateSimpleWindow(other, dock_state.root, 0, 0, 1, 1, 0, 0, 0);
	XDestroyWindow(other, stranger);
	XSync(other, False);
	copy_into(dock_state.frame_pixmap, stranger);
	EXPECT_EQ(passed_on.count, 2);
	EXPECT_EQ(passed_on.last_code, BadDrawable);
	copy_into(dock_state.shape_mask, new_main);
	EXPECT_EQ(passed_on.count, 3);
	EXPECT_EQ(passed_on.last_code, BadMatch);
	EXPECT_TRUE(dock_seen());
}

// A client that destroys each new main window the moment it is made: every
// destroy is heard, however soon it follows the creation, and the pair made
// after the storm stands.
TEST(DockWindowDestroyed, DestroyedAsSoonAsMade)
{
	env();
	Display *other = env().x.dpy;
	passed_on = {};
	XSelectInput(other, dock_state.root, SubstructureNotifyMask);
	XSync(other, True);
	XDestroyWindow(other, dock_state.icon_window);
	int destroyed = 0;
	for (double end = now_s() + 10.0; destroyed < 50 && now_s() < end;) {
		after([](Display *) {});
		for (XEvent ev; XPending(other) && destroyed < 50;)
			if (XNextEvent(other, &ev), ev.type == CreateNotify && ev.xcreatewindow.parent == dock_state.root)
				XDestroyWindow(other, ev.xcreatewindow.window), destroyed++;
	}
	XSelectInput(other, dock_state.root, NoEventMask);
	EXPECT_EQ(destroyed, 50);
	after([](Display *) {});
	after([](Display *) {});      // the last pair's MapNotify
	EXPECT_EQ(passed_on.count, 0);
	XWindowAttributes wa;
	ASSERT_TRUE(XGetWindowAttributes(other, dock_state.main_window, &wa));
	EXPECT_EQ(wa.map_state, IsViewable);
	EXPECT_TRUE(dock_seen());
}

// A dock that destroys the pair again and again, and another client that
// destroys the helper window while a command runs: each rebuild's destroy
// of the partner fails, and so does the marker sent to the old helper.
// Those errors come back in the stream and are outlived; none is left to
// Xlib, which would hand it over long after, when the toolkit knows the
// lost windows no more.  The selection has an owner again.
TEST(DockWindowDestroyed, ErrorsOfLostWindowsComeBackInTheStream)
{
	env();
	Display *dpy = dock_state.display, *other = env().x.dpy;
	after([](Display *) {});
	passed_on = {};
	for (int i = 0; i < 12; i++) {
		Window old = dock_state.main_window;
		after([&](Display *d) { XDestroyWindow(d, old); });     // the icon window goes with it
		for (int frame = 0; frame < 10 && dock_state.main_window == old; frame++)
			after([](Display *) {});
		ASSERT_NE(dock_state.main_window, old);
	}
	Atom selection = XInternAtom(other, "_QUARVEL_S0", False);
	Window helper = XGetSelectionOwner(other, selection);
	XDestroyWindow(other, helper);
	XSync(other, False);
	dock_drop_presses();            // as a command ends
	round_trip();
	dock_pause(0);
	frame_events();
	round_trip();
	Window new_helper = XGetSelectionOwner(other, selection);
	EXPECT_NE(new_helper, None);
	EXPECT_NE(new_helper, helper);
	XSync(dpy, False);              // what Xlib would have held back comes now
	after([&](Display *d) { XDestroyWindow(d, dock_state.icon_window); });
	after([](Display *) {});
	EXPECT_EQ(passed_on.count, 0);
	EXPECT_TRUE(dock_seen());
	press_from_outside();
	short_pause();
	EXPECT_EQ(frame_events(), std::vector<int>{ ButtonPress }) << "presses are still dropped";
}

// ICCCM's owner answers every ConvertSelection: with the targets of a
// manager selection, and with a refusal for the rest.
TEST(DockSelection, EveryConversionIsAnswered)
{
	env();
	Display *o = env().x.dpy;
	Window requestor = XCreateSimpleWindow(o, dock_state.root, 0, 0, 1, 1, 0, 0, 0);
	Atom selection = XInternAtom(o, "_QUARVEL_S0", False), got = XInternAtom(o, "GOT", False);
	Atom targets = XInternAtom(o, "TARGETS", False), timestamp = XInternAtom(o, "TIMESTAMP", False);
	for (Atom target : { targets, timestamp, XA_STRING }) {
		XConvertSelection(o, selection, target, got, requestor, CurrentTime);
		XEvent ev{};
		ASSERT_TRUE(poll_until([&] {
			after([](Display *) {});
			return XCheckTypedWindowEvent(o, requestor, SelectionNotify, &ev);
		}, 5.0)) << "no answer to " << target;
		Atom type;
		int format;
		unsigned long count = 0, left;
		unsigned char *data = nullptr;
		XGetWindowProperty(o, requestor, got, 0, 8, True, AnyPropertyType, &type, &format, &count, &left, &data);
		// TARGETS lists TARGETS and TIMESTAMP; STRING is refused
		EXPECT_EQ(ev.xselection.property, target == XA_STRING ? None : got);
		EXPECT_EQ(count, target == targets ? 2u : target == timestamp ? 1u : 0u);
		EXPECT_TRUE(target != targets || (count == 2 && reinterpret_cast<long *>(data)[1] == static_cast<long>(timestamp)));
		XFree(data);
	}
	XDestroyWindow(o, requestor);
}

TEST(DockCopyPixmapArea, CopiesInsideThePixmap)
{
	env();
	// From the pattern's bottom rows, which frames never paint, onto black.
	XFillRectangle(dock_state.display, dock_state.frame_pixmap, dock_state.normal_gc, 30, 40, 10, 4);
	std::vector<unsigned long> source = pixmap_pixels(2, 60, 10, 4);
	ASSERT_NE(source, pixmap_pixels(30, 40, 10, 4));
	dock_copy_pixmap_area(2, 60, 10, 4, 30, 40);
	EXPECT_EQ(pixmap_pixels(30, 40, 10, 4), source);
	// Overlapping source and destination behave as one copy.
	std::vector<unsigned long> before = pixmap_pixels(0, 0, 20, 1);
	dock_copy_pixmap_area(0, 0, 19, 1, 1, 0);
	std::vector<unsigned long> after = pixmap_pixels(1, 0, 19, 1);
	EXPECT_EQ(after, std::vector<unsigned long>(before.begin(), before.begin() + 19));
}

TEST(DockSetMaskAt, MovesTheShapeOfBothWindows)
{
	env();
	for (Window w : { dock_state.main_window, dock_state.icon_window }) {
		XRectangle r = shape_of(w);
		EXPECT_EQ(r.x, 4);
		EXPECT_EQ(r.width, 56);
	}
	dock_set_mask_at(3, -2);
	XSync(dock_state.display, False);
	for (Window w : { dock_state.main_window, dock_state.icon_window }) {
		XRectangle r = shape_of(w);
		EXPECT_EQ(r.x, 7);
		EXPECT_EQ(r.y, 2);
		EXPECT_EQ(r.width, 56);
		EXPECT_EQ(r.height, 56);
	}
	dock_set_mask_at(0, 0);
}

TEST(DockRegions, InclusiveBoundsLowestIndexWins)
{
	env();
	for (int i = 0; i < dock_region_count; i++)
		dock_state.regions[i] = {};
	EXPECT_EQ(dock_find_region(0, 0), -1);
	dock_add_region(5, 10, 10, 20, 20);
	dock_add_region(2, 15, 15, 30, 30);      // overlaps 5
	dock_add_region(8, 0, 0, 63, 63);        // outside 0..7: ignored
	dock_add_region(-1, 0, 0, 63, 63);
	const int rows[][3] = {
		{ 10, 10, 5 },        // corner: inside
		{ 20, 20, 2 },        // both hold it: the lower index
		{ 15, 14, 5 },
		{ 30, 30, 2 },
		{ 31, 30, -1 },       // one past the edge
		{ 9, 10, -1 },
		{ 0, 0, -1 },
	};
	for (const auto &r : rows)
		EXPECT_EQ(dock_find_region(r[0], r[1]), r[2]) << r[0] << "," << r[1];
}

namespace {

// Frames, for `seconds` or until `done`.
void
run_frames(double seconds, const std::function<bool()> &done = [] { return false; })
{
	for (double end = now_s() + seconds; now_s() < end && !done();) {
		dock_event ev;
		while (dock_next_event(&ev))
			;
		dock_pause(1000000);
	}
}

// Another copy of the applet, as far as the selection tells: its helper
// window owns the selection and says whether it is docked.
Window
newer_copy(Display *d, long docked)
{
	Window w = XCreateWindow(d, DefaultRootWindow(d), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, 0, nullptr);
	XChangeProperty(d, w, XInternAtom(d, "_QUARVEL_DOCKED", False), XA_CARDINAL, 32, PropModeReplace,
	                reinterpret_cast<unsigned char *>(&docked), 1);
	XSetSelectionOwner(d, XInternAtom(d, "_QUARVEL_S0", False), w, CurrentTime);
	XSync(d, False);
	return w;
}

} // namespace

// Bad image data ends the toolkit with status 1; a screen the screen saver
// has blanked before it starts shows nothing of it; a newer copy taking
// the screen's selection ends an undocked one at once, and a docked one
// once the newer copy is docked too, taking the screen back meanwhile
// from one that ends first.
TEST(DockOpenWindowDeathTest, BadImageEndsItABlankedScreenShowsNothing)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	xvfb_server x = start_xvfb(24);
	std::string display = x.name;
	char *argv[] = { const_cast<char *>("docktest"), const_cast<char *>("-display"), display.data(), nullptr };
	const char *bad_xpm[] = { "64 64 1 1", "a c #nosuchcolour", nullptr };
	unsigned char mask[side * side / 8] = {};
	EXPECT_EXIT(dock_open_window(3, argv, display.c_str(), bad_xpm, mask, side, side), testing::ExitedWithCode(1),
	            "^Not enough free colorcells.\n$");
	XForceScreenSaver(x.dpy, ScreenSaverActive);
	XSync(x.dpy, False);
	std::fill(std::begin(mask), std::end(mask), 0xFF);
	std::string row(side, 'a');
	std::vector<const char *> xpm(side + 2, row.c_str());
	xpm[0] = "64 64 1 1";
	xpm[1] = "a c #102030";
	EXPECT_EXIT({
		dock_open_window(3, argv, display.c_str(), xpm.data(), mask, side, side);
		XSync(dock_state.display, False);          // its MapNotify has come
		dock_event ev;
		std::exit(dock_next_event(&ev) || dock_seen() ? 1 : 0);
	}, testing::ExitedWithCode(0), "");
	XForceScreenSaver(x.dpy, ScreenSaverReset);
	XSync(x.dpy, False);
	EXPECT_EXIT({
		dock_open_window(3, argv, display.c_str(), xpm.data(), mask, side, side);
		Display *o = XOpenDisplay(display.c_str());
		Window newer = XCreateSimpleWindow(o, DefaultRootWindow(o), 0, 0, 1, 1, 0, 0, 0);
		XSetSelectionOwner(o, XInternAtom(o, "_QUARVEL_S0", False), newer, CurrentTime);
		XSync(o, False);
		run_frames(10.0);
	}, testing::ExitedWithCode(0), "^quarvel: a newer quarvel has taken over this screen; this one ends\n$");
	EXPECT_EXIT({
		dock_open_window(3, argv, display.c_str(), xpm.data(), mask, side, side);
		Display *o = XOpenDisplay(display.c_str());
		Display *hand = XOpenDisplay(display.c_str());
		Atom selection = XInternAtom(o, "_QUARVEL_S0", False);
		Window own = XGetSelectionOwner(o, selection);
		Window dock = XCreateSimpleWindow(o, DefaultRootWindow(o), 100, 0, 64, 64, 0, 0, 0);
		XMapWindow(o, dock);
		XReparentWindow(o, dock_state.icon_window, dock, 0, 0);
		XMapWindow(o, dock_state.icon_window);
		XSync(o, False);
		run_frames(0.3);
		newer_copy(hand, 0);             // started by hand, framed or on the root
		run_frames(0.3);
		std::fputs("stayed\n", stderr);
		XCloseDisplay(hand);
		run_frames(5.0, [&] { return XGetSelectionOwner(o, selection) == own; });
		std::fputs(XGetSelectionOwner(o, selection) == own ? "took the screen back\n" : "", stderr);
		newer_copy(o, 1);                // docked
		run_frames(10.0);
	}, testing::ExitedWithCode(0),
	   "^stayed\ntook the screen back\nquarvel: a newer quarvel has taken over this screen; this one ends\n$");
	xvfb_stop(x);
}
