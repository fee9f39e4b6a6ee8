// SPDX-License-Identifier: GPL-2.0-or-later
// The dock toolkit in this process, on a private Xvfb: colour lookup,
// redraws from an offset, area copies, mask offsets, mouse regions, the
// discarding of queued exposures, and a pair of windows made again after a
// dock destroyed one.
#include <gtest/gtest.h>

#include "dock.h"
#include "x_support.h"

#include <X11/extensions/shape.h>

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
		dock_open_window(3, argv, xpm.data(), mask, side, side);
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

TEST(DockRedraw, DiscardsQueuedExposures)
{
	env();
	Display *dpy = dock_state.display;
	XClearArea(dpy, dock_state.main_window, 0, 0, 0, 0, True);
	XClearArea(dpy, dock_state.main_window, 10, 10, 5, 5, True);
	XSync(dpy, False);
	dock_redraw();
	XEvent ev;
	EXPECT_FALSE(XCheckTypedWindowEvent(dpy, dock_state.main_window, Expose, &ev));
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.main_window, 0, 0));
}

namespace {

// Clears the main window to white from the test's own connection, which
// sends the toolkit an Expose, and waits until it lies in the socket.
void
expose_from_outside()
{
	XClearArea(env().x.dpy, dock_state.main_window, 0, 0, 0, 0, True);
	XSync(env().x.dpy, False);
	pollfd p = { ConnectionNumber(dock_state.display), POLLIN, 0 };
	ASSERT_EQ(poll(&p, 1, 5000), 1);
}

} // namespace

// The frame loop reads nothing while nothing has come, yet an Expose
// that arrives while Xlib's queue is empty is seen and repainted.
TEST(DockFlush, EventsAreSeenWithoutReadingForNothing)
{
	env();
	Display *dpy = dock_state.display;
	dock_redraw();
	dock_flush();
	XEvent ev;
	while (XPending(dpy))
		XNextEvent(dpy, &ev);
	EXPECT_FALSE(dock_sleep(1000000));      // 1 ms of quiet

	expose_from_outside();
	ASSERT_EQ(XEventsQueued(dpy, QueuedAlready), 0);
	EXPECT_TRUE(dock_sleep(1000000));
	ASSERT_GT(XEventsQueued(dpy, QueuedAfterReading), 0);
	XNextEvent(dpy, &ev);
	EXPECT_EQ(ev.type, Expose);
	dock_redraw();
	EXPECT_TRUE(window_shows_pixmap_at(dock_state.main_window, 0, 0));

	// An Expose the flush's write took in on its way is in Xlib's queue
	// afterwards, not stranded where no poll of the socket can see it.
	while (XPending(dpy))
		XNextEvent(dpy, &ev);
	expose_from_outside();
	dock_copy_pixmap_area(0, 0, 1, 1, 0, 0);
	dock_flush();
	EXPECT_GT(XEventsQueued(dpy, QueuedAlready), 0);
	while (XPending(dpy))
		XNextEvent(dpy, &ev);
}

TEST(DockWindowDestroyed, MakesThePairAgainAndOutlivesOnlyItsErrors)
{
	env();
	Display *dpy = dock_state.display, *other = env().x.dpy;
	XEvent ev;
	while (XPending(dpy))
		XNextEvent(dpy, &ev);
	Window old_main = dock_state.main_window, old_icon = dock_state.icon_window;
	passed_on = {};
	auto copy_into = [&](Drawable from, Window w) {
		XCopyArea(dpy, from, w, dock_state.normal_gc, 0, 0, 1, 1, 0, 0);
		XSync(dpy, False);
	};

	// Another client destroys the icon window.  A copy sent before the
	// toolkit hears of it fails while Xlib reads the DestroyNotify.
	XDestroyWindow(other, old_icon);
	XSync(other, False);
	copy_into(dock_state.frame_pixmap, old_icon);
	EXPECT_EQ(passed_on.count, 0);
	ASSERT_TRUE(XCheckTypedWindowEvent(dpy, old_icon, DestroyNotify, &ev));
	dock_window_destroyed(ev.xdestroywindow);
	XSync(dpy, False);
	Window new_main = dock_state.main_window;
	EXPECT_NE(new_main, old_main);
	EXPECT_NE(dock_state.icon_window, old_icon);
	XWindowAttributes wa;
	EXPECT_FALSE(XGetWindowAttributes(other, old_main, &wa)) << "the survivor is left";
	ASSERT_TRUE(XGetWindowAttributes(other, new_main, &wa));
	EXPECT_EQ(wa.map_state, IsViewable);
	EXPECT_EQ(first_child(other, new_main), dock_state.icon_window);
	EXPECT_EQ(shape_of(dock_state.icon_window).width, 56);

	// The survivor's own DestroyNotify, now about a replaced window, and a
	// sent one about a current window make nothing again.
	ASSERT_TRUE(XCheckTypedWindowEvent(dpy, old_main, DestroyNotify, &ev));
	dock_window_destroyed(ev.xdestroywindow);
	ev.xdestroywindow.window = ev.xdestroywindow.event = new_main;
	ev.xdestroywindow.send_event = True;
	dock_window_destroyed(ev.xdestroywindow);
	EXPECT_EQ(dock_state.main_window, new_main);

	// Requests about the replaced pair fail quietly; every other error is
	// passed on: of the same codes about a window never ours, of another
	// code about a replaced window, or about a live window of ours (a 1-bit
	// source into a deep window).
	copy_into(dock_state.frame_pixmap, old_main);
	EXPECT_EQ(passed_on.count, 0);
	XFreePixmap(dpy, old_icon);
	XSync(dpy, False);
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
	while (XPending(dpy))
		XNextEvent(dpy, &ev);
}

TEST(DockCopyPixmapArea, CopiesInsideThePixmap)
{
	env();
	std::vector<unsigned long> source = pixmap_pixels(2, 3, 10, 6);
	ASSERT_NE(source, pixmap_pixels(30, 40, 10, 6));
	dock_copy_pixmap_area(2, 3, 10, 6, 30, 40);
	EXPECT_EQ(pixmap_pixels(30, 40, 10, 6), source);
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

TEST(DockOpenWindowDeathTest, BadImageDataEndsWithStatus1)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	xvfb_server x = start_xvfb(24);
	std::string display = x.name;
	char *argv[] = { const_cast<char *>("docktest"), const_cast<char *>("-display"), display.data(), nullptr };
	const char *bad_xpm[] = { "64 64 1 1", "a c #nosuchcolour", nullptr };
	unsigned char mask[side * side / 8] = {};
	EXPECT_EXIT(dock_open_window(3, argv, bad_xpm, mask, side, side), testing::ExitedWithCode(1),
	            "^Not enough free colorcells.\n$");
	xvfb_stop(x);
}
