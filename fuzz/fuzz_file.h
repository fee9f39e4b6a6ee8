// SPDX-License-Identifier: GPL-2.0-or-later
// The fuzz input as a file, for code that reads files: one temporary file
// per process, rewritten for every input and removed at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

inline const char *
fuzz_file(const std::uint8_t *data, std::size_t size)
{
	static std::string path;
	if (path.empty()) {
		path = "/tmp/quarvel-fuzz-" + std::to_string(getpid());
		std::atexit([] { std::remove(path.c_str()); });
	}
	FILE *f = std::fopen(path.c_str(), "wb");
	if (!f)
		return nullptr;
	std::fwrite(data, 1, size, f);
	std::fclose(f);
	return path.c_str();
}
