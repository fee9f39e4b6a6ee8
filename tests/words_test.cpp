// SPDX-License-Identifier: GPL-2.0-or-later
// Dock text services: word splitting by its state table, spawning real
// children, and label-and-value pairs read from files.
#include "temp_home.h"
#include "words.h"

#include <sys/wait.h>

namespace {

using words = std::vector<std::string>;

class DockFiles : public TempHome {};

int
exit_status_of(pid_t pid)
{
	int status = 0;
	if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
		return -1;
	return WEXITSTATUS(status);
}

} // namespace

TEST(DockSplitWords, QuotesBackslashesAndBlanks)
{
	const struct {
		const char *text;
		words want;
	} rows[] = {
		{ "xlock -mode \"a b\"", { "xlock", "-mode", "a b" } },
		{ "it\\'s", { "it's" } },                        // backslash keeps the quote
		{ "'x y'z", { "x yz" } },                       // quotes end mid-word
		{ "ab\"c d\"e", { "abc de" } },                 // and start mid-word
		{ "a \"\" b", { "a" } },                        // an empty word ends the list
		{ "a '' b", { "a" } },
		{ "", {} },
		{ " \t  ", {} },
		{ "  lead\tand  trail  ", { "lead", "and", "trail" } },
		{ "'a\\'b'", { "a'b" } },                       // backslash inside single quotes
		{ "'a\\\\b'", { "a\\b" } },
		{ "\"a\\\"b\"", { "a\"b" } },                   // and inside double quotes
		{ "\"it's\"", { "it's" } },
		{ "'say \"hi\"'", { "say \"hi\"" } },
		{ "a\\ b", { "a b" } },                         // escaped blank joins
		{ "trailing\\", { "trailing" } },               // backslash at the end
		{ "\\", {} },
		{ "\"open quote", { "open quote" } },           // text ends inside quotes
		{ "'open", { "open" } },
		{ "x \"", { "x" } },
	};
	for (const auto &r : rows)
		EXPECT_EQ(dock_split_words(r.text), r.want) << "text: " << r.text;
}

TEST(DockNextWord, RestPointsPastTheWord)
{
	const char *text = "ab  cd";
	dock_word w = dock_next_word(text);
	EXPECT_EQ(w.word, "ab");
	EXPECT_EQ(w.rest, text + 3);        // after the blank that ended it
	w = dock_next_word(w.rest);
	EXPECT_EQ(w.word, "cd");
	EXPECT_EQ(w.rest, nullptr);         // the end of text was examined
	w = dock_next_word("   ");
	EXPECT_FALSE(w.word);
	EXPECT_EQ(w.rest, nullptr);
	w = dock_next_word("\"\" x");
	EXPECT_FALSE(w.word);               // empty quotes: no word, but a rest
	EXPECT_STREQ(w.rest, "x");
}

TEST_F(DockFiles, SpawnCommandRunsRealChildren)
{
	std::string out = path("out");
	pid_t pid = dock_spawn_command(("sh -c 'echo \"$0 $1\" > " + out + "' first 'second word'").c_str());
	ASSERT_GT(pid, 0);
	EXPECT_EQ(exit_status_of(pid), 0);
	EXPECT_EQ(read("out"), "first second word\n");

	pid = dock_spawn_command("/nonexistent/program arg");
	ASSERT_GT(pid, 0);
	EXPECT_EQ(exit_status_of(pid), 10);

	EXPECT_EQ(dock_spawn_command(""), 0);
	EXPECT_EQ(dock_spawn_command("  \t "), 0);
	EXPECT_EQ(dock_spawn_command("\"\" sh"), 0);       // the empty word ends the list
	EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);    // and nothing was forked
}

TEST_F(DockFiles, ParseRcPairs)
{
	std::optional<std::string> name, colour = "old", missing;
	const rc_pair pairs[] = {
		{ "name", &name },
		{ "colour", &colour },
		{ "absent", &missing },
		{ nullptr, nullptr },
	};
	write("rc",
	      "name: value # comment\n"          // value up to "#", blank kept
	      "  the colour:\t: red\n"           // label anywhere; colons and tabs skipped
	      "colour: # nothing\n"              // empty value replaces "red"
	      "namecolour: both\n");             // first pair in table order takes the line
	dock_parse_rc_pairs(path("rc").c_str(), pairs);
	EXPECT_EQ(name, "colour: both");
	EXPECT_EQ(colour, "");
	EXPECT_FALSE(missing);

	// A 300-character line arrives in pieces of 127: the label in the
	// third piece is found there, with the rest of that piece as the value.
	std::string long_line = std::string(254, 'x') + "name: far" + std::string(37, 'y') + "\n";
	write("rc", "colour: kept\n" + long_line);
	dock_parse_rc_pairs(path("rc").c_str(), pairs);
	EXPECT_EQ(colour, "kept");
	EXPECT_EQ(name, "far" + std::string(37, 'y'));

	name = "unchanged";
	dock_parse_rc_pairs(path("missing").c_str(), pairs);
	EXPECT_EQ(name, "unchanged");
}
