// SPDX-License-Identifier: GPL-2.0-or-later
// What the tests, the benchmarks and the screenshot tool share: clocks and
// bounded polling, child processes that end with us, the frames the
// renderer can show, the first-start settings text and temporary
// directories.  Nothing here touches X (support_x.h has the X side) or
// needs a test framework; failures are returned, never thrown.
#pragma once

#include "applet.h"

#include <functional>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

double now_s();                      // monotonic seconds
void sleep_s(double s);
// Polls every 10 ms until `cond` holds or the time is up.
bool poll_until(const std::function<bool()> &cond, double timeout_s);

// Prints "program: msg" on standard error and exits with status 1.
[[noreturn]] void die(const std::string &msg);

struct child_process {
	pid_t pid = -1;
	std::string stderr_path;     // what the child wrote on standard error
	std::string stdout_path;
};

// Runs `path` with the given argv (argv[0] included) and environment
// additions ("NAME=value"; "NAME=" with nothing after removes NAME); it
// dies with us.  With `broken_output`, standard output and error are pipes
// nobody reads.
child_process spawn(const std::string &path, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env = {}, bool broken_output = false);
// Exit status as waitpid reports it, or -1 if it did not end in time.
int wait_exit(child_process &c, double timeout_s);
// Kills the child if it still runs and removes its output files; returns
// what it wrote on standard error.
std::string end_child(child_process &c);
std::string read_file(const std::string &path);
// The number after `name` in /proc/PID/`file` ("status": "VmRSS:" ...), or -1.
long proc_field(pid_t pid, const char *file, const char *name);
// Whether process `pid` comes to rest within 5 s (no voluntary context
// switch in 50 ms) and then makes no wake-up at all for `seconds`.
bool stays_asleep(pid_t pid, double seconds);

// The first `count` frames the animation with settings `s` shows, in order.
std::vector<well_bytes> animation_frames(const settings_record &s, int count);

// The settings file the first start writes, with some keys' values
// replaced: { { "t_mov_step", "0" } }.
std::string settings_text(std::initializer_list<std::pair<std::string, std::string>> changes = {});

// A fresh directory under /tmp; remove_tree removes only such directories.
std::string make_temp_dir();
bool remove_tree(const std::string &path);
