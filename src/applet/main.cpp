// SPDX-License-Identifier: GPL-2.0-or-later
// quarvel: a moving, shaded tunnel in a 64x64 dock window.
//
// main() loads the settings, opens the dock window, turns the palette into X
// pixels for the screen's depth and builds the renderer's tables; then the
// frame loop runs forever: drain events, render one frame of palette indices,
// upload it into the frame pixmap's well, copy the pixmap to both windows,
// sleep 10 ms.  While nobody can see the applet, a frame only takes its
// events and the sleep lasts until the next one comes.  The renderer
// (applet.h) knows nothing of X; frame.cpp holds the X side of a frame.
#include "frame.h"
#include "dock.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <sys/stat.h>

namespace {

constexpr long frame_sleep_ns = 10000000;     // 10 ms between frames

constexpr const char *usage_text =
	"usage: quarvel [-display NAME] [-c FILE] [--scale N]\n"
	"Shows a moving tunnel in the dock or slit of a window manager; pressing\n"
	"mouse button 1, 2 or 3 twice on it runs that button's command.\n"
	"  -display NAME   the X display to use (default: $DISPLAY); also --display\n"
	"  -c, --config FILE\n"
	"                  the settings file (default: ~/.fesk/quarvelrc); copies with\n"
	"                  different files are different applets, each its own look\n"
	"  --scale N       show the applet N times larger, N from 1 to 4 (default 1)\n"
	"  -h, --help      print this help and exit\n"
	"  -v, --version   print the version and exit\n"
	"Settings: ~/.fesk/quarvelrc (the commands command1 to command3 and the\n"
	"look), written with the defaults on the first start; after an edit,\n"
	"pkill -HUP -x quarvel reads it again.  See man quarvel.\n";
constexpr const char *version_text = "quarvel " QUARVEL_VERSION "\n";

// What the command line asks: the display, the settings file, and whether
// to print the usage or the version instead of starting.  "-display NAME"
// (or "--display NAME", "--display=NAME") names the display, the last one
// winning; an argument right after it is the name, whatever it looks
// like, and one at the end names none.  "-c FILE" (or "--config") names
// the settings file the same way.  Of the help and version options the
// first counts.  Any other option gets a line and is left alone: start-up
// files often carry options of other dock applets.
struct arguments {
	const char *display;
	const char *settings;            // null: the default file
	const char *information;         // to print instead of starting, or null
	const char *missing;             // an option whose value is missing
	const char *scale;               // --scale's value, or null
};

// The value of option `arg` when it is one of `names`, given as the next
// argument or after "=" (long forms only); null when it is none of them.
const char *
option_value(std::initializer_list<const char *> names, int argc, char *argv[], int &i, bool &matched)
{
	const char *arg = argv[i];
	for (const char *name : names) {
		std::size_t n = std::strlen(name);
		if (std::strcmp(arg, name) == 0) {
			matched = true;
			return i + 1 < argc ? argv[++i] : nullptr;
		}
		if (name[1] == '-' && std::strncmp(arg, name, n) == 0 && arg[n] == '=') {
			matched = true;
			return arg + n + 1;
		}
	}
	matched = false;
	return nullptr;
}

arguments
read_arguments(int argc, char *argv[], bool warn)
{
	arguments a = { nullptr, nullptr, nullptr, nullptr, nullptr };
	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		bool matched;
		const char *value = option_value({ "-display", "--display" }, argc, argv, i, matched);
		if (matched) {
			a.display = value;
			continue;
		}
		value = option_value({ "-c", "--config" }, argc, argv, i, matched);
		if (matched) {
			a.settings = value;
			a.missing = value ? a.missing : arg;
			continue;
		}
		value = option_value({ "-scale", "--scale" }, argc, argv, i, matched);
		if (matched) {
			a.scale = value ? value : "";
			continue;
		}
		bool known = false;
		for (const char *help : { "-h", "-help", "--help" })
			if (std::strcmp(arg, help) == 0) {
				known = true;
				a.information = a.information ? a.information : usage_text;
			}
		for (const char *version : { "-v", "-version", "--version" })
			if (std::strcmp(arg, version) == 0) {
				known = true;
				a.information = a.information ? a.information : version_text;
			}
		if (!known && arg[0] == '-' && warn)
			std::fprintf(stderr, "quarvel: unknown option %s (see quarvel --help)\n", arg);
	}
	return a;
}

// Copies with different settings files are different applets: another
// file than the default one (as its device and inode tell, through
// whatever path) gives an instance of its own.
bool
file_instance(const char *file, char *id, std::size_t size)
{
	struct stat st, default_st;
	const char *home = std::getenv("HOME");
	std::string default_path = home && *home ? std::string(home) + "/" + settings_dir + "/" + settings_name : "";
	if (!file)
		return false;
	if (!*settings_path() || stat(settings_path(), &st) != 0) {
		// No file to tell by: its name, FNV-1a hashed.
		std::uint64_t h = 14695981039346656037u;
		for (const char *p = file; *p; p++)
			h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211u;
		std::snprintf(id, size, "p%jx", static_cast<std::uintmax_t>(h));
		return true;
	}
	if (!default_path.empty() && stat(default_path.c_str(), &default_st) == 0 && st.st_dev == default_st.st_dev &&
	    st.st_ino == default_st.st_ino)
		return false;
	std::snprintf(id, size, "%jx_%jx", static_cast<std::uintmax_t>(st.st_dev),
	              static_cast<std::uintmax_t>(st.st_ino));
	return true;
}

// A write into a dead X connection or a closed output must fail with EPIPE
// (Xlib then ends us with status 1), and one past a file-size limit with
// EFBIG, rather than kill us.  A handler rather than SIG_IGN: exec resets
// it, so the click commands start with the default.
void
ignore_signal(int)
{
}

// A hang-up (pkill -HUP, or the terminal it ran in closed) reads the
// settings again, at the next frame.
volatile sig_atomic_t hung_up;

void
note_hangup(int)
{
	hung_up = 1;
}

} // namespace

int
main(int argc, char *argv[])
{
	struct sigaction quiet = {};
	quiet.sa_handler = ignore_signal;
	sigaction(SIGPIPE, &quiet, nullptr);
	sigaction(SIGXFSZ, &quiet, nullptr);
	struct sigaction hangup = {};
	hangup.sa_handler = note_hangup;
	sigaction(SIGHUP, &hangup, nullptr);
	// The applet usually ends by a signal: every diagnostic line must have
	// left the buffer by then, even into a pipe or a file.
	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	// Asking for help or the version starts no applet and writes nothing.
	if (const char *text = read_arguments(argc, argv, false).information) {
		std::fputs(text, stdout);
		return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
	}
	arguments a = read_arguments(argc, argv, true);
	if (a.missing)
		dock_fatal(1, "quarvel: %s needs a file name (see quarvel --help)\n", a.missing);
	if (a.scale) {
		char *end;
		long n = std::strtol(a.scale, &end, 10);
		if (*end || end == a.scale || n < 1 || n > scale_max)
			dock_fatal(1, "quarvel: --scale takes a whole number from 1 to %d, not \"%s\"\n", scale_max, a.scale);
		frame_scale = static_cast<int>(n);
	}
	// Before the display: the settings file is made even without one.
	settings_load(a.settings);
	char instance[40];
	if (file_instance(a.settings, instance, sizeof instance))
		dock_set_instance(instance);
	// The art at the scale asked for; main never returns.
	std::vector<std::string> xpm_lines;
	std::vector<unsigned char> mask;
	std::vector<const char *> xpm;
	scale_art(frame_scale, xpm_lines, mask);
	for (const std::string &line : xpm_lines)
		xpm.push_back(line.c_str());
	dock_open_window(argc, argv, a.display, xpm.data(), mask.data(), frame_side * frame_scale,
	                 frame_side * frame_scale);
	// The commands run on the applet's display, whatever DISPLAY said.
	setenv("DISPLAY", DisplayString(dock_state.display), 1);
	applet_setup();
	dock_wake_on(SIGHUP);
	for (;;) {
		if (hung_up) {
			hung_up = 0;
			if (settings_reload())
				applet_reload();
		}
		applet_frame();
		dock_pause(frame_sleep_ns);
	}
}
