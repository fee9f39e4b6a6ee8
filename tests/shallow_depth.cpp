// SPDX-License-Identifier: GPL-2.0-or-later
// LD_PRELOAD shim for the tests: once the applet maps its window, the
// client's idea of the default screen's depth drops to 4 bits.  Xvfb
// refuses screens that shallow, so this is how the "below 8 bits" path is
// reached for real.
#include <X11/Xlib.h>
#include <dlfcn.h>

extern "C" int
XMapWindow(Display *dpy, Window w)
{
	using map_fn = int (*)(Display *, Window);
	auto real = reinterpret_cast<map_fn>(dlsym(RTLD_NEXT, "XMapWindow"));
	int result = real(dpy, w);
	DefaultScreenOfDisplay(dpy)->root_depth = 4;
	return result;
}
