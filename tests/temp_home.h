// SPDX-License-Identifier: GPL-2.0-or-later
// A fresh HOME for each test that touches the settings file, removed
// afterwards with everything in it; the previous HOME is put back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

class TempHome : public testing::Test {
protected:
	std::string home;
	std::string old_home;
	bool had_home = false;

	void SetUp() override
	{
		char tmpl[] = "/tmp/quarvel-home-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		home = tmpl;
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
		std::string cmd = "rm -rf '" + home + "'";
		ASSERT_EQ(std::system(cmd.c_str()), 0);
	}

	std::string path(const std::string &rel) const { return home + "/" + rel; }

	void write(const std::string &rel, const std::string &text) const
	{
		std::ofstream(path(rel), std::ios::binary) << text;
	}

	std::string read(const std::string &rel) const
	{
		std::ifstream f(path(rel), std::ios::binary);
		std::stringstream ss;
		ss << f.rdbuf();
		return ss.str();
	}

	bool exists(const std::string &rel) const
	{
		struct stat st;
		return stat(path(rel).c_str(), &st) == 0;
	}
};
