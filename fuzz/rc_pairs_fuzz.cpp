// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as a label-and-value file.
#include "words.h"
#include "fuzz_file.h"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const char *path = fuzz_file(data, size);
	if (!path)
		return 0;
	std::optional<std::string> a, b = "old", c;
	const rc_pair pairs[] = { { "name", &a }, { "na", &b }, { ":", &c }, { nullptr, nullptr } };
	dock_parse_rc_pairs(path, pairs);
	return 0;
}
