// SPDX-License-Identifier: GPL-2.0-or-later
// Click commands: every second press of mouse button 1, 2 or 3 runs that
// button's command.  The arms are never reset by time or by other buttons,
// so 1, 2, 1 runs command1 and leaves button 2 armed.
#include "applet.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

std::array<bool, 3> click_arms;

namespace {

volatile sig_atomic_t applet_signalled;   // SIGINT or SIGQUIT while a command ran, else 0

void
record_signal(int sig)
{
	applet_signalled = sig;
}

// Runs `command` as system() does, with /bin/sh -c and SIGCHLD blocked
// while it waits, and gives its wait status (-1 when the shell could not
// be started).  But where system() ignores SIGINT and SIGQUIT meanwhile,
// this only notes them: a Ctrl-C in the terminal reaches the applet and
// the command alike and ends both, a signal meant for the command alone
// ends only the command, and one meant for the applet alone ends it once
// the command has.  A signal the applet ignores (started with & from a
// script) stays ignored, in the command too.
int
run_shell(const char *command)
{
	sigset_t chld, mask;
	sigemptyset(&chld);
	sigaddset(&chld, SIGCHLD);
	sigprocmask(SIG_BLOCK, &chld, &mask);
	struct sigaction note = {}, before[2];
	note.sa_handler = record_signal;
	sigemptyset(&note.sa_mask);
	const int watched[2] = { SIGINT, SIGQUIT };
	sigset_t reset;                       // the command's: default, unless ignored
	sigemptyset(&reset);
	applet_signalled = 0;
	for (int i = 0; i < 2; i++) {
		sigaction(watched[i], nullptr, &before[i]);
		if (before[i].sa_handler != SIG_IGN) {
			sigaction(watched[i], &note, nullptr);
			sigaddset(&reset, watched[i]);
		}
	}
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	posix_spawnattr_setsigdefault(&attr, &reset);
	posix_spawnattr_setsigmask(&attr, &mask);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
	char *argv[] = { const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>("--"),
	                 const_cast<char *>(command), nullptr };
	pid_t pid;
	int status = -1;
	if (posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ) == 0)
		while (waitpid(pid, &status, 0) < 0)
			if (errno != EINTR) {
				status = -1;
				break;
			}
	posix_spawnattr_destroy(&attr);
	for (int i = 0; i < 2; i++)
		sigaction(watched[i], &before[i], nullptr);
	sigprocmask(SIG_SETMASK, &mask, nullptr);
	// What the applet would have done had it been idle: a default
	// disposition ends it by that signal.
	if (int sig = applet_signalled)
		std::raise(sig);
	return status;
}

// The screen lockers a default command falls back on when its own is not
// installed (Debian 12 has no xlock), in order of preference; the second
// only locks while its daemon runs.
constexpr const char *lockers[] = { "xsecurelock", "xscreensaver-command -lock", "i3lock", "slock", "xtrlock",
                                    "xdg-screensaver lock" };

// Whether `program` is an executable file in a directory of `path` (an
// empty entry is the current directory, as the shell has it).
bool
on_path(const std::string &program, const char *path)
{
	for (const char *dir = path ? path : "/usr/local/bin:/usr/bin:/bin"; dir;) {
		const char *end = std::strchr(dir, ':');
		std::string d = end ? std::string(dir, end) : std::string(dir);
		if (access(((d.empty() ? "." : d) + "/" + program).c_str(), X_OK) == 0)
			return true;
		dir = end ? end + 1 : nullptr;
	}
	return false;
}

bool
runs_quietly(const char *command)
{
	std::string quiet = std::string(command) + " >/dev/null 2>&1";
	int status = run_shell(quiet.c_str());
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

const char *
installed_locker(const char *path, bool (*daemon_runs)())
{
	for (const char *locker : lockers) {
		std::string program(locker, std::strcspn(locker, " "));
		if (on_path(program, path) && (program != "xscreensaver-command" || daemon_runs()))
			return locker;
	}
	return nullptr;
}

const char *
click_command(unsigned button, const settings_record &s)
{
	if (button < 1 || button > 3)       // wheel and extra buttons
		return nullptr;
	bool &armed = click_arms[button - 1];
	armed = !armed;
	if (armed || command_guard.disabled)
		return nullptr;
	if (command_guard.cut[button - 1]) {
		std::fprintf(stderr, "quarvel: command%u is longer than 256 characters; not running it\n", button);
		return nullptr;
	}
	const char *commands[3] = { s.command1, s.command2, s.command3 };
	return commands[button - 1];
}

void
run_click_command(unsigned button, const char *command)
{
	int status = run_shell(command);
	if (status == -1)
		return;
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 127)
		return;
	// The shell has already named the word it could not find; this line
	// says which setting to change.  A default the user never changed
	// still locks the screen, with the first locker there is.
	const char *path = *settings_path() ? settings_path() : "your settings file";
	const settings_record &d = default_settings;
	bool a_default = false;
	for (const char *text : { d.command1, d.command2, d.command3 })
		a_default = a_default || std::strcmp(command, text) == 0;
	const char *locker = a_default ? installed_locker(std::getenv("PATH"), [] {
		return runs_quietly("xscreensaver-command -version");
	}) : nullptr;
	if (!locker) {
		std::fprintf(stderr, "quarvel: command%u \"%s\" was not found; set command%u in %s\n", button,
		             command, button, path);
		if (a_default)
			std::fprintf(stderr, "quarvel: no screen locker is installed; install one, for example the "
			                     "Debian package xsecurelock, xscreensaver or i3lock\n");
		return;
	}
	std::fprintf(stderr, "quarvel: command%u \"%s\" was not found; running %s instead (set command%u in %s "
	                     "to choose)\n", button, command, locker, button, path);
	run_shell(locker);
}
