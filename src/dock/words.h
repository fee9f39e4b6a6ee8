// SPDX-License-Identifier: GPL-2.0-or-later
// Dock services that need no X: a clock, shell-like word splitting,
// starting a command line without a shell, and reading "label: value"
// pairs.  No
// exception leaves them: what cannot be allocated reads as the end of the
// text, a failed start or nothing read.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// CLOCK_MONOTONIC in nanoseconds.
long long dock_now_ns() noexcept;

// Shell-like word splitting: blanks separate words, double and single
// quotes group them, a backslash keeps the next character.
struct dock_word {
	std::optional<std::string> word;   // none for an empty word
	const char *rest;                  // after the word; null at the end of text
};
dock_word dock_next_word(const char *text) noexcept;
// The words in order; an empty word ("" or '') ends the list.
std::vector<std::string> dock_split_words(const char *text) noexcept;
// Starts the words as a program without waiting for it: the child's pid,
// 0 when there are no words, -1 when fork (or memory for the arguments)
// fails.  A child that cannot exec
// exits with status 10.
pid_t dock_spawn_command(const char *text) noexcept;

// "label: value  # comment" lines: each value found replaces the one the
// pair's variable held.  The table ends with a null label.
struct rc_pair {
	const char *label;
	std::optional<std::string> *value;
};
void dock_parse_rc_pairs(const char *path, const rc_pair *pairs) noexcept;
