// SPDX-License-Identifier: GPL-2.0-or-later
// Click commands: every second press of mouse button 1, 2 or 3 runs that
// button's command.  The arms are never reset by time or by other buttons,
// so 1, 2, 1 runs command1 and leaves button 2 armed.
#include "applet.h"

#include <cstdio>

std::array<bool, 3> click_arms;

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
