// SPDX-License-Identifier: GPL-2.0-or-later
// Configuration store: bounded copies and their messages, paths under HOME,
// the line format written, and the lookup rules a user trips on.
#include "cfg.h"
#include "temp_home.h"

#include <cerrno>
#include <cfloat>
#include <csignal>
#include <cmath>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

void (*before_fsync)();

extern "C" int
fsync(int fd)
{
	if (before_fsync)
		before_fsync();
	return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

std::string appear_at;                  // what before_fsync makes appear

void
make_appear()
{
	std::ofstream(appear_at) << "mine\n";
}

class Cfg : public TempHome {
protected:
	// Makes `text` the current file, open for reading.
	void use_file(const std::string &text)
	{
		write("f", text);
		ASSERT_NE(cfg_open(path("f").c_str(), cfg_read), nullptr);
	}
	void TearDown() override
	{
		cfg_close();
		TempHome::TearDown();
	}
};

std::string
captured_stdout()
{
	std::fflush(stdout);
	return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(SafeStrcpy, CopiesAndReportsOverflow)
{
	char buf[11];
	testing::internal::CaptureStdout();
	EXPECT_STREQ(safe_strcpy(buf, "0123456789", 10), "0123456789");   // exactly max: no message
	EXPECT_STREQ(safe_strcpy(buf, nullptr, 10), "");
	EXPECT_EQ(safe_strcpy(nullptr, "x", 10), nullptr);
	EXPECT_STREQ(safe_strcpy(buf, "0123456789abc", 10), "0123456789");
	EXPECT_EQ(captured_stdout(),
	          "ERROR: NULL dest in safe_strcpy\n"
	          "ERROR: string overflow by 3 in safe_strcpy [0123456789abc]\n");
}

TEST(SafeStrcat, AppendsAndReportsOverflow)
{
	char buf[11] = "abc";
	testing::internal::CaptureStdout();
	EXPECT_STREQ(safe_strcat(buf, "defg", 10), "abcdefg");
	EXPECT_STREQ(safe_strcat(buf, nullptr, 10), "abcdefg");
	EXPECT_STREQ(safe_strcat(buf, "hijkl", 10), "abcdefghij");   // cut at max
	EXPECT_STREQ(safe_strcat(buf, "z", 10), "abcdefghij");       // full: adds nothing
	EXPECT_EQ(safe_strcat(nullptr, "x", 10), nullptr);
	EXPECT_EQ(captured_stdout(),
	          "ERROR: string overflow by 2 in safe_strcat [hijkl]\n"
	          "ERROR: string overflow by 1 in safe_strcat [z]\n"
	          "ERROR: NULL dest in safe_strcat\n");
}

TEST_F(Cfg, FilePathCreatesPrivateDirectory)
{
	EXPECT_EQ(std::string(cfg_file_path(".d", "f")), home + "/.d/f");
	EXPECT_EQ(cfg_path_state(), cfg_path_ok);
	struct stat st;
	ASSERT_EQ(stat(path(".d").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0700u);
	EXPECT_EQ(std::string(cfg_dir_path(nullptr)), home + "/");
}

TEST_F(Cfg, OverlongHomeIsCutAndReported)
{
	std::string long_home(1030, 'h');
	long_home[0] = '/';
	setenv("HOME", long_home.c_str(), 1);
	testing::internal::CaptureStdout();
	std::string got = cfg_file_path(".d", "f");
	std::string head = long_home.substr(0, 50);
	EXPECT_EQ(captured_stdout(),
	          "ERROR: string overflow by 6 in safe_strcpy [" + head + "]\n"
	          "ERROR: string overflow by 1 in safe_strcat [/]\n"
	          "ERROR: string overflow by 2 in safe_strcat [.d]\n"
	          "ERROR: string overflow by 1 in safe_strcat [/]\n"
	          "ERROR: string overflow by 1 in safe_strcat [f]\n");
	EXPECT_EQ(got, long_home.substr(0, 1024));
	EXPECT_EQ(cfg_path_state(), cfg_path_cut);       // so never created nor read
}

TEST_F(Cfg, LookupRules)
{
	const std::string long_comment = "#" + std::string(511, '-');
	const struct {
		std::string text;
		const char *key;
		const char *want;
	} rows[] = {
		{ "#t_persp=3\nt_persp=7\n", "t_persp", "7" },        // comment lines skipped
		{ "t_persp = 9\n", "t_persp", " 9" },                  // taken literally
		{ "  t_persp=9\n", "t_persp", "" },                    // indented: not found
		{ "t_persp_x=5\nt_persp=6\n", "t_persp", "5" },        // prefix match, first wins
		{ "k=1\nk=2\n", "k", "1" },
		{ "command1=a=b\n", "command1", "a=b" },               // first "=" splits
		{ "a=1\nk=last", "k", "last" },                        // no final line feed
		{ "k\n", "k", "" },                                    // no "=": empty value
		{ "a=1\xffk=2\n", "k", "2" },                          // 0xFF ends a line
		{ "\n\nk= 3 \t\n", "k", " 3 \t" },                    // nothing trimmed
		{ "k=3\r\n", "k", "3" },                               // CRLF: the CR goes
		{ "k=3\r", "k", "3" },                                  // ... before the end too
		{ "k=3\r\r\n", "k", "3\r" },                           // only one
		{ "k=a\rb\n", "k", "a\rb" },                            // a CR inside stays
		{ long_comment + "Xk=1\nk=2\n", "k", "2" },            // a long comment's tail
		{ "#k=1\n", "k", "" },
		{ "", "k", "" },
	};
	for (const auto &r : rows) {
		use_file(r.text);
		EXPECT_STREQ(cfg_get_string(r.key), r.want) << "file: " << r.text;
		EXPECT_EQ(cfg_key_was_found(), r.want[0] != '\0' || r.text == "k\n") << r.text;
		cfg_close();
	}
}

TEST_F(Cfg, OverlongLinesKeepTheirFirstPiece)
{
	// 512 characters are kept and the rest is skipped to the line feed.
	use_file(std::string(512, 'x') + "Yk=5\n" + std::string(600, 'y') + "\nk=6\n");
	EXPECT_STREQ(cfg_get_string("k"), "6");
	EXPECT_EQ(std::strlen(cfg_find_line("x")), 512u);
	EXPECT_EQ(std::strlen(cfg_find_line("y")), 512u);
	use_file("k=" + std::string(509, 'v') + "\r\r\n");         // 512 with the first CR
	EXPECT_EQ(std::string(cfg_find_line("k")), "k=" + std::string(509, 'v') + "\r");

	// A value is cut at 256 characters, with the overflow message.
	use_file("k=" + std::string(300, 'v') + "\n");
	testing::internal::CaptureStdout();
	EXPECT_EQ(std::string(cfg_get_string("k")), std::string(256, 'v'));
	EXPECT_EQ(captured_stdout().rfind("ERROR: string overflow by 44 in safe_strcpy [", 0), 0u);
}

TEST_F(Cfg, NumbersConvertLikeTheStandardReaders)
{
	const struct {
		const char *text;
		int want;
	} ints[] = {
		{ "42", 42 },
		{ "-7", -7 },
		{ " +5", 5 },                    // leading blanks and sign
		{ "012", 12 },                   // decimal, never octal
		{ "12ab", 12 },                  // stops at the first non-digit
		{ "ab", 0 },
		{ "", 0 },
		{ "2147483647", 2147483647 },
		{ "-2147483648", INT32_MIN },
		{ "99999999999", 1215752191 },   // low 32 bits, as atoi gives here
	};
	for (const auto &r : ints) {
		use_file(std::string("k=") + r.text + "\n");
		EXPECT_EQ(cfg_get_int("k"), r.want) << "value: " << r.text;
	}

	const struct {
		const char *text;
		float want;
	} floats[] = {
		{ "5.2", 5.2f },                 // nearest float, through the double
		{ "-1.5", -1.5f },
		{ "1e300", HUGE_VALF },          // beyond float: infinite, never UB
		{ "-1e300", -HUGE_VALF },
		{ "3.4028235e38", FLT_MAX },
		{ "1e-50", 0.0f },
		{ "x", 0.0f },
		{ "0x10", 16.0f },
	};
	for (const auto &r : floats) {
		use_file(std::string("k=") + r.text + "\n");
		EXPECT_EQ(cfg_get_float("k"), r.want) << "value: " << r.text;
	}
	use_file("k=nan\n");
	EXPECT_TRUE(std::isnan(cfg_get_float("k")));
}

TEST_F(Cfg, UnreadableAndMissingFiles)
{
	EXPECT_EQ(cfg_open(path("missing").c_str(), cfg_read), nullptr);
	EXPECT_STREQ(cfg_get_string("k"), "");           // nothing open: absent
	EXPECT_EQ(cfg_open(path("f").c_str(), 3), nullptr);
	// A directory opens for reading but cannot be read: the key is absent.
	ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
	ASSERT_NE(cfg_open(path("dir").c_str(), cfg_read), nullptr);
	EXPECT_STREQ(cfg_get_string("k"), "");
	EXPECT_EQ(cfg_get_int("k"), 0);
}

TEST_F(Cfg, WritersFormat)
{
	ASSERT_NE(cfg_open(path("w").c_str(), cfg_write), nullptr);
	cfg_put_int("i", -3);
	cfg_put_float("f", 5.2f);
	cfg_put_float("g", -12.0f);
	cfg_put_string("s", "a b=c");
	cfg_put_blank();
	cfg_put_comment("note");
	cfg_put_comment(nullptr);
	testing::internal::CaptureStdout();
	cfg_put_comment(std::string(600, 'c').c_str());     // whole comment at most 512
	std::string message = captured_stdout();
	cfg_close();
	EXPECT_EQ(read("w"), "i=-3\nf=5.200000\ng=-12.000000\ns=a b=c\n\n# note# # " +
	                         std::string(510, 'c'));
	EXPECT_EQ(message.rfind("ERROR: string overflow by 90 in safe_strcat [", 0), 0u);
}

class CfgDeathTest : public Cfg {
protected:
	// Writes "w" with something appearing before it is placed: that stays,
	// and the write says so.
	void write_against_a_newcomer()
	{
		appear_at = path("w");
		before_fsync = make_appear;
		ASSERT_NE(cfg_open(appear_at.c_str(), cfg_write), nullptr);
		cfg_put_int("k", 1);
		errno = 0;
		EXPECT_FALSE(cfg_close());
		EXPECT_EQ(errno, EEXIST);
		before_fsync = nullptr;
		EXPECT_EQ(read("w"), "mine\n");
	}
};

TEST_F(CfgDeathTest, WritesPlaceNothingOverWhatAppeared)
{
	write_against_a_newcomer();
	EXPECT_EQ(names_in(""), std::vector<std::string>{ "w" });
	ASSERT_EQ(unlink(path("w").c_str()), 0);

	// A start killed while it writes leaves nothing named behind.
	EXPECT_EXIT({
		before_fsync = [] { raise(SIGKILL); };
		cfg_open(path("w").c_str(), cfg_write);
		cfg_put_int("k", 1);
		cfg_close();
	}, testing::KilledBySignal(SIGKILL), "");
	EXPECT_EQ(names_in(""), std::vector<std::string>{});

	// Without unnamed files (no /proc to link them through) a named one is
	// used, and what killed writes left is removed once it is a minute old.
	if (geteuid() != 0) {
		std::printf("skipped the named-file case: only root can hide /proc\n");
		return;
	}
	for (const char *name : { "w.tmp-Old123", "w.tmp-New456", "w.backup" })
		write(name, "k=0\n");
	const timespec old[2] = { { 0, UTIME_OMIT }, { std::time(nullptr) - 61, 0 } };
	for (const char *name : { "w.tmp-Old123", "w.backup" })
		ASSERT_EQ(utimensat(AT_FDCWD, path(name).c_str(), old, 0), 0);
	EXPECT_EXIT({
		if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
		    mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0)
			std::exit(2);
		write_against_a_newcomer();
		// _exit: the leak checker of a sanitizer build needs the /proc
		// this child has hidden.
		_exit(testing::Test::HasFailure() ? 1 : 0);
	}, testing::ExitedWithCode(0), "");
	EXPECT_EQ(names_in(""), (std::vector<std::string>{ "w", "w.backup", "w.tmp-New456" }));
}
