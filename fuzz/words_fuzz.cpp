// SPDX-License-Identifier: GPL-2.0-or-later
// Any text through the word splitter: every word is built inside its
// buffer, and the rest pointers never leave the text.
#include "words.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);   // ends at the first NUL
	const char *begin = text.c_str();
	const char *end = begin + std::char_traits<char>::length(begin);
	std::vector<std::string> words = dock_split_words(begin);
	std::size_t letters = 0;
	for (const auto &w : words)
		letters += w.size();
	if (letters > static_cast<std::size_t>(end - begin))
		std::abort();                 // more characters out than went in
	for (const char *p = begin; p;) {
		dock_word w = dock_next_word(p);
		if (w.rest && (w.rest <= p || w.rest > end))
			std::abort();
		if (!w.word)
			break;
		p = w.rest;
	}
	return 0;
}
