// SPDX-License-Identifier: GPL-2.0-or-later
// LD_PRELOAD shim for the tests: once the applet's set-up has made its
// closing round trip, its windows mapped, the client's idea of the default
// screen's depth drops to 4 bits.  Xvfb refuses screens that shallow, so
// this is how the "below 8 bits" path is reached for real.
#include <X11/Xlib.h>
#include <dlfcn.h>

extern "C" int
XSync(Display *dpy, Bool discard)
{
	using sync_fn = int (*)(Display *, Bool);
	auto real = reinterpret_cast<sync_fn>(dlsym(RTLD_NEXT, "XSync"));
	int result = real(dpy, discard);
	DefaultScreenOfDisplay(dpy)->root_depth = 4;
	return result;
}
