// SPDX-License-Identifier: GPL-2.0-or-later
// The settings file: "quarvelrc" in ".fesk" under HOME, or the file named
// on the command line.  The first start writes the defaults; later starts
// and reloads only read it, and anything that exists at the path is never
// written over.  A key missing from the file reads as
// 0, 0.0 or "", and start-up names it.  The commands it names run only when
// nobody but the user (or root) could have put them there: guard_commands.
#include "applet.h"
#include "cfg.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

command_guard_record command_guard;
const char *settings_program = "quarvel";

namespace {

char loaded_path[cfg_path_max + 1];     // what settings_path() names
int load_state;                         // cfg_path_state of the path settings_load tried,
constexpr int path_empty = -1;          // or this for a file named by an empty name
const char *report_path;                // while reading: where missing keys are named

// What the guard says of a file or directory.  Each but the last has a fix.
constexpr char another_user[] = "belongs to another user";
constexpr char writable_by_others[] = "is writable by others";
constexpr char writable_by_group[] = "is writable by its group";
constexpr char writable_through_acl[] = "is writable by others through its ACL";
constexpr char cannot_check[] = "cannot be checked";

// Block sizes below 1 cannot tile the texture (a missing key reads as 0):
// say so and use the default.
void
check_block(const char *key, int &value)
{
	if (value >= 1)
		return;
	std::fprintf(stderr, "%s: %s=%d is below 1; using %d\n", settings_program, key, value, default_block);
	value = default_block;
}

// "0,5" written for 0.5: the number with a dot, or "" when `text` is not
// digits, a comma and digits.
std::string
with_dot(const char *text)
{
	constexpr const char *digits = "0123456789";
	const char *p = text + std::strspn(text, " \t");
	std::size_t sign = *p == '-' || *p == '+';
	const char *comma = p + sign + std::strspn(p + sign, digits);
	std::size_t fraction = *comma == ',' ? std::strspn(comma + 1, digits) : 0;
	const char *end = comma + 1 + fraction;
	if (comma == p + sign || fraction == 0 || end[std::strspn(end, " \t\r")])
		return "";
	return std::string(p, comma) + "." + std::string(comma + 1, end);
}

// Each lookup names its key on standard error when the file lacks it, or
// when its value is not all a number, with the value that stands in.
void
note_missing(const char *key, const std::string &used, bool real = false)
{
	if (!report_path)
		return;
	if (!cfg_key_was_found()) {
		std::fprintf(stderr, "%s: %s is not set in %s; using %s\n", settings_program, key, report_path,
		             used.c_str());
		return;
	}
	if (cfg_number_state() == cfg_number_whole)
		return;
	std::string dot = real ? with_dot(cfg_number_text()) : "";
	std::fprintf(stderr, "%s: %s: \"%s\" is not a number%s; using %s\n", settings_program, key,
	             cfg_number_text(), dot.empty() ? "" : (" (use a dot: " + dot + ")").c_str(), used.c_str());
}

int
get_int(const char *key)
{
	int v = cfg_get_int(key);
	note_missing(key, std::to_string(v));
	return v;
}

float
get_float(const char *key)
{
	float v = cfg_get_float(key);
	char used[32];
	std::snprintf(used, sizeof used, "%g", static_cast<double>(v));
	note_missing(key, used, true);
	return v;
}

const char *
get_string(const char *key)
{
	const char *v = cfg_get_string(key);
	if (report_path && !cfg_key_was_found())
		note_missing(key, "\"\"");
	return v;
}

// command_guard.cut has a flag for each text key.
static_assert(std::count_if(setting_keys.begin(), setting_keys.end(), [](const setting_key &k) {
	return std::holds_alternative<text_field>(k.field);
}) == 3);

void
read_settings(settings_record &s, command_guard_record &guard)
{
	std::size_t command = 0;
	for (const setting_key &k : setting_keys) {
		if (auto i = std::get_if<int_field>(&k.field)) {
			s.**i = get_int(k.name);
		} else if (auto f = std::get_if<float_field>(&k.field)) {
			s.**f = get_float(k.name);
		} else if (auto t = std::get_if<text_field>(&k.field)) {
			safe_strcpy(s.**t, get_string(k.name), command_max);
			guard.cut[command++] = cfg_value_was_cut();
		}
	}
	// Truncating remainder: the sign stays, so -1 stays -1 (index 255).
	s.t_color_1 %= 255;
	s.t_color_2 %= 255;
}

// Whether the user's primary group has nobody else in it: no other user
// has it as primary group or is listed in it (user private groups, where a
// group-writable file is as private as one that is not).  Both databases
// are read once a start-up, however many directories ask; where they
// cannot be listed, or list nothing (a name service that does not
// enumerate), the group counts as shared.
struct private_group_record {
	bool known;
	uid_t uid;                         // whose primary group
	gid_t gid;
	bool alone;
} private_group;

bool
group_is_users_alone(gid_t gid, uid_t uid)
{
	private_group_record &pg = private_group;
	if (pg.known && pg.uid == uid)
		return pg.alone && pg.gid == gid;
	pg = { true, uid, 0, false };
	const passwd *me = getpwuid(uid);
	if (!me)
		return false;
	pg.gid = me->pw_gid;
	std::string name = me->pw_name;
	bool alone = true;
	int users = 0, groups = 0;
	setpwent();
	while (const passwd *p = getpwent()) {
		users++;
		if (p->pw_gid == pg.gid && p->pw_uid != uid)
			alone = false;
	}
	endpwent();
	setgrent();
	while (const group *g = getgrent()) {
		groups++;
		for (char **m = g->gr_mem; g->gr_gid == pg.gid && *m; m++)
			if (name != *m)
				alone = false;
	}
	endgrent();
	pg.alone = alone && users > 0 && groups > 0;
	return pg.alone && pg.gid == gid;
}

// The kernel's form of an access ACL (the system.posix_acl_access
// attribute): a version, then entries of tag, permissions and id.
constexpr std::uint32_t acl_version = 2;
constexpr std::uint16_t acl_user = 0x02, acl_group_obj = 0x04, acl_group = 0x08, acl_mask = 0x10,
                        acl_other = 0x20;
constexpr std::uint16_t acl_write = 0x02;

enum class acl_verdict { none, private_to_user, open, unreadable };

// What the extended ACL of the file `fd`, or else of `path`, says: none
// when there is none (or the file system has none), open when a named
// user other than the user or root, any named group, or the owning group
// (unless it is the user's private group) may write through the mask.
acl_verdict
acl_of(const struct stat &st, const char *path, int fd)
{
	constexpr const char *name = "system.posix_acl_access";
	std::vector<unsigned char> acl(256);
	ssize_t n;
	for (;;) {
		n = fd >= 0 ? fgetxattr(fd, name, acl.data(), acl.size()) : lgetxattr(path, name, acl.data(), acl.size());
		if (n >= 0 || errno != ERANGE || acl.size() >= 65536)
			break;
		acl.resize(acl.size() * 4);
	}
	if (n < 0)
		return errno == ENODATA || errno == ENOTSUP ? acl_verdict::none : acl_verdict::unreadable;
	auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(acl[at] | acl[at + 1] << 8); };
	auto u32 = [&](std::size_t at) { return static_cast<std::uint32_t>(u16(at) | u16(at + 2) << 16); };
	std::size_t size = static_cast<std::size_t>(n);
	if (size < 4 || (size - 4) % 8 != 0 || u32(0) != acl_version)
		return acl_verdict::unreadable;
	// The mask bounds every entry but the owner's and others'.
	unsigned mask = 07;
	for (std::size_t at = 4; at < size; at += 8)
		if (u16(at) == acl_mask)
			mask = u16(at + 2);
	uid_t me = geteuid();
	for (std::size_t at = 4; at < size; at += 8) {
		std::uint16_t tag = u16(at);
		bool writes = u16(at + 2) & acl_write & (tag == acl_other ? 07 : mask);
		std::uint32_t id = u32(at + 4);
		if (writes && ((tag == acl_user && id != me && id != 0) || tag == acl_group || tag == acl_other ||
		               (tag == acl_group_obj && !(st.st_uid == me && group_is_users_alone(st.st_gid, me)))))
			return acl_verdict::open;
	}
	return acl_verdict::private_to_user;
}

// Whether someone but the user or root could write to what `st` describes
// (the open file `fd`, or else the object at `path`): null when nobody
// could, else why.  With an extended ACL the mode's group bits are its
// mask, so the ACL alone tells who may write.
const char *
open_to_others(const struct stat &st, const char *path, int fd = -1)
{
	uid_t me = geteuid();
	if (st.st_uid != me && st.st_uid != 0)
		return another_user;
	if (st.st_mode & S_IWOTH)
		return writable_by_others;
	switch (acl_of(st, path, fd)) {
	case acl_verdict::open:
		return writable_through_acl;
	case acl_verdict::unreadable:
		return cannot_check;
	case acl_verdict::private_to_user:
		return nullptr;
	case acl_verdict::none:
		break;
	}
	if ((st.st_mode & S_IWGRP) && !(st.st_uid == me && group_is_users_alone(st.st_gid, me)))
		return writable_by_group;
	return nullptr;
}

// What the guard found: the file or directory, and why; none when the
// commands may run.
struct guard_fault {
	std::string where;
	const char *why = nullptr;
};

// Resolves `path` one component at a time, as realpath does, and checks
// every directory that holds a component of it or of a link's target, up
// to the root: another user who could change any of them could make the
// path name a file of their choosing.  In a sticky directory only the
// entry's owner can replace it, so there the entry's owner counts.  The
// path must end at the file that was opened and read (`opened`).
guard_fault
walk_path(const char *path, const struct stat &opened)
{
	std::string todo = path;               // still to resolve
	if (todo.empty() || todo[0] != '/') {
		char cwd[PATH_MAX];
		if (!getcwd(cwd, sizeof cwd))
			return { path, cannot_check };
		todo = std::string(cwd) + "/" + todo;
	}
	std::string dir = "/";                 // the real directory reached
	struct stat dir_st, st = {};
	if (stat("/", &dir_st) != 0)
		return { "/", cannot_check };
	bool in_file = false;                  // st: the last component, no directory
	int links = 0;
	std::size_t pos = 0;
	while (pos < todo.size()) {
		std::size_t end = todo.find('/', pos);
		if (end == std::string::npos)
			end = todo.size();
		std::string name = todo.substr(pos, end - pos);
		pos = end + 1;
		if (name.empty())
			continue;
		if (in_file)
			return { path, cannot_check };       // a file holds no components
		if (name == ".")
			continue;
		if (name == "..") {
			std::size_t slash = dir.find_last_of('/');
			dir.resize(slash == 0 ? 1 : slash);
			if (stat(dir.c_str(), &dir_st) != 0)
				return { dir, cannot_check };
			continue;
		}
		std::string entry = (dir == "/" ? dir : dir + "/") + name;
		if (lstat(entry.c_str(), &st) != 0)
			return { entry, cannot_check };
		if (const char *why = open_to_others(dir_st, dir.c_str())) {
			if (!(dir_st.st_mode & S_ISVTX) || why == another_user)
				return { dir, why };
			if (st.st_uid != geteuid() && st.st_uid != 0)
				return { entry, another_user };
		}
		if (S_ISLNK(st.st_mode)) {
			char target[PATH_MAX];
			ssize_t n = readlink(entry.c_str(), target, sizeof target - 1);
			if (n <= 0 || ++links > 40)
				return { entry, cannot_check };
			std::string rest = pos < todo.size() ? todo.substr(pos) : "";
			todo = std::string(target, static_cast<std::size_t>(n)) + "/" + rest;
			pos = 0;
			if (target[0] == '/') {
				dir = "/";
				stat("/", &dir_st);
			}
			continue;
		}
		if (S_ISDIR(st.st_mode)) {
			dir = entry;
			dir_st = st;
		} else {
			in_file = true;
		}
	}
	if (!in_file)
		st = dir_st;                       // the path ended in a directory
	if (st.st_dev != opened.st_dev || st.st_ino != opened.st_ino)
		return { path, cannot_check };
	return {};
}

// Disables the commands, with one line saying why and what mends it, when
// the file or any directory on its way (links followed) is not the user's
// alone.  This is the guard's whole rule.  The previewer runs no command,
// so its line says whose commands these are.
void
guard_commands(const char *path, FILE *f, command_guard_record &guard)
{
	struct stat st;
	guard_fault fault;
	if (fstat(fileno(f), &st) != 0)
		fault = { path, cannot_check };
	else if (const char *why = open_to_others(st, path, fileno(f)))
		fault = { path, why };
	else
		fault = walk_path(path, st);
	if (!fault.why)
		return;
	guard.disabled = true;
	std::snprintf(guard.reason.data(), guard.reason.size(), "%s %s", fault.where.c_str(), fault.why);
	std::string fix;
	if (fault.why == another_user)
		fix = " (replace it with a copy of your own)";
	else if (fault.why == writable_through_acl)
		fix = " (setfacl -b " + fault.where + ")";
	else if (fault.why != cannot_check)
		fix = " (chmod go-w " + fault.where + ")";
	bool applet = std::strcmp(settings_program, "quarvel") == 0;
	std::fprintf(stderr, "%s: %s %s; %sclick commands are disabled%s\n", settings_program,
	             fault.where.c_str(), fault.why, applet ? "" : "quarvel's ", fix.c_str());
}

// Reads `path` into tunnel_settings and command_guard with every check,
// or leaves both as they were and gives false (errno says why) when it
// cannot be opened, or is a directory and `directory_ok` is not set.
// Missing keys and values that are no numbers are named, unless a
// directory stands in for the file: it reads as empty, and its 19 lines
// would say nothing.
bool
read_file(const char *path, bool directory_ok)
{
	FILE *f = cfg_open(path, cfg_read);
	if (!f)
		return false;
	struct stat st;
	bool directory = fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
	if (directory && !directory_ok) {
		cfg_close();
		errno = EISDIR;
		return false;
	}
	settings_record s = {};
	command_guard_record guard = {};
	report_path = directory ? nullptr : path;
	read_settings(s, guard);
	report_path = nullptr;
	guard_commands(path, f, guard);
	cfg_close();
	check_block("tex_block_w", s.tex_block_w);
	check_block("tex_block_h", s.tex_block_h);
	tunnel_settings = s;
	command_guard = guard;
	return true;
}

// Why there is no file to read, then what runs instead (`instead`).
void
say_no_path(const char *instead)
{
	if (load_state == cfg_path_cut)
		std::fprintf(stderr, "quarvel: the settings path is too long (over %d characters); %s\n",
		             cfg_path_max, instead);
	else if (load_state == path_empty)
		std::fprintf(stderr, "quarvel: the settings file's name is empty; %s\n", instead);
	else
		std::fprintf(stderr, "quarvel: HOME is unset or empty and user %u has no home directory; %s\n",
		             static_cast<unsigned>(getuid()), instead);
}

// Why `path` could not be read (`err` from the attempt), then what runs
// instead.
void
say_unreadable(const char *path, int err, const char *instead)
{
	struct stat st;
	if (stat(path, &st) == 0 && !S_ISREG(st.st_mode))
		std::fprintf(stderr, "quarvel: %s is not a regular file; %s\n", path, instead);
	else
		std::fprintf(stderr, "quarvel: can't read %s (%s); %s\n", path, std::strerror(err), instead);
}

// The directory `path` lies in, "." for a bare name.
std::string
directory_of(const std::string &path)
{
	std::size_t slash = path.find_last_of('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

void
use_defaults()
{
	tunnel_settings = default_settings;
	command_guard = {};
}

} // namespace

bool
settings_read(const char *path)
{
	return read_file(path, false);
}

void
settings_load(const char *file)
{
	use_defaults();
	private_group = {};
	loaded_path[0] = '\0';
	const char *path = file ? file : cfg_file_path(settings_dir, settings_name);
	if (!file)
		load_state = cfg_path_state();
	else
		load_state = !*file ? path_empty : std::strlen(file) > cfg_path_max ? cfg_path_cut : cfg_path_ok;
	// A cut path names something else, and without a home or a name there
	// is nowhere to look: none is read or written.
	if (load_state != cfg_path_ok) {
		say_no_path("using the defaults");
		return;
	}
	safe_strcpy(loaded_path, path, cfg_path_max);
	path = loaded_path;
	struct stat st;
	// Only where nothing exists is there anything to create; HOME itself
	// may be missing, or name something that is no directory.  A file the
	// user names gets no directory made for it.
	if (lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)) {
		std::string dir = directory_of(path);
		if (file && (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
			std::fprintf(stderr, "quarvel: %s was not created: there is no directory %s; using the defaults\n",
			             path, dir.c_str());
			return;
		}
		if (settings_save() || errno != EEXIST)
			return;
		// Something appeared while the defaults were written: it stays, and
		// is read as any start would read it.
	}
	if (read_file(path, true))
		return;
	// Something is there that cannot be read: never write over it.
	int err = errno;
	use_defaults();
	say_unreadable(path, err, "using the defaults");
}

bool
settings_reload()
{
	constexpr const char *keeping = "keeping the settings";
	if (!loaded_path[0]) {
		say_no_path(keeping);
		return false;
	}
	if (read_file(loaded_path, false))
		return true;
	say_unreadable(loaded_path, errno, keeping);
	return false;
}

const char *
settings_path()
{
	return loaded_path;
}

bool
settings_save()
{
	const settings_record &s = tunnel_settings;
	if (!loaded_path[0]) {
		errno = ENOENT;
		return false;
	}
	if (!cfg_open(loaded_path, cfg_write))
		return false;
	for (const setting_key &k : setting_keys) {
		if (auto i = std::get_if<int_field>(&k.field))
			cfg_put_int(k.name, s.**i);
		else if (auto f = std::get_if<float_field>(&k.field))
			cfg_put_float(k.name, s.**f);
		else if (auto t = std::get_if<text_field>(&k.field))
			cfg_put_string(k.name, s.**t);
		if (k.blank_after)
			cfg_put_blank();
	}
	return cfg_close();
}
