// The settings file: the first start writes the defaults, later starts only
// read, and whatever the file holds gives settings the renderer can use.
#include "applet.h"
#include "cfg.h"
#include "temp_home.h"

#include <cmath>
#include <cstring>

namespace {

const char *const default_file =
	"shade_switch=1\n"
	"persp_switch=1\n"
	"\n"
	"t_shade_level=5.200000\n"
	"t_persp=1000.000000\n"
	"t_mov_step=0.600000\n"
	"t_rot_step=0.300000\n"
	"\n"
	"tex_block_w=32\n"
	"tex_block_h=32\n"
	"\n"
	"t_col_add_R=24.000000\n"
	"t_col_add_G=-12.000000\n"
	"t_col_add_B=55.000000\n"
	"\n"
	"t_col_mul_R=1.000000\n"
	"t_col_mul_G=1.000000\n"
	"t_col_mul_B=0.000000\n"
	"\n"
	"t_color_1=20\n"
	"t_color_2=128\n"
	"\n"
	"command1=xlock\n"
	"command2=xlock -mode thornbird\n"
	"command3=xlock -mode blank\n";

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
	EXPECT_EQ(read(".fesk/quarvelrc"), default_file);
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
