// SPDX-License-Identifier: GPL-2.0-or-later
// Key=value configuration store.  State: the current file and four reused
// buffers (two paths, one line, one value).  Lookups rescan the current file
// from its start every time; files are a few dozen lines.
//
// A file is written whole or not at all, and never over anything: the lines
// go to a temporary file beside it (unnamed where the file system allows),
// which is linked into place only once every byte has reached the disk and
// only if nothing is at the path by then.  Readers never see a half-written
// file, a full disk or a file-size limit leaves the old state as it was, and
// a file that appeared meanwhile stays.
#include "cfg.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char dir_buffer[cfg_path_max + 1];
char file_buffer[cfg_path_max + 1];
char line_buffer[cfg_line_max + 1];
char value_buffer[cfg_value_max + 1];
FILE *current;
bool value_cut;                          // the last value read was cut
bool key_found;                          // the last lookup found its key
int number_state;                        // of the last number read: cfg_number_whole ...
int path_state;                          // cfg_path_ok, _cut or _homeless

// While a file is being written: where it goes, and its temporary name.
struct pending_write {
	bool active;
	bool unnamed;                        // an O_TMPFILE: no name until linked
	char target[cfg_path_max + 1];
	char temp[cfg_path_max + 12];        // target + temp_suffix, when named
	struct sigaction saved_xfsz;
} writing;

// Named temporary files end in this and six random characters, a pattern a
// user's own backup copy is unlikely to have.
constexpr char temp_suffix[] = ".tmp-XXXXXX";
constexpr int stale_after_s = 60;        // a temporary file older is a leftover

constexpr int line_end_byte = 0xFF;   // ends a line like a line feed

// atof's double narrowed to float as IEEE rounding does it, without the
// undefined behaviour of casting a double beyond the float range: values
// from the midpoint between FLT_MAX and 2^128 upwards become infinite.
float
narrow_to_float(double d)
{
	constexpr double overflow = 0x1.ffffffp127;
	if (d >= overflow)
		return HUGE_VALF;
	if (d <= -overflow)
		return -HUGE_VALF;
	return static_cast<float>(d);
}

// Where the conversion of value_buffer stopped: at its start, at its end
// (blanks aside), or before other text.
void
note_number_end(const char *end)
{
	if (end == value_buffer)
		number_state = cfg_number_none;
	else
		number_state = end[std::strspn(end, " \t\r")] ? cfg_number_partial : cfg_number_whole;
}

// Reads one line into line_buffer: its first cfg_line_max characters, with
// the rest of a longer line skipped to its end (so the tail of a long
// comment is never read as a line), and without one CR that ends the line
// (CRLF files).
void
read_line()
{
	int n = 0;
	bool whole = true;
	int c;
	while ((c = std::getc(current)) != EOF && c != '\n' && c != line_end_byte) {
		if (n < cfg_line_max)
			line_buffer[n++] = static_cast<char>(c);
		else
			whole = false;
	}
	if (whole && n > 0 && line_buffer[n - 1] == '\r')
		n--;
	line_buffer[n] = '\0';
}

// HOME, or when it is unset or empty the password database's home of the
// user; null when neither names one.
const char *
home_dir()
{
	const char *home = std::getenv("HOME");
	if (home && home[0])
		return home;
	const passwd *pw = getpwuid(getuid());
	return pw && pw->pw_dir && pw->pw_dir[0] ? pw->pw_dir : nullptr;
}

// head "/" tail (no tail when null) into `out`, cut at cfg_path_max with
// the overflow messages as the appends meet them; false when it was cut.
bool
join_path(char (&out)[cfg_path_max + 1], const char *head, const char *tail)
{
	std::size_t want = std::strlen(head) + 1 + (tail ? std::strlen(tail) : 0);
	safe_strcpy(out, head, cfg_path_max);
	safe_strcat(out, "/", cfg_path_max);
	if (tail)
		safe_strcat(out, tail, cfg_path_max);
	return want <= cfg_path_max;
}

// Builds home "/" subdir in dir_buffer, touching nothing on disk.
int
build_dir(const char *subdir)
{
	const char *home = home_dir();
	if (!home) {
		dir_buffer[0] = '\0';
		return cfg_path_homeless;
	}
	return join_path(dir_buffer, home, subdir) ? cfg_path_ok : cfg_path_cut;
}

void
make_dir()
{
	struct stat st;
	if (stat(dir_buffer, &st) != 0)
		mkdir(dir_buffer, 0700);        // a failure shows when the file is opened
}

} // namespace

char *
safe_strcpy(char *dst, const char *src, int max)
{
	if (!dst) {
		std::printf("ERROR: NULL dest in safe_strcpy\n");
		return dst;
	}
	if (!src) {
		dst[0] = '\0';
		return dst;
	}
	std::size_t n = std::strlen(src);
	auto limit = static_cast<std::size_t>(max < 0 ? 0 : max);
	if (n > limit) {
		std::printf("ERROR: string overflow by %d in safe_strcpy [%.50s]\n",
		            static_cast<int>(n - limit), src);
		n = limit;
	}
	std::memcpy(dst, src, n);
	dst[n] = '\0';
	return dst;
}

char *
safe_strcat(char *dst, const char *src, int max)
{
	if (!dst) {
		std::printf("ERROR: NULL dest in safe_strcat\n");
		return dst;
	}
	if (!src)
		return dst;
	std::size_t c = std::strlen(dst);
	std::size_t a = std::strlen(src);
	auto limit = static_cast<std::size_t>(max < 0 ? 0 : max);
	if (c + a > limit) {
		std::printf("ERROR: string overflow by %d in safe_strcat [%.50s]\n",
		            static_cast<int>(c + a - limit), src);
		a = c < limit ? limit - c : 0;
	}
	std::memcpy(dst + c, src, a);
	dst[c + a] = '\0';
	return dst;
}

// A cut path names something else, so it is never created (nor, by the
// callers, read); with no home at all there is nothing to name.
const char *
cfg_dir_path(const char *subdir)
{
	path_state = build_dir(subdir);
	if (path_state == cfg_path_ok)
		make_dir();
	return dir_buffer;
}

const char *
cfg_file_path(const char *subdir, const char *name)
{
	path_state = build_dir(subdir);
	if (path_state == cfg_path_homeless) {
		file_buffer[0] = '\0';
		return file_buffer;
	}
	if (!join_path(file_buffer, dir_buffer, name) && path_state == cfg_path_ok)
		path_state = cfg_path_cut;
	if (path_state == cfg_path_ok)
		make_dir();
	return file_buffer;
}

int
cfg_path_state()
{
	return path_state;
}

namespace {

// Opens for reading without ever blocking: a FIFO or a device in place of a
// file would hang the open or never end a lookup, so only regular files and
// directories (which read as empty) are taken.
FILE *
open_for_reading(const char *path)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return nullptr;
	struct stat st;
	if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
		close(fd);
		errno = EINVAL;
		return nullptr;
	}
	FILE *f = fdopen(fd, "rb");
	if (!f)
		close(fd);
	return f;
}

// The directory part of `path` in `dir`, "." for a bare name; `name` gets
// the last component.
void
split_path(const char *path, char (&dir)[cfg_path_max + 12], const char *&name)
{
	const char *slash = std::strrchr(path, '/');
	name = slash ? slash + 1 : path;
	if (!slash) {
		std::memcpy(dir, ".", 2);
		return;
	}
	std::size_t n = slash == path ? 1 : static_cast<std::size_t>(slash - path);
	std::memcpy(dir, path, n);
	dir[n] = '\0';
}

// Removes what killed writes of `name` left in `dir`: the user's own
// regular files named like our temporary files and older than a minute
// (a younger one may be another start's write in progress).
void
remove_stale_temps(const char *dir, const char *name)
{
	DIR *d = opendir(dir);
	if (!d)
		return;
	std::size_t n = std::strlen(name);
	constexpr std::size_t prefix = sizeof temp_suffix - 7;    // ".tmp-"
	std::time_t now = std::time(nullptr);
	while (const dirent *e = readdir(d)) {
		if (std::strlen(e->d_name) != n + sizeof temp_suffix - 1 ||
		    std::strncmp(e->d_name, name, n) != 0 ||
		    std::strncmp(e->d_name + n, temp_suffix, prefix) != 0)
			continue;
		struct stat st;
		if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
		    st.st_uid == geteuid() && st.st_mtime < now - stale_after_s)
			unlinkat(dirfd(d), e->d_name, 0);
	}
	closedir(d);
}

// An unnamed temporary file in `dir`, or -1.  Linking one into place goes
// through /proc/self/fd, so without /proc a named file is used instead.
int
open_unnamed(const char *dir)
{
	struct stat st;
	if (stat("/proc/self/fd", &st) != 0) {
		errno = EOPNOTSUPP;
		return -1;
	}
	return open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

// Starts a write into a temporary file beside `path`, with mode 0600: an
// unnamed one where the file system has them, so a killed start leaves
// nothing, else a named one made exclusively.  A file-size limit must fail
// the write, not kill the process, so SIGXFSZ is ignored until cfg_close.
FILE *
open_for_writing(const char *path)
{
	std::size_t n = std::strlen(path);
	if (n > cfg_path_max) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
	std::memcpy(writing.target, path, n + 1);
	const char *name;
	split_path(path, writing.temp, name);
	int fd = open_unnamed(writing.temp);
	writing.unnamed = fd >= 0;
	if (!writing.unnamed) {
		if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
			return nullptr;
		remove_stale_temps(writing.temp, name);
		std::memcpy(writing.temp, path, n);
		std::memcpy(writing.temp + n, temp_suffix, sizeof temp_suffix);
		fd = mkostemp(writing.temp, O_CLOEXEC);
		if (fd < 0)
			return nullptr;
	}
	FILE *f = fdopen(fd, "wb");
	if (!f) {
		close(fd);
		if (!writing.unnamed)
			unlink(writing.temp);
		return nullptr;
	}
	struct sigaction ignore = {};
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGXFSZ, &ignore, &writing.saved_xfsz);
	writing.active = true;
	return f;
}

// Gives the finished file the target's name, only if nothing has it: each
// way fails with EEXIST when something appeared at the path meanwhile.
bool
place_file(int fd)
{
	if (writing.unnamed) {
		char proc[32];
		std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
		return linkat(AT_FDCWD, proc, AT_FDCWD, writing.target, AT_SYMLINK_FOLLOW) == 0;
	}
	if (renameat2(AT_FDCWD, writing.temp, AT_FDCWD, writing.target, RENAME_NOREPLACE) == 0)
		return true;
	if (errno != EINVAL && errno != ENOSYS)
		return false;
	return link(writing.temp, writing.target) == 0;    // no RENAME_NOREPLACE here
}

// Flushes and syncs the temporary file, then puts it in place; on any
// failure it goes and the path is left as it was.  errno tells why
// (EEXIST: something appeared at the path).
bool
finish_write(FILE *f)
{
	bool whole = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0;
	whole = whole && place_file(fileno(f));
	int err = errno;
	std::fclose(f);                     // the data has reached the disk already
	if (!writing.unnamed)
		unlink(writing.temp);           // gone when renamed; a second name when linked
	sigaction(SIGXFSZ, &writing.saved_xfsz, nullptr);
	writing.active = false;
	errno = err;
	return whole;
}

} // namespace

FILE *
cfg_open(const char *path, int mode)
{
	cfg_close();                        // never leak the previous file
	if (mode == cfg_read)
		current = open_for_reading(path);
	else if (mode == cfg_write)
		current = open_for_writing(path);
	return current;
}

bool
cfg_close()
{
	FILE *f = current;
	current = nullptr;
	if (!f)
		return true;
	if (writing.active)
		return finish_write(f);
	std::fclose(f);
	return true;
}

void
cfg_put_int(const char *key, int value)
{
	if (current)
		std::fprintf(current, "%s=%d\n", key, value);
}

void
cfg_put_float(const char *key, float value)
{
	if (current)
		std::fprintf(current, "%s=%f\n", key, static_cast<double>(value));
}

void
cfg_put_string(const char *key, const char *value)
{
	if (current)
		std::fprintf(current, "%s=%s\n", key, value);
}

void
cfg_put_blank()
{
	if (current)
		std::fputc('\n', current);
}

void
cfg_put_comment(const char *text)
{
	char comment[cfg_line_max + 1];
	safe_strcpy(comment, "# ", cfg_line_max);
	safe_strcat(comment, text, cfg_line_max);
	if (current)
		std::fputs(comment, current);
}

const char *
cfg_find_line(const char *key)
{
	line_buffer[0] = '\0';
	key_found = false;
	if (!current)
		return line_buffer;
	std::rewind(current);
	std::size_t key_len = std::strlen(key);
	while (!std::feof(current) && !std::ferror(current)) {
		read_line();
		if (line_buffer[0] == '#')
			continue;
		// Only the start is compared: "t_persp_x=" matches "t_persp" too.
		if (std::strncmp(line_buffer, key, key_len) == 0) {
			key_found = true;
			return line_buffer;
		}
	}
	line_buffer[0] = '\0';
	return line_buffer;
}

const char *
cfg_get_string(const char *key)
{
	const char *line = cfg_find_line(key);
	const char *eq = std::strchr(line, '=');
	const char *value = eq ? eq + 1 : "";
	value_cut = std::strlen(value) > cfg_value_max;
	safe_strcpy(value_buffer, value, cfg_value_max);
	return value_buffer;
}

int
cfg_get_int(const char *key)
{
	// atoi's result without its undefined behaviour beyond the int range:
	// the low 32 bits of strtol's value, as atoi gives them here.
	char *end;
	long v = std::strtol(cfg_get_string(key), &end, 10);
	note_number_end(end);
	return static_cast<int>(v);
}

float
cfg_get_float(const char *key)
{
	char *end;
	double v = std::strtod(cfg_get_string(key), &end);
	note_number_end(end);
	return narrow_to_float(v);
}

int
cfg_number_state()
{
	return number_state;
}

const char *
cfg_number_text()
{
	return value_buffer;
}

bool
cfg_value_was_cut()
{
	return value_cut;
}

bool
cfg_key_was_found()
{
	return key_found;
}
