// SPDX-License-Identifier: GPL-2.0-or-later
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

// Paths under the home: HOME, or the password database's home of the user
// when HOME is unset or empty.  The directory is created when missing,
// unless the path had to be cut or there is no home; cfg_path_state says
// which (with no home the path is empty).
const char *cfg_dir_path(const char *subdir);
const char *cfg_file_path(const char *subdir, const char *name);
inline constexpr int cfg_path_ok = 0;
inline constexpr int cfg_path_cut = 1;         // longer than cfg_path_max
inline constexpr int cfg_path_homeless = 2;
int cfg_path_state();                          // of the last path built

// Reading takes only a regular file or a directory (which reads as
// empty); anything else (a FIFO, a device) gives null, as a missing file
// does, and errno tells why.  Writing goes to a temporary file that
// cfg_close links to `path` once it is whole, and only if nothing is at
// `path` by then: a failed write leaves `path` as it was.
inline constexpr int cfg_read = 1;
inline constexpr int cfg_write = 2;
FILE *cfg_open(const char *path, int mode);
// Closes the current file; false when a file being written could not be
// written whole or something appeared at `path` meanwhile (errno EEXIST).
// The temporary file is then gone and `path` is untouched.
bool cfg_close();

void cfg_put_int(const char *key, int value);
void cfg_put_float(const char *key, float value);
void cfg_put_string(const char *key, const char *value);
void cfg_put_blank();
void cfg_put_comment(const char *text);

// A line is matched on its first cfg_line_max characters; the rest of a
// longer line is skipped, and one CR before its end is not part of it.
const char *cfg_find_line(const char *key);
const char *cfg_get_string(const char *key);
int cfg_get_int(const char *key);
float cfg_get_float(const char *key);
// True when the value the last lookup found was longer than cfg_value_max
// and has been cut.
bool cfg_value_was_cut();
// True when the last lookup found a line for its key.
bool cfg_key_was_found();
// What the last number lookup made of its value (cfg_number_text): a
// number, perhaps with blanks (spaces, tabs, CRs) after it; no number at
// all, which reads as 0; or a number and then other text, which reads as
// that number.
inline constexpr int cfg_number_whole = 0;
inline constexpr int cfg_number_none = 1;
inline constexpr int cfg_number_partial = 2;
int cfg_number_state();
const char *cfg_number_text();
