// SPDX-License-Identifier: GPL-2.0-or-later
// Click arming: which press of which button runs a command, and what the
// applet does when the command ends.
#include "applet.h"
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

TEST(ClickCommand, EverySecondPressOfAButtonRuns)
{
	settings_record s = default_settings;
	std::snprintf(s.command1, sizeof s.command1, "one");
	std::snprintf(s.command2, sizeof s.command2, "two");
	std::snprintf(s.command3, sizeof s.command3, "three");
	const struct {
		const char *what;
		std::vector<unsigned> presses;
		std::vector<std::string> runs;
	} rows[] = {
		{ "one press arms only", { 3 }, {} },
		{ "second press runs", { 3, 3 }, { "three" } },
		{ "other buttons do not disarm", { 1, 2, 1 }, { "one" } },
		{ "then button 2 is still armed", { 1, 2, 1, 2 }, { "one", "two" } },
		{ "three presses run once", { 1, 1, 1 }, { "one" } },
		{ "and the third armed again", { 1, 1, 1, 1 }, { "one", "one" } },
		{ "wheel and extra buttons", { 4, 5, 4, 5, 0, 6, 8, 9 }, {} },
		{ "wheel between presses", { 2, 4, 5, 2 }, { "two" } },
	};
	command_guard = {};                 // a settings test may have left it set
	for (const auto &r : rows) {
		click_arms = {};
		std::vector<std::string> ran;
		for (unsigned b : r.presses)
			if (const char *cmd = click_command(b, s))
				ran.emplace_back(cmd);
		EXPECT_EQ(ran, r.runs) << r.what;
	}
}

TEST(ClickCommand, GuardedCommandsArmButNeverRun)
{
	settings_record s = default_settings;
	click_arms = {};
	command_guard = { true, {} };             // the file was not the user's alone
	std::snprintf(command_guard.reason.data(), command_guard.reason.size(), "/h/rc is writable by others");
	testing::internal::CaptureStderr();
	bool refused;
	EXPECT_EQ(click_command(1, s), nullptr);
	EXPECT_EQ(click_command(1, s, &refused), nullptr);
	EXPECT_TRUE(refused);
	EXPECT_TRUE(click_arms == (std::array<bool, 3>{}));   // and disarmed again

	command_guard = { false, { false, true, false } };    // command2 was cut
	EXPECT_EQ(click_command(2, s), nullptr);
	EXPECT_EQ(click_command(2, s), nullptr);
	EXPECT_STREQ(click_command(3, s), nullptr);
	EXPECT_STREQ(click_command(3, s), "xlock -mode blank");
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          "quarvel: command1 not run: click commands are disabled, as /h/rc is writable by others\n"
	          "quarvel: command2 is longer than 256 characters; not running it\n");
	command_guard = {};
}

// SIGINT or SIGQUIT ends the applet after a command only when the applet
// itself received it meanwhile, as a terminal's Ctrl-C reaches the whole
// group; unless it ignores that signal.
TEST(ClickCommandDeathTest, InterruptedCommandEndsTheApplet)
{
	using exit_check = std::function<bool(int)>;
	const struct {
		const char *what;
		const char *command;
		bool ignoring;                  // the applet was started with SIGINT ignored
		exit_check ends;
	} rows[] = {
		{ "SIGINT to the group", "kill -INT 0; sleep 5", false, testing::KilledBySignal(SIGINT) },
		{ "SIGQUIT to the group", "kill -QUIT 0; sleep 5", false, testing::KilledBySignal(SIGQUIT) },
		// a signal for the command alone ends only the command
		{ "SIGINT to the command", "kill -INT $$", false, testing::ExitedWithCode(0) },
		// one for the applet alone ends it once the command has ended
		{ "SIGINT to the applet", "kill -INT $PPID; sleep 0.2; echo ended >&2", false,
		  testing::KilledBySignal(SIGINT) },
		// other signals and the shell's 128 + n statuses are the command's own
		{ "SIGTERM", "kill -TERM $$", false, testing::ExitedWithCode(0) },
		{ "status 130", "exit 130", false, testing::ExitedWithCode(0) },
		// an applet started by "quarvel &" from a script would not have ended
		{ "ignored SIGINT to the group", "kill -INT 0", true, testing::ExitedWithCode(0) },
		{ "ignored SIGINT", "exec env --default-signal=INT sh -c 'kill -INT $$'", true,
		  testing::ExitedWithCode(0) },
		{ "SIGINT ignored in the command too", "grep -Eq '^SigIgn:.*[2367abef]$' /proc/self/status && "
		  "echo ended >&2", true, testing::ExitedWithCode(0) },
	};
	for (const auto &r : rows)
		EXPECT_EXIT({
			rlimit no_core = {};
			setrlimit(RLIMIT_CORE, &no_core);
			setpgid(0, 0);              // a group of its own, as a terminal's job
			if (r.ignoring)
				std::signal(SIGINT, SIG_IGN);
			run_click_command(1, r.command);
			std::exit(0);
		}, r.ends, std::strstr(r.command, "ended") ? "^ended\n$" : "") << r.what;
}

// A default command that is not installed falls back on the first locker
// that is, by PATH; xscreensaver's only while its daemon runs.
TEST(ClickCommand, FallbackLockerIsTheFirstInstalled)
{
	std::string dir = make_temp_dir(), path = "/nonexistent::" + dir;
	auto no_daemon = [] { return false; };
	auto daemon = [] { return true; };
	EXPECT_EQ(installed_locker(path.c_str(), daemon), nullptr);
	for (const char *program : { "xdg-screensaver", "xtrlock", "xscreensaver-command" })
		std::ofstream(dir + "/" + program), chmod((dir + "/" + program).c_str(), 0755);
	EXPECT_STREQ(installed_locker(path.c_str(), no_daemon), "xtrlock");
	EXPECT_STREQ(installed_locker(path.c_str(), daemon), "xscreensaver-command -lock");
	remove_tree(dir);
}

// The program is looked up on PATH before the shell runs the text, and only
// a default command's missing program starts a locker.  Each program here
// logs its name and arguments, then exits with 127.
TEST(ClickCommand, ProgramsAreLookedUpBeforeRunning)
{
	std::string old_path = std::getenv("PATH"), file = *settings_path() ? settings_path() : "your settings file";
	const std::string set = "set command2 in " + file + "\n";
	const struct {
		std::vector<const char *> installed;
		const char *command;
		bool ran;
		std::string said, log;        // said: after the line's "was not found; "
	} rows[] = {
		{ { "xlock", "xsecurelock" }, "xlock", true, "", "xlock\n" },      // 127 is not "not found"
		{ { "i3lock", "xtrlock" }, "xlock -mode blank", true,
		  "running i3lock instead (set command2 in " + file + " to choose)\n", "i3lock\n" },
		{ {}, "xlock", false, set + "quarvel: no screen locker is installed; install one, for example the Debian "
		  "package xsecurelock, xscreensaver or i3lock\n", "" },
		{ { "xscreensaver-command" }, "xlock", false, set + "quarvel: xscreensaver is installed but its daemon is "
		  "not running; start it with your session (xscreensaver --no-splash &)\n", "xscreensaver-command -version\n" },
		{ {}, "xtrem &", false, set, "" },
		{ {}, " X=1 echo ran >>$LOG", true, "", "ran\n" },          // the shell's own words
	};
	for (const auto &r : rows) {
		std::string dir = make_temp_dir();
		for (std::string p : r.installed)
			std::ofstream(dir + "/" + p) << "#!/bin/sh\necho " + p + " \"$@\" >>$LOG; exit 127\n", chmod((dir + "/" + p).c_str(), 0755);
		setenv("PATH", dir.c_str(), 1);
		setenv("LOG", (dir + "/log").c_str(), 1);
		testing::internal::CaptureStderr();
		EXPECT_EQ(run_click_command(2, r.command), r.ran) << r.command;
		std::string err = testing::internal::GetCapturedStderr();
		std::string line = r.said.empty() ? "" : "quarvel: command2 \"" + std::string(r.command) +
		                                         "\" was not found; " + r.said;
		EXPECT_EQ(r.said.empty() ? err : err.substr(0, line.size()), line);   // then the shell's own, if it ran
		EXPECT_EQ(read_file(dir + "/log"), r.log) << r.command;
		remove_tree(dir);
	}
	setenv("PATH", old_path.c_str(), 1);
	unsetenv("LOG");
}
