// SPDX-License-Identifier: GPL-2.0-or-later
// A fresh HOME for each test that touches the settings file, removed
// afterwards with everything in it; the previous HOME is put back.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

// Runs before each fsync the store makes, when set: the tests use it to make
// something happen between a file's last write and its placing.  (The test
// binary's own fsync stands in for the C library's.)
extern void (*before_fsync)();

class TempHome : public testing::Test {
protected:
	std::string home;
	std::string old_home;
	bool had_home = false;

	void SetUp() override
	{
		home = make_temp_dir();
		ASSERT_FALSE(home.empty());
		if (const char *h = std::getenv("HOME")) {
			had_home = true;
			old_home = h;
		}
		setenv("HOME", home.c_str(), 1);
	}
	void TearDown() override
	{
		if (had_home)
			setenv("HOME", old_home.c_str(), 1);
		else
			unsetenv("HOME");
		ASSERT_TRUE(remove_tree(home));
	}

	std::string path(const std::string &rel) const { return home + "/" + rel; }

	void write(const std::string &rel, const std::string &text) const
	{
		std::ofstream(path(rel), std::ios::binary) << text;
	}

	std::string read(const std::string &rel) const { return read_file(path(rel)); }

	bool exists(const std::string &rel) const
	{
		struct stat st;
		return stat(path(rel).c_str(), &st) == 0;
	}

	// The names in a directory under the home, sorted.
	std::vector<std::string> names_in(const std::string &rel) const
	{
		std::vector<std::string> names;
		if (DIR *d = opendir(path(rel).c_str())) {
			while (dirent *e = readdir(d))
				if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
					names.emplace_back(e->d_name);
			closedir(d);
		}
		std::sort(names.begin(), names.end());
		return names;
	}
};
