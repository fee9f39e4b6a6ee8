// SPDX-License-Identifier: GPL-2.0-or-later
// The settings file: the first start writes the defaults, later starts only
// read, and whatever the file holds gives settings the renderer can use.
#include "applet.h"
#include "cfg.h"
#include "temp_home.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/xattr.h>
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
	void load(const char *file = nullptr)
	{
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		settings_load(file);
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

	// Each key fills its own field, even where the defaults are alike.
	write(".fesk/quarvelrc", "shade_switch=2\npersp_switch=3\nt_shade_level=4\nt_persp=5\nt_mov_step=6\nt_rot_step=7\n"
	      "tex_block_w=8\ntex_block_h=9\nt_col_add_R=10\nt_col_add_G=11\nt_col_add_B=12\nt_col_mul_R=13\n"
	      "t_col_mul_G=14\nt_col_mul_B=15\nt_color_1=16\nt_color_2=17\ncommand1=a\ncommand2=b\ncommand3=c\n");
	load();
	const settings_record want = { 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, "a", "b", "c" };
	EXPECT_EQ(std::memcmp(&tunnel_settings, &want, offsetof(settings_record, command1)), 0);
	EXPECT_EQ(std::string(tunnel_settings.command1) + tunnel_settings.command2 + tunnel_settings.command3, "abc");
}

TEST_F(Settings, MissingKeysReadAsZeroAreNamedAndTheFileStaysUntouched)
{
	write_settings("t_mov_step=-1.5\ncommand1=\n");      // an empty value is set
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
	// Each key left out is named, in the order read; then block sizes of 0,
	// which cannot tile, are reported and the default is used.
	EXPECT_EQ(s.tex_block_w, 32);
	EXPECT_EQ(s.tex_block_h, 32);
	std::string want;
	for (const char *key : { "shade_switch", "persp_switch", "t_shade_level", "t_persp", "t_rot_step",
	                         "tex_block_w", "tex_block_h", "t_col_add_R", "t_col_add_G", "t_col_add_B",
	                         "t_col_mul_R", "t_col_mul_G", "t_col_mul_B", "t_color_1", "t_color_2" })
		want += "quarvel: " + std::string(key) + " is not set in " + path(".fesk/quarvelrc") + "; using 0\n";
	for (const char *key : { "command2", "command3" })
		want += "quarvel: " + std::string(key) + " is not set in " + path(".fesk/quarvelrc") + "; using \"\"\n";
	EXPECT_EQ(err, want + "quarvel: tex_block_w=0 is below 1; using 32\n"
	                      "quarvel: tex_block_h=0 is below 1; using 32\n");
	EXPECT_EQ(read(".fesk/quarvelrc"), "t_mov_step=-1.5\ncommand1=\n");
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
	write_settings(settings_text({
		{ "t_color_1", "300" },        // modulo 255: 45
		{ "t_color_2", "-1" },         // the sign stays
		{ "tex_block_w", "-2147483648" },
		{ "tex_block_h", "7 \t" },     // blanks after a number are no text
		{ "t_persp", "nan" },
		{ "t_mov_step", "1e300" },
		{ "command2", long_command },
		{ "command1", "  spaced = kept" },
		{ "shade_switch", " x1" },     // no number at all: 0, and a line
		{ "t_rot_step", "" },
		{ "persp_switch", "12ab" },    // a number, then text: 12, and a line
		{ "t_col_mul_R", "-1,25 " },   // a decimal comma: -1, and the fix
		{ "t_col_add_G", "2.5x" },
	}));
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
	EXPECT_EQ(s.shade_switch, 0);
	EXPECT_EQ(s.persp_switch, 12);
	EXPECT_EQ(err, "quarvel: shade_switch: \" x1\" is not a number; using 0\n"
	               "quarvel: persp_switch: \"12ab\" is not a number; using 12\n"
	               "quarvel: t_rot_step: \"\" is not a number; using 0\n"
	               "quarvel: t_col_add_G: \"2.5x\" is not a number; using 2.5\n"
	               "quarvel: t_col_mul_R: \"-1,25 \" is not a number (use a dot: -1.25); using -1\n"
	               "quarvel: tex_block_w=-2147483648 is below 1; using 32\n");

	write(".fesk/quarvelrc", "t_color_1=255\nt_color_2=-2147483648\n");
	load();
	EXPECT_EQ(tunnel_settings.t_color_1, 0);
	EXPECT_EQ(tunnel_settings.t_color_2, -128);
}

TEST_F(Settings, UnusableHomesRunOnTheDefaults)
{
	// Real directories, so that a cut path would name something that can be
	// made: 4 levels of 250 characters, plus the temporary home.
	std::string deep = home;
	for (int i = 0; i < 4; i++) {
		deep += "/" + std::string(250, 'd');
		ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
	}
	const std::string too_long = "quarvel: the settings path is too long (over 1024 characters); "
	                             "using the defaults\n";
	const struct {
		std::string home;
		std::string message;
		bool cut;
	} rows[] = {
		// silently: the directory's parent does not exist, HOME is a file
		{ home + "/missing/deeper", "", false },
		{ home + "/plain", "", false },
		// cut: the file's path, then HOME itself; nothing is made or read
		{ deep, too_long, true },
		{ deep + "/" + std::string(1024 - deep.size(), 'e'), too_long, true },
	};
	write("plain", "x");
	for (const auto &r : rows) {
		SCOPED_TRACE(r.home.substr(home.size()));
		setenv("HOME", r.home.c_str(), 1);
		load();
		expect_defaults(tunnel_settings);
		EXPECT_EQ(err, r.message);
		EXPECT_EQ(out.find("ERROR: string overflow") != std::string::npos, r.cut);
		EXPECT_EQ(std::string(settings_path()), r.cut ? "" : r.home + "/.fesk/quarvelrc");
	}
	EXPECT_FALSE(exists("missing"));
	EXPECT_EQ(read("plain"), "x");
	EXPECT_EQ(names_in(deep.substr(home.size() + 1)), std::vector<std::string>{});
}

namespace {
std::pair<std::string, std::string> newcomer;     // a link before_fsync makes: target, name
} // namespace

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
	write("real", settings_text({ { "t_mov_step", "2" }, { "command1", "ls" } }));
	ASSERT_EQ(symlink(path("real").c_str(), rc.c_str()), 0);
	load();
	EXPECT_EQ(tunnel_settings.t_mov_step, 2.0f);
	EXPECT_STREQ(tunnel_settings.command1, "ls");
	EXPECT_EQ(err, "");
	ASSERT_EQ(unlink(rc.c_str()), 0);

	// Such a link made while the first start writes the defaults stays, and
	// is read as any start reads it.
	newcomer = { path("real"), rc };
	before_fsync = [] { ASSERT_EQ(symlink(newcomer.first.c_str(), newcomer.second.c_str()), 0); };
	load();
	before_fsync = nullptr;
	EXPECT_EQ(tunnel_settings.t_mov_step, 2.0f);
	EXPECT_EQ(err, "");
	EXPECT_EQ(read("real"), settings_text({ { "t_mov_step", "2" }, { "command1", "ls" } }));
	EXPECT_EQ(names_in(".fesk"), std::vector<std::string>{ "quarvelrc" });
	ASSERT_EQ(unlink(rc.c_str()), 0);

	// A directory reads as an empty file and stays.
	ASSERT_EQ(mkdir(rc.c_str(), 0700), 0);
	load();
	EXPECT_EQ(tunnel_settings.t_mov_step, 0.0f);
	EXPECT_EQ(err, "quarvel: tex_block_w=0 is below 1; using 32\n"
	               "quarvel: tex_block_h=0 is below 1; using 32\n");
}

// A file named on the command line, relative to the current directory, is
// treated as the default one, but gets no directory made for it.  A reload
// reads it again with the lines of a start, and replaces the settings and
// the guard; from a file it cannot read it keeps both, writing nothing.
TEST_F(Settings, AFileOfItsOwnAndItsReload)
{
	std::string cwd = std::filesystem::current_path();
	ASSERT_EQ(chdir(home.c_str()) | mkfifo("fifo.rc", 0600), 0);
	const struct {
		const char *file;
		std::string err;
	} loads[] = {
		{ "no/new.rc", "no/new.rc was not created: there is no directory no; using the defaults\n" },
		{ "fifo.rc", "fifo.rc is not a regular file; using the defaults\n" },
		{ "", "the settings file's name is empty; using the defaults\n" },
		{ "new.rc", "" },                  // written with the defaults
	};
	for (const auto &r : loads) {
		load(r.file);
		expect_defaults(tunnel_settings);
		EXPECT_EQ(err, r.err.empty() ? "" : "quarvel: " + r.err);
		EXPECT_STREQ(settings_path(), r.file);
	}
	EXPECT_EQ(read("new.rc"), settings_text());

	const std::string comma = "quarvel: t_persp: \"1,5\" is not a number (use a dot: 1.5); using 1\n";
	auto put = [&](const char *command) {
		write("new.rc", settings_text({ { "command1", command }, { "t_persp", "1,5" } }));
		return chmod("new.rc", 0600);
	};
	const struct {
		std::function<int()> change;
		bool replaced;
		std::string command1;         // and whether the guard disables it
		std::string err;
	} reloads[] = {
		{ [&] { return put("pwd"); }, true, "pwd", comma },
		{ [&] { return chmod("new.rc", 0666); }, true, "pwd disabled",
		  comma + "quarvel: new.rc is writable by others; click commands are disabled (chmod go-w new.rc)\n" },
		// gone, then a directory: the settings and the guard stay
		{ [&] { return unlink("new.rc"); }, false, "pwd disabled",
		  "quarvel: can't read new.rc (No such file or directory); keeping the settings\n" },
		{ [&] { return mkdir("new.rc", 0700); }, false, "pwd disabled",
		  "quarvel: new.rc is not a regular file; keeping the settings\n" },
		{ [&] { return rmdir("new.rc") | put("id"); }, true, "id", comma },
	};
	for (const auto &r : reloads) {
		SCOPED_TRACE(r.err);
		ASSERT_EQ(r.change(), 0);
		std::vector<std::string> names = names_in("");
		testing::internal::CaptureStderr();
		EXPECT_EQ(settings_reload(), r.replaced);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), r.err);
		EXPECT_EQ(tunnel_settings.command1 + std::string(command_guard.disabled ? " disabled" : ""), r.command1);
		EXPECT_EQ(names_in(""), names);      // nothing written
	}
	ASSERT_EQ(chdir(cwd.c_str()), 0);
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

// With HOME unset or empty the home comes from the password database, and
// without one nothing is written.  Root's would be the real /root, so the
// rows run as nobody (whose home must not exist) and as a user with no
// entry, in the child.
TEST_F(SettingsDeathTest, HomeFromThePasswordDatabase)
{
	const passwd *nobody = getpwuid(65534);
	const std::string nobody_rc = nobody ? std::string(nobody->pw_dir) + "/.fesk/quarvelrc" : "";
	struct stat st;
	if (geteuid() != 0 || !nobody || stat(nobody->pw_dir, &st) == 0 || getpwuid(4000000)) {
		std::printf("skipped: needs root, nobody with a home that does not exist, no user 4000000\n");
		return;
	}
	const std::string homeless = "quarvel: HOME is unset or empty and user 4000000 has no home "
	                             "directory; using the defaults\n";
	const struct {
		const char *home;          // null: unset
		uid_t uid;
		std::string path;          // settings_path() then
		std::string message;
	} rows[] = {
		{ nullptr, 65534, nobody_rc, "" },
		{ "", 65534, nobody_rc, "" },
		{ nullptr, 4000000, "", homeless },
		{ "", 4000000, "", homeless },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(std::to_string(r.uid) + (r.home ? " empty" : " unset"));
		EXPECT_EXIT({
			if (r.home)
				setenv("HOME", r.home, 1);
			else
				unsetenv("HOME");
			if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(r.uid) != 0)
				std::exit(2);
			settings_load();
			expect_defaults(tunnel_settings);
			std::exit(testing::Test::HasFailure() || settings_path() != r.path ? 1 : 0);
		}, testing::ExitedWithCode(0), r.message);
	}
	EXPECT_NE(stat("/.fesk", &st), 0);
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
	const std::string rc = path(".fesk/quarvelrc"), dir = path(".fesk"), w = path("w");
	const std::string text = settings_text({ { "command1", "ls" } });
	const std::string others = " is writable by others; click commands are disabled (chmod go-w ";
	// ~/.fesk/quarvelrc -> ~/w/link -> ~/dotfiles/quarvelrc, ~/w of mode `mode`.
	auto link_way = [&](mode_t mode) {
		return mkdir(path("dotfiles").c_str(), 0700) | mkdir(w.c_str(), 0700) | chmod(w.c_str(), mode) |
		       rename(rc.c_str(), path("dotfiles/quarvelrc").c_str()) |
		       symlink(path("dotfiles/quarvelrc").c_str(), (w + "/link").c_str()) |
		       symlink((w + "/link").c_str(), rc.c_str());
	};
	// ~/.fesk/quarvelrc -> `target`, relative, ~/w of mode `mode`.
	auto relative_way = [&](const char *target, mode_t mode) {
		return mkdir(path("dotfiles").c_str(), 0700) || mkdir(w.c_str(), 0700) || chmod(w.c_str(), mode) ||
		       rename(rc.c_str(), path("dotfiles/quarvelrc").c_str()) || symlink(target, rc.c_str());
	};
	// An access ACL (ACL_TYPE, "system.posix_acl_...") of owner rwx, one
	// named entry (tag 2 a user, 8 a group: nobody's) with `perm`, and
	// `mask`; the kernel's own form, as setfacl writes it.
	auto set_acl = [](const std::string &p, std::uint32_t tag, std::uint32_t perm, std::uint32_t mask,
	                  const char *type = "access") {
		const std::uint32_t any = 0xFFFFFFFF;
		std::vector<std::array<std::uint32_t, 3>> e = { { 1, 7, any }, { 4, 5, any }, { 0x10, mask, any },
		                                                { 0x20, 5, any } };
		e.insert(e.begin() + (tag == 2 ? 1 : 2), { tag, perm, 65534 });    // entries in tag order
		std::vector<std::uint8_t> a = { 2, 0, 0, 0 };
		for (const auto &[t, pm, id] : e)
			for (std::uint32_t v : { t | pm << 16, id })
				for (int b = 0; b < 32; b += 8)
					a.push_back(static_cast<std::uint8_t>(v >> b));
		return setxattr(p.c_str(), (std::string("system.posix_acl_") + type).c_str(), a.data(), a.size(), 0);
	};
	const std::string through_acl = " is writable by others through its ACL; click commands are disabled "
	                                "(setfacl -b ";
	bool acls = set_acl(path("probe_acl_support"), 2, 0, 0) == 0 || errno != ENOTSUP;
	// Each row starts from a private file in private directories and opens
	// one way in (as root, gid 0 is root's private group).
	const struct {
		const char *what;
		std::function<int()> make;     // 0 when done
		bool root_only;                // needs root's private group or another user's ids
		std::string message;           // "" when the commands may run
		bool acl = false;              // needs a file system with ACLs
	} rows[] = {
		{ "private", [] { return 0; }, false, "" },
		{ "readable by all", [&] { return chmod(rc.c_str(), 0644) | chmod(dir.c_str(), 0755); }, false, "" },
		{ "world-writable file", [&] { return chmod(rc.c_str(), 0666); }, false, rc + others + rc + ")" },
		{ "another user's file", [&] { return chown(rc.c_str(), 65534, 65534); }, true,
		  rc + " belongs to another user; click commands are disabled (replace it with a copy of your own)" },
		// user private groups: group-writable, but the group is the user's alone
		{ "private group", [&] { return chmod(rc.c_str(), 0660); }, true, "" },
		{ "private-group directory", [&] { return chmod(dir.c_str(), 0770); }, true, "" },
		{ "another user's group", [&] { return chown(rc.c_str(), 0, 1) | chmod(rc.c_str(), 0660); }, true,
		  rc + " is writable by its group; click commands are disabled (chmod go-w " + rc + ")" },
		// judged after the private group, from what is known of it by then
		{ "another group's directory", [&] { return chmod(rc.c_str(), 0660) | chown(dir.c_str(), 0, 1) |
		                                            chmod(dir.c_str(), 0770); }, true,
		  dir + " is writable by its group; click commands are disabled (chmod go-w " + dir + ")" },
		// every directory on the way counts, links' ways included
		{ "world-writable directory", [&] { return chmod(dir.c_str(), 0777); }, false, dir + others + dir + ")" },
		{ "HOME writable by others", [&] { return chmod(home.c_str(), 0777); }, false, home + others + home + ")" },
		{ "world-writable directory on a link's way", [&] { return link_way(0777); }, false, w + others + w + ")" },
		{ "the same, sticky", [&] { return link_way(01777); }, false, "" },
		{ "the same, another user's link", [&] { return link_way(01777) | lchown((w + "/link").c_str(), 65534, 65534); },
		  true, w + "/link belongs to another user; click commands are disabled (replace it with a copy of your own)" },
		// a dotfile manager's relative link, resolved from its own directory
		{ "a relative link", [&] { return relative_way("../dotfiles/quarvelrc", 0700); }, false, "" },
		{ "one climbing with .. out of a world-writable directory",
		  [&] { return relative_way("../w/../dotfiles/quarvelrc", 0777); }, false, "" },
		// an ACL's grants count, not its mask in the mode's group bits
		{ "ACL: another user may write the file", [&] { return set_acl(rc, 2, 6, 6); }, true,
		  rc + through_acl + rc + ")", true },
		{ "ACL: the same on .fesk", [&] { return set_acl(dir, 2, 7, 7); }, true, dir + through_acl + dir + ")", true },
		{ "ACL: a named group may write", [&] { return set_acl(rc, 8, 6, 6); }, true,
		  rc + through_acl + rc + ")", true },
		{ "ACL: the mask takes the write away", [&] { return set_acl(rc, 2, 6, 4) || set_acl(dir, 8, 7, 5); },
		  true, "", true },
		// umask 002 under a home whose default ACL grants a backup account
		// everything: a file the user writes carries the grant
		{ "ACL: a home's default ACL", [&] {
			return set_acl(home, 2, 7, 7, "default") || chmod(home.c_str(), 0755) || !remove_tree(dir) ||
			       mkdir(dir.c_str(), 0775) || chmod(dir.c_str(), 0775) ||
			       (write(".fesk/quarvelrc", text), chmod(rc.c_str(), 0664));
		  }, true, rc + through_acl + rc + ")", true },
	};
	write_settings(text);
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		if ((r.root_only && geteuid() != 0) || (r.acl && !acls)) {
			std::printf("skipped \"%s\": runs only as root, with ACLs\n", r.what);
			continue;
		}
		ASSERT_TRUE(remove_tree(path("w")) && remove_tree(path("dotfiles")) && remove_tree(dir));
		removexattr(home.c_str(), "system.posix_acl_default");
		ASSERT_EQ(chmod(home.c_str(), 0700), 0);
		ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
		write(".fesk/quarvelrc", text);
		ASSERT_EQ(chmod(rc.c_str(), 0600), 0);
		ASSERT_EQ(r.make(), 0);
		load();
		EXPECT_STREQ(tunnel_settings.command1, "ls");    // the look settings still count
		EXPECT_EQ(command_guard.disabled, !r.message.empty());
		EXPECT_EQ(err, r.message.empty() ? "" : "quarvel: " + r.message + "\n");
	}
}

// A group the user shares lets others in.  nobody's group is shared on
// Debian (_apt and sync have it as primary group too), so the check runs
// as nobody, in the child.
TEST_F(SettingsDeathTest, SharedGroupWritableFileRunsNoCommand)
{
	bool shared = false;
	setpwent();
	while (const passwd *p = getpwent())
		shared = shared || (p->pw_gid == 65534 && p->pw_uid != 65534);
	endpwent();
	if (geteuid() != 0 || !shared) {
		std::printf("skipped: needs root and a group shared with nobody\n");
		return;
	}
	write_settings(settings_text());
	const std::string rc = path(".fesk/quarvelrc");
	for (const std::string &p : { home, path(".fesk"), rc })
		ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
	ASSERT_EQ(chmod(rc.c_str(), 0660), 0);
	EXPECT_EXIT({
		if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
			std::exit(2);
		settings_load();
		std::exit(command_guard.disabled ? 0 : 1);
	}, testing::ExitedWithCode(0), "quarvel: " + rc + " is writable by its group; click commands are "
	                               "disabled \\(chmod go-w " + rc + "\\)\n");
}
