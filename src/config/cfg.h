// Key=value configuration store: per-user paths under HOME, one current
// file open for reading or writing, "key=value" lines written and found by
// key, and the bounded string copy and append the paths are built with.
//
// Returned texts live in module buffers and stay valid only until the next
// call of the same kind.
#pragma once

#include <cstdio>

inline constexpr int cfg_path_max = 1024;    // characters of a path
inline constexpr int cfg_line_max = 512;     // characters of a line read
inline constexpr int cfg_value_max = 256;    // characters of a value

// Bounded copy and append into a buffer of max + 1 bytes; an overflow is
// reported on standard output and the text is cut.
char *safe_strcpy(char *dst, const char *src, int max);
char *safe_strcat(char *dst, const char *src, int max);

const char *cfg_dir_path(const char *subdir);
const char *cfg_file_path(const char *subdir, const char *name);

inline constexpr int cfg_read = 1;
inline constexpr int cfg_write = 2;
FILE *cfg_open(const char *path, int mode);
void cfg_close();

void cfg_put_int(const char *key, int value);
void cfg_put_float(const char *key, float value);
void cfg_put_string(const char *key, const char *value);
void cfg_put_blank();
void cfg_put_comment(const char *text);

const char *cfg_find_line(const char *key);
const char *cfg_get_string(const char *key);
int cfg_get_int(const char *key);
float cfg_get_float(const char *key);
