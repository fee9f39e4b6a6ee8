// SPDX-License-Identifier: GPL-2.0-or-later
// Shared helpers of the tests, benchmarks and tools; see support.h.
#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

// A child ends with the process that started it, even when that dies
// unexpectedly.
void
die_with_parent()
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
}

} // namespace

double
now_s()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void
sleep_s(double s)
{
	if (!(s > 0))
		return;
	auto ns = static_cast<long>(s * 1e9);
	timespec ts = { ns / 1000000000L, ns % 1000000000L };
	nanosleep(&ts, nullptr);
}

bool
poll_until(const std::function<bool()> &cond, double timeout_s)
{
	double end = now_s() + timeout_s;
	for (;;) {
		if (cond())
			return true;
		if (now_s() > end)
			return false;
		sleep_s(0.01);
	}
}

void
die(const std::string &msg)
{
	std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, msg.c_str());
	std::exit(1);
}

child_process
spawn(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &env,
      bool broken_output)
{
	child_process c;
	static int serial;
	std::string base = "/tmp/quarvel-child-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
	c.stderr_path = base + ".err";
	c.stdout_path = base + ".out";
	c.pid = fork();
	if (c.pid == 0) {
		die_with_parent();
		for (const auto &e : env) {
			auto eq = e.find('=');
			std::string name = e.substr(0, eq);
			if (eq + 1 == e.size())
				unsetenv(name.c_str());
			else
				setenv(name.c_str(), e.c_str() + eq + 1, 1);
		}
		int out = open(c.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int err = open(c.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int unread[2];
		if (broken_output && pipe(unread) == 0) {
			close(unread[0]);
			out = err = unread[1];
		}
		dup2(out, 1);
		dup2(err, 2);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execve(path.c_str(), args.data(), environ);
		_exit(127);
	}
	return c;
}

int
wait_exit(child_process &c, double timeout_s)
{
	int status = -1;
	double end = now_s() + timeout_s;
	while (c.pid > 0) {
		if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
			c.pid = -1;
			return status;
		}
		if (now_s() > end)
			return -1;
		sleep_s(0.005);
	}
	return -1;
}

std::string
end_child(child_process &c)
{
	if (c.pid > 0) {
		kill(c.pid, SIGKILL);
		waitpid(c.pid, nullptr, 0);
		c.pid = -1;
	}
	std::string err = read_file(c.stderr_path);
	unlink(c.stderr_path.c_str());
	unlink(c.stdout_path.c_str());
	return err;
}

std::string
read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

std::vector<well_bytes>
animation_frames(const settings_record &s, int count)
{
	build_colour_ramps(s);
	build_tunnel_map(s);
	build_texture(s);
	anim_offsets = { 0.0f, 0.0f };
	std::vector<well_bytes> frames;
	for (int n = 0; n < count; n++) {
		render_frame(s);
		frames.push_back(index_frame);
		advance_offsets(s);
	}
	return frames;
}

std::string
settings_text(std::initializer_list<std::pair<std::string, std::string>> changes)
{
	std::string text =
		"shade_switch=1\npersp_switch=1\n\n"
		"t_shade_level=5.200000\nt_persp=1000.000000\nt_mov_step=0.600000\nt_rot_step=0.300000\n\n"
		"tex_block_w=32\ntex_block_h=32\n\n"
		"t_col_add_R=24.000000\nt_col_add_G=-12.000000\nt_col_add_B=55.000000\n\n"
		"t_col_mul_R=1.000000\nt_col_mul_G=1.000000\nt_col_mul_B=0.000000\n\n"
		"t_color_1=20\nt_color_2=128\n\n"
		"command1=xlock\ncommand2=xlock -mode thornbird\ncommand3=xlock -mode blank\n";
	for (const auto &[key, value] : changes) {
		auto at = text.find(key + "=");
		auto end = text.find('\n', at);
		text.replace(at, end - at, key + "=" + value);
	}
	return text;
}

std::string
make_temp_dir()
{
	char tmpl[] = "/tmp/quarvel-XXXXXX";
	const char *d = mkdtemp(tmpl);
	return d ? d : "";
}

bool
remove_tree(const std::string &path)
{
	if (path.rfind("/tmp/quarvel-", 0) != 0 || path.find('\'') != std::string::npos)
		return false;
	return std::system(("rm -rf '" + path + "'").c_str()) == 0;
}

long
proc_field(pid_t pid, const char *file, const char *name)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/" + file);
	std::string line;
	while (std::getline(f, line))
		if (line.rfind(name, 0) == 0)
			return std::atol(line.c_str() + std::strlen(name));
	return -1;
}

bool
stays_asleep(pid_t pid, double seconds)
{
	auto wake_ups = [pid] { return proc_field(pid, "status", "voluntary_ctxt_switches:"); };
	if (!poll_until([&] {
		long w = wake_ups();
		sleep_s(0.05);
		return wake_ups() == w;
	}, 5.0))
		return false;
	long asleep = wake_ups();
	sleep_s(seconds);
	return wake_ups() == asleep;
}
