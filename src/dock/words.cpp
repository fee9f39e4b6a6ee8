// SPDX-License-Identifier: GPL-2.0-or-later
// Dock services that need no X: shell-like word splitting, starting a
// command without a shell, and reading "label: value" pairs from a file.
#include "words.h"

#include <ctime>

#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

// Character classes and states of the word splitter.
enum : int { other, blank, backslash, double_quote, end_of_text, single_quote };
enum : int {
	start, in_double, double_escape, in_word, word_escape, word_done, in_single, single_escape,
	no_word
};

struct step {
	int next;
	bool keep;      // the character joins the word
};

// Rows by state (5 and 8 are final and never looked up), columns by class.
constexpr step transitions[9][6] = {
	/* start */         { { in_word, true }, { start, false }, { word_escape, false },
	                      { in_double, false }, { no_word, false }, { in_single, false } },
	/* in_double */     { { in_double, true }, { in_double, true }, { double_escape, false },
	                      { in_word, false }, { word_done, false }, { in_double, true } },
	/* double_escape */ { { in_double, true }, { in_double, true }, { in_double, true },
	                      { in_double, true }, { word_done, false }, { in_double, true } },
	/* in_word */       { { in_word, true }, { word_done, false }, { word_escape, false },
	                      { in_double, false }, { word_done, false }, { in_single, false } },
	/* word_escape */   { { in_word, true }, { in_word, true }, { in_word, true },
	                      { in_word, true }, { word_done, false }, { in_word, true } },
	/* word_done */     {},
	/* in_single */     { { in_single, true }, { in_single, true }, { single_escape, false },
	                      { in_single, true }, { word_done, false }, { in_word, false } },
	/* single_escape */ { { in_single, true }, { in_single, true }, { in_single, true },
	                      { in_single, true }, { word_done, false }, { in_single, true } },
	/* no_word */       {},
};

int
classify(char c)
{
	switch (c) {
	case ' ':
	case '\t':
		return blank;
	case '\\':
		return backslash;
	case '"':
		return double_quote;
	case '\0':
		return end_of_text;
	case '\'':
		return single_quote;
	default:
		return other;
	}
}

constexpr int rc_line_size = 128;     // lines longer than 127 arrive in pieces

} // namespace

dock_word
dock_next_word(const char *text) noexcept
try {
	std::string word;
	int state = start;
	const char *p = text;
	char c;
	do {
		c = *p++;
		step s = transitions[state][classify(c)];
		if (s.keep)
			word += c;
		state = s.next;
	} while (state != word_done && state != no_word);
	dock_word result{ std::nullopt, c == '\0' ? nullptr : p };
	if (!word.empty())
		result.word = std::move(word);
	return result;
} catch (const std::bad_alloc &) {
	return { std::nullopt, nullptr };      // as the end of the text
}

std::vector<std::string>
dock_split_words(const char *text) noexcept
{
	std::vector<std::string> words;
	const char *p = text;
	while (p) {
		dock_word w = dock_next_word(p);
		if (!w.word)
			break;
		try {
			words.push_back(std::move(*w.word));
		} catch (const std::bad_alloc &) {
			break;                          // the words so far
		}
		p = w.rest;
	}
	return words;
}

pid_t
dock_spawn_command(const char *text) noexcept
{
	std::vector<std::string> words = dock_split_words(text);
	if (words.empty())
		return 0;
	// Built before the fork, so the child only has to exec.
	std::vector<char *> argv;
	try {
		for (auto &w : words)
			argv.push_back(w.data());
		argv.push_back(nullptr);
	} catch (const std::bad_alloc &) {
		return -1;
	}
	pid_t pid = fork();
	if (pid == 0) {
		execvp(argv[0], argv.data());
		_exit(10);      // never run the parent's exit handlers in the child
	}
	return pid;
}

void
dock_parse_rc_pairs(const char *path, const rc_pair *pairs) noexcept
{
	FILE *f = std::fopen(path, "r");
	if (!f)
		return;
	char line[rc_line_size];
	while (std::fgets(line, sizeof line, f)) {
		for (const rc_pair *pair = pairs; pair->label; pair++) {
			const char *at = std::strstr(line, pair->label);
			if (!at)
				continue;
			const char *value = at + std::strlen(pair->label);
			value += std::strspn(value, " :\t\n");
			try {
				*pair->value = std::string(value, std::strcspn(value, "#\n"));
			} catch (const std::bad_alloc &) {
				// the variable keeps what it held
			}
			break;
		}
	}
	std::fclose(f);
}

long long
dock_now_ns() noexcept
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000000LL + t.tv_nsec;
}
