// Key=value configuration store.  State: the current file and four reused
// buffers (two paths, one line, one value).  Lookups rescan the current file
// from its start every time; files are a few dozen lines.
#include "cfg.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

char dir_buffer[cfg_path_max + 1];
char file_buffer[cfg_path_max + 1];
char line_buffer[cfg_line_max + 1];
char value_buffer[cfg_value_max + 1];
FILE *current;

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

// Reads one line into line_buffer; false once nothing more can be read.
void
read_line()
{
	int n = 0;
	for (;;) {
		int c = std::getc(current);
		if (c == EOF || c == '\n' || c == line_end_byte)
			break;
		if (n == cfg_line_max)         // the 513th character is dropped
			break;
		line_buffer[n++] = static_cast<char>(c);
	}
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

FILE *
cfg_open(const char *path, int mode)
{
	cfg_close();                        // never leak the previous file
	if (mode == cfg_read)
		current = std::fopen(path, "rb");
	else if (mode == cfg_write)
		current = std::fopen(path, "wb");
	return current;
}

void
cfg_close()
{
	if (current)
		std::fclose(current);
	current = nullptr;
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
	if (!current)
		return line_buffer;
	std::rewind(current);
	std::size_t key_len = std::strlen(key);
	while (!std::feof(current) && !std::ferror(current)) {
		read_line();
		if (line_buffer[0] == '#')
			continue;
		// Only the start is compared: "t_persp_x=" matches "t_persp" too.
		if (std::strncmp(line_buffer, key, key_len) == 0)
			return line_buffer;
	}
	line_buffer[0] = '\0';
	return line_buffer;
}

const char *
cfg_get_string(const char *key)
{
	const char *line = cfg_find_line(key);
	const char *eq = std::strchr(line, '=');
	safe_strcpy(value_buffer, eq ? eq + 1 : "", cfg_value_max);
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
