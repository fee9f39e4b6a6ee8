// SPDX-License-Identifier: GPL-2.0-or-later
// Click commands: every second press of mouse button 1, 2 or 3 runs that
// button's command.  The arms are never reset by time or by other buttons,
// so 1, 2, 1 runs command1 and leaves button 2 armed.
#include "applet.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

std::array<bool, 3> click_arms;

namespace {

// system() ignores SIGINT and SIGQUIT while it waits, so a Ctrl-C meant
// for the applet ends only the command.  Ending by the same signal now is
// what the applet would have done idle; one that ignores the signal (as
// a job started with & from a script does) would not have ended, and
// goes on.
void
end_as_if_idle(int sig)
{
	struct sigaction now;
	if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
		return;
	std::signal(sig, SIG_DFL);
	std::raise(sig);
}

} // namespace

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
	int status = std::system(command);
	if (status == -1)
		return;
	// The shell has already named the word it could not find; this line
	// says which setting to change.
	if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
		const char *path = settings_path();
		std::fprintf(stderr, "quarvel: command%u \"%s\" was not found; set command%u in %s\n", button,
		             command, button, *path ? path : "your settings file");
	}
	if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
		end_as_if_idle(WTERMSIG(status));
}
