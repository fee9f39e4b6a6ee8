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
#include <sys/stat.h>
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
// while it waits: false (with errno) when the shell could not be started,
// else true and its wait status in `status` (-1 when it could not be
// waited for).  But where system() ignores SIGINT and SIGQUIT meanwhile,
// this only notes them: a Ctrl-C in the terminal reaches the applet and
// the command alike and ends both, a signal meant for the command alone
// ends only the command, and one meant for the applet alone ends it once
// the command has.  A signal the applet ignores (started with & from a
// script) stays ignored, in the command too.
bool
run_shell(const char *command, int &status)
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
	// The command starts with no signal blocked: the applet blocks SIGHUP
	// outside its waits, and the command has waits of its own.
	sigset_t none;
	sigemptyset(&none);
	posix_spawnattr_setsigmask(&attr, &none);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
	char *argv[] = { const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>("--"),
	                 const_cast<char *>(command), nullptr };
	pid_t pid;
	status = -1;
	int failed = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
	if (!failed)
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
	errno = failed;
	return !failed;
}

// The screen lockers a default command falls back on when its own is not
// installed (Debian 12 has no xlock), in order of preference; the second
// only locks while its daemon runs.
constexpr const char *lockers[] = { "xsecurelock", "xscreensaver-command -lock", "i3lock", "slock", "xtrlock",
                                    "xdg-screensaver lock" };

// Words the shell runs without looking on PATH: its reserved words and
// builtins (POSIX's, dash's and bash's).
constexpr const char *shell_words[] = {
	".", "case", "do", "done", "elif", "else", "esac", "fi", "for", "function", "if", "in", "select", "then",
	"time", "until", "while", "coproc", "alias", "bg", "break", "builtin", "caller", "cd", "chdir",
	"command", "continue", "declare", "dirs", "disown", "echo", "enable", "eval", "exec", "exit",
	"export", "false", "fc", "fg", "getopts", "hash", "help", "history", "jobs", "kill", "let", "local",
	"logout", "mapfile", "popd", "printf", "pushd", "pwd", "read", "readarray", "readonly", "return",
	"set", "shift", "shopt", "source", "suspend", "test", "times", "trap", "true", "type", "typeset",
	"ulimit", "umask", "unalias", "unset", "wait",
};

// The program the shell will look for on PATH to run `command`: its first
// word when that is a plain name (letters, digits, "._+-") ended by a
// blank, ";", "&", "|" or the end, so that no quote, expansion,
// assignment, redirection or function definition is involved, and it is
// none of shell_words.  Empty when there is none to look for.
std::string
program_to_look_up(const char *command)
{
	constexpr const char *plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._+-";
	const char *word = command + std::strspn(command, " \t\n");
	std::size_t n = std::strspn(word, plain);
	if (n == 0 || (word[n] && !std::strchr(" \t\n;&|", word[n])))
		return "";
	std::string program(word, n);
	for (const char *own : shell_words)
		if (program == own)
			return "";
	return program;
}

// Whether `program` is an executable file in a directory of `path` (an
// empty entry is the current directory, as the shell has it; without PATH
// the shell's own default).
bool
on_path(const std::string &program, const char *path)
{
	for (const char *dir = path ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"; dir;) {
		const char *end = std::strchr(dir, ':');
		std::string d = end ? std::string(dir, end) : std::string(dir);
		std::string file = (d.empty() ? "." : d) + "/" + program;
		struct stat st;
		if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0)
			return true;
		dir = end ? end + 1 : nullptr;
	}
	return false;
}

bool
runs_quietly(const char *command)
{
	std::string quiet = std::string(command) + " >/dev/null 2>&1";
	int status;
	return run_shell(quiet.c_str(), status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool
xscreensaver_daemon_runs()
{
	return runs_quietly("xscreensaver-command -version");
}

// Runs `command` for button `button`; false, with a line, when the shell
// could not be started.
bool
run_for(unsigned button, const char *command)
{
	int status;
	if (run_shell(command, status))
		return true;
	std::fprintf(stderr, "quarvel: command%u not run: /bin/sh could not be started (%s)\n", button,
	             std::strerror(errno));
	return false;
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
click_command(unsigned button, const settings_record &s, bool *refused)
{
	if (refused)
		*refused = false;
	if (button < 1 || button > 3)       // wheel and extra buttons
		return nullptr;
	bool &armed = click_arms[button - 1];
	armed = !armed;
	if (armed)
		return nullptr;
	const char *commands[3] = { s.command1, s.command2, s.command3 };
	const command_guard_record &g = command_guard;
	if (g.disabled)
		std::fprintf(stderr, "quarvel: command%u not run: click commands are disabled%s%s\n", button,
		             g.reason[0] ? ", as " : "", g.reason.data());
	else if (g.cut[button - 1])
		std::fprintf(stderr, "quarvel: command%u is longer than 256 characters; not running it\n", button);
	else
		return commands[button - 1];
	if (refused)
		*refused = true;
	return nullptr;
}

// The program is looked up before the shell runs the text, so a missing
// one gets a line naming the setting, even before "&".  The text runs
// unchanged either way (what follows a missing program may still run),
// but for a default command whose program is missing: the first locker
// installed runs instead.  A program that is installed but exits with 127
// is no missing one.
bool
run_click_command(unsigned button, const char *command)
{
	std::string program = program_to_look_up(command);
	const char *path = std::getenv("PATH");
	if (program.empty() || on_path(program, path))
		return run_for(button, command);
	const char *file = *settings_path() ? settings_path() : "your settings file";
	const settings_record &d = default_settings;
	bool a_default = false;
	for (const char *text : { d.command1, d.command2, d.command3 })
		a_default = a_default || std::strcmp(command, text) == 0;
	const char *locker = a_default ? installed_locker(path, xscreensaver_daemon_runs) : nullptr;
	if (locker) {
		std::fprintf(stderr, "quarvel: command%u \"%s\" was not found; running %s instead (set command%u in "
		                     "%s to choose)\n", button, command, locker, button, file);
		return run_for(button, locker);
	}
	std::fprintf(stderr, "quarvel: command%u \"%s\" was not found; set command%u in %s\n", button, command,
	             button, file);
	if (a_default && on_path("xscreensaver-command", path))
		std::fprintf(stderr, "quarvel: xscreensaver is installed but its daemon is not running; start it "
		                     "with your session (xscreensaver --no-splash &)\n");
	else if (a_default)
		std::fprintf(stderr, "quarvel: no screen locker is installed; install one, for example the "
		                     "Debian package xsecurelock, xscreensaver or i3lock\n");
	run_for(button, command);
	return false;
}
