// SPDX-License-Identifier: GPL-2.0-or-later
// The settings file: the first start writes the defaults, later starts only
// read, and whatever the file holds gives settings the renderer can use.
#include "applet.h"
#include "cfg.h"
#include "temp_home.h"

#include <cmath>
#include <cstring>
#include <algorithm>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

class Settings : public TempHome {
protected:
	std::string out, err;

	void SetUp() override
	{
		TempHome::SetUp();
		std::memset(&tunnel_settings, 0x55, sizeof tunnel_settings);   // no stale values
	}
	void load()
	{
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		settings_load();
		std::fflush(stdout);
		std::fflush(stderr);
		out = testing::internal::GetCapturedStdout();
		err = testing::internal::GetCapturedStderr();
	}
	void write_settings(const std::string &text)
	{
		ASSERT_EQ(mkdir(path(".fesk").c_str(), 0700), 0);
		write(".fesk/quarvelrc", text);
	}
};

void
expect_defaults(const settings_record &s)
{
	EXPECT_EQ(std::memcmp(&s, &default_settings, offsetof(settings_record, command1)), 0);
	EXPECT_STREQ(s.command1, "xlock");
	EXPECT_STREQ(s.command2, "xlock -mode thornbird");
	EXPECT_STREQ(s.command3, "xlock -mode blank");
}

} // namespace

TEST_F(Settings, FirstStartWritesTheDefaults)
{
	load();
	EXPECT_EQ(read(".fesk/quarvelrc"), settings_text());
	struct stat st;
	ASSERT_EQ(stat(path(".fesk").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0700u);
	expect_defaults(tunnel_settings);
	EXPECT_EQ(out + err, "");

	// The written file reads back as the same settings.
	std::memset(&tunnel_settings, 0, sizeof tunnel_settings);
	load();
	expect_defaults(tunnel_settings);
}

TEST_F(Settings, MissingKeysReadAsZeroAndTheFileStaysUntouched)
{
	write_settings("t_mov_step=-1.5\n");
	load();
	const settings_record &s = tunnel_settings;
	EXPECT_EQ(s.t_mov_step, -1.5f);
	EXPECT_EQ(s.shade_switch, 0);
	EXPECT_EQ(s.persp_switch, 0);
	EXPECT_EQ(s.t_persp, 0.0f);
	EXPECT_EQ(s.t_rot_step, 0.0f);
	EXPECT_EQ(s.t_col_mul_R, 0.0f);
	EXPECT_EQ(s.t_color_1, 0);
	EXPECT_STREQ(s.command1, "");
	EXPECT_STREQ(s.command3, "");
	// Block sizes of 0 cannot tile: reported, and the default is used.
	EXPECT_EQ(s.tex_block_w, 32);
	EXPECT_EQ(s.tex_block_h, 32);
	EXPECT_EQ(err, "quarvel: tex_block_w=0 is below 1; using 32\n"
	               "quarvel: tex_block_h=0 is below 1; using 32\n");
	EXPECT_EQ(read(".fesk/quarvelrc"), "t_mov_step=-1.5\n");
}

TEST_F(Settings, BlockSizesBelowOneTileWithTheDefault)
{
	write_settings("tex_block_w=0\ntex_block_h=-2147483648\nt_color_1=20\nt_color_2=128\n");
	load();
	build_texture(tunnel_settings);
	EXPECT_EQ(tunnel_texture[31], 20);              // (u, v) = (31, 0)
	EXPECT_EQ(tunnel_texture[32], 128);             // (32, 0)
	EXPECT_EQ(tunnel_texture[32 * 256], 128);       // (0, 32)
}

TEST_F(Settings, ValuesAreTakenAsTheReadersMakeThem)
{
	std::string long_command(300, 'c');
	write_settings(
	      "t_color_1=300\n"           // modulo 255: 45
	      "t_color_2=-1\n"            // the sign stays
	      "tex_block_w=-2147483648\n"
	      "tex_block_h=7\n"
	      "t_persp=nan\n"
	      "t_mov_step=1e300\n"
	      "command2=" + long_command + "\n"
	      "command1=  spaced = kept\n");
	load();
	const settings_record &s = tunnel_settings;
	EXPECT_EQ(s.t_color_1, 45);
	EXPECT_EQ(s.t_color_2, -1);
	EXPECT_EQ(s.tex_block_w, 32);
	EXPECT_EQ(s.tex_block_h, 7);
	EXPECT_TRUE(std::isnan(s.t_persp));
	EXPECT_EQ(s.t_mov_step, HUGE_VALF);
	EXPECT_EQ(std::string(s.command2), long_command.substr(0, 256));
	EXPECT_TRUE(command_guard.cut[1]);      // kept cut, but never run
	EXPECT_FALSE(command_guard.cut[0]);
	EXPECT_STREQ(s.command1, "  spaced = kept");
	EXPECT_EQ(err, "quarvel: tex_block_w=-2147483648 is below 1; using 32\n");

	write(".fesk/quarvelrc", "t_color_1=255\nt_color_2=-2147483648\n");
	load();
	EXPECT_EQ(tunnel_settings.t_color_1, 0);
	EXPECT_EQ(tunnel_settings.t_color_2, -128);
}

TEST_F(Settings, UnwritableHomeRunsOnDefaultsSilently)
{
	const std::string homes[] = {
		home + "/missing/deeper",    // the directory's parent does not exist
		home + "/plain",             // HOME names a regular file
	};
	write("plain", "x");
	for (const auto &h : homes) {
		setenv("HOME", h.c_str(), 1);
		load();
		expect_defaults(tunnel_settings);
		EXPECT_EQ(out + err, "") << h;
	}
	EXPECT_FALSE(exists("missing"));
	EXPECT_EQ(read("plain"), "x");
}

TEST_F(Settings, OnlyNothingAtThePathIsWrittenOver)
{
	ASSERT_EQ(mkdir(path(".fesk").c_str(), 0700), 0);
	const std::string rc = path(".fesk/quarvelrc");
	const std::string defaults = "; using the defaults\n";
	const struct {
		const char *what;
		int (*make)(const std::string &rc, const std::string &home);
		std::string message;
	} rows[] = {
		// a FIFO would block the open, a device never ends a lookup
		{ "FIFO", [](auto &rc, auto &) { return mkfifo(rc.c_str(), 0600); },
		  " is not a regular file" + defaults },
		{ "device", [](auto &rc, auto &) { return symlink("/dev/zero", rc.c_str()); },
		  " is not a regular file" + defaults },
		// nothing is created through a dangling link
		{ "dangling link", [](auto &rc, auto &h) { return symlink((h + "/gone").c_str(), rc.c_str()); },
		  "" },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		ASSERT_EQ(r.make(rc, home), 0);
		load();
		expect_defaults(tunnel_settings);
		if (r.message.empty())
			EXPECT_EQ(err, "quarvel: can't read " + rc + " (No such file or directory)" + defaults);
		else
			EXPECT_EQ(err, "quarvel: " + rc + r.message);
		EXPECT_EQ(names_in(".fesk"), std::vector<std::string>{ "quarvelrc" });
		EXPECT_FALSE(exists("gone"));
		ASSERT_EQ(unlink(rc.c_str()), 0);
	}

	// A link to a regular file is read through, as dotfile managers need.
	write("real", "t_mov_step=2\ntex_block_w=4\ntex_block_h=4\ncommand1=ls\n");
	ASSERT_EQ(symlink(path("real").c_str(), rc.c_str()), 0);
	load();
	EXPECT_EQ(tunnel_settings.t_mov_step, 2.0f);
	EXPECT_STREQ(tunnel_settings.command1, "ls");
	EXPECT_EQ(err, "");
	ASSERT_EQ(unlink(rc.c_str()), 0);

	// A directory reads as an empty file and stays.
	ASSERT_EQ(mkdir(rc.c_str(), 0700), 0);
	load();
	EXPECT_EQ(tunnel_settings.t_mov_step, 0.0f);
	EXPECT_EQ(err, "quarvel: tex_block_w=0 is below 1; using 32\n"
	               "quarvel: tex_block_h=0 is below 1; using 32\n");
}

class SettingsDeathTest : public Settings {};

// An existing file this user cannot read is never replaced.  Root reads
// everything, so there the check runs as nobody, in the child.
TEST_F(SettingsDeathTest, UnreadableFileIsLeftAlone)
{
	write_settings("command1=mine\n");
	const std::string rc = path(".fesk/quarvelrc");
	ASSERT_EQ(chmod(rc.c_str(), 0200), 0);
	bool root = geteuid() == 0;
	if (root) {
		for (const std::string &p : { home, path(".fesk"), rc })
			ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
	}
	EXPECT_EXIT({
		if (root && (setgid(65534) != 0 || setuid(65534) != 0))
			std::exit(2);
		settings_load();
		std::exit(std::strcmp(tunnel_settings.command1, "xlock") == 0 ? 0 : 1);
	}, testing::ExitedWithCode(0), "can't read .*quarvelrc \\(Permission denied\\); using the defaults");
	ASSERT_EQ(chmod(rc.c_str(), 0600), 0);
	EXPECT_EQ(read(".fesk/quarvelrc"), "command1=mine\n");
}

// A file-size limit fails the first start's write like a full disk: the
// process lives, and neither the file nor its temporary copy is left.
TEST_F(SettingsDeathTest, WriteThatCannotFinishLeavesNothing)
{
	EXPECT_EXIT({
		rlimit small{};
		small.rlim_cur = small.rlim_max = 100;
		setrlimit(RLIMIT_FSIZE, &small);
		settings_load();
		expect_defaults(tunnel_settings);
		std::exit(testing::Test::HasFailure() ? 1 : 0);
	}, testing::ExitedWithCode(0), "");
	EXPECT_EQ(names_in(".fesk"), std::vector<std::string>{});

	// A full file system: a one-page tmpfs already full.
	ASSERT_EQ(rmdir(path(".fesk").c_str()), 0);
	ASSERT_EQ(mkdir(path(".fesk").c_str(), 0700), 0);
	if (mount("tmpfs", path(".fesk").c_str(), "tmpfs", 0, "size=4k,mode=0700") != 0) {
		std::printf("skipped the full-disk case: cannot mount a tmpfs (%s)\n", std::strerror(errno));
		return;
	}
	write(".fesk/filler", std::string(4096, 'f'));
	load();
	expect_defaults(tunnel_settings);
	EXPECT_EQ(out + err, "");
	EXPECT_EQ(names_in(".fesk"), std::vector<std::string>{ "filler" });
	umount2(path(".fesk").c_str(), MNT_DETACH);
}

TEST_F(Settings, CommandsRunOnlyFromAFileOnlyTheUserCanChange)
{
	const std::string rc = path(".fesk/quarvelrc"), dir = path(".fesk");
	const struct {
		const char *what;
		mode_t file_mode, dir_mode;
		uid_t owner;                  // root only: another user's file
		std::string message;          // "" when the commands may run
	} rows[] = {
		{ "private", 0600, 0700, 0, "" },
		{ "readable by all", 0644, 0755, 0, "" },
		{ "world-writable file", 0666, 0700, 0, rc + " is writable by others" },
		{ "group-writable file", 0620, 0700, 0, rc + " is writable by its group" },
		{ "world-writable directory", 0600, 0777, 0, dir + " is writable by others" },
		{ "another user's file", 0600, 0700, 65534, rc + " belongs to another user" },
	};
	write_settings("tex_block_w=4\ntex_block_h=4\ncommand1=ls\n");
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		if (r.owner && geteuid() != 0) {
			std::printf("skipped \"%s\": only root can give a file away\n", r.what);
			continue;
		}
		ASSERT_EQ(chmod(rc.c_str(), r.file_mode), 0);
		ASSERT_EQ(chmod(dir.c_str(), r.dir_mode), 0);
		ASSERT_EQ(chown(rc.c_str(), r.owner ? r.owner : geteuid(), static_cast<gid_t>(-1)), 0);
		load();
		EXPECT_STREQ(tunnel_settings.command1, "ls");    // the look settings still count
		EXPECT_EQ(command_guard.disabled, !r.message.empty());
		EXPECT_EQ(err, r.message.empty() ? "" : "quarvel: " + r.message + "; click commands are disabled\n");
	}
}
