// SPDX-License-Identifier: GPL-2.0-or-later
// Key=value configuration store.  State: the current file and four reused
// buffers (two paths, one line, one value).  Lookups rescan the current file
// from its start every time; files are a few dozen lines.
//
// A file is written whole or not at all: the lines go to a fresh temporary
// file beside it, which replaces the file only once every byte has reached
// the disk.  Readers never see a half-written file, and a full disk or a
// file-size limit leaves the old state as it was.
#include "cfg.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// While a file is being written: where it goes, and its temporary name.
struct pending_write {
	bool active;
	char target[cfg_path_max + 1];
	char temp[cfg_path_max + 8];         // target + ".XXXXXX"
	struct sigaction saved_xfsz;
} writing;

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

const char *
cfg_dir_path(const char *subdir)
{
	safe_strcpy(dir_buffer, std::getenv("HOME"), cfg_path_max);
	safe_strcat(dir_buffer, "/", cfg_path_max);
	if (subdir)
		safe_strcat(dir_buffer, subdir, cfg_path_max);
	struct stat st;
	if (stat(dir_buffer, &st) != 0)
		mkdir(dir_buffer, 0700);        // a failure shows when the file is opened
	return dir_buffer;
}

const char *
cfg_file_path(const char *subdir, const char *name)
{
	safe_strcpy(file_buffer, cfg_dir_path(subdir), cfg_path_max);
	safe_strcat(file_buffer, "/", cfg_path_max);
	if (name)
		safe_strcat(file_buffer, name, cfg_path_max);
	return file_buffer;
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

// Starts a write into a temporary file beside `path`, created exclusively
// with mode 0600.  A file-size limit must fail the write, not kill the
// process, so SIGXFSZ is ignored until cfg_close.
FILE *
open_for_writing(const char *path)
{
	std::size_t n = std::strlen(path);
	if (n > cfg_path_max) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
	std::memcpy(writing.target, path, n + 1);
	std::memcpy(writing.temp, path, n);
	std::memcpy(writing.temp + n, ".XXXXXX", 8);
	int fd = mkostemp(writing.temp, O_CLOEXEC);
	if (fd < 0)
		return nullptr;
	FILE *f = fdopen(fd, "wb");
	if (!f) {
		close(fd);
		unlink(writing.temp);
		return nullptr;
	}
	struct sigaction ignore = {};
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGXFSZ, &ignore, &writing.saved_xfsz);
	writing.active = true;
	return f;
}

// Flushes, syncs and closes the temporary file, then renames it onto the
// target; on any failure the temporary file goes and the target is left as
// it was.
bool
finish_write(FILE *f)
{
	bool whole = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0;
	whole = std::fclose(f) == 0 && whole;
	whole = whole && std::rename(writing.temp, writing.target) == 0;
	if (!whole)
		unlink(writing.temp);
	sigaction(SIGXFSZ, &writing.saved_xfsz, nullptr);
	writing.active = false;
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
	long v = std::strtol(cfg_get_string(key), nullptr, 10);
	return static_cast<int>(v);
}

float
cfg_get_float(const char *key)
{
	return narrow_to_float(std::strtod(cfg_get_string(key), nullptr));
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
