// SPDX-License-Identifier: GPL-2.0-or-later
// Palette images out to files: animated GIFs and PNG stills whose pixels
// are palette indices.  Every file is written under a temporary name and
// renamed into place only when complete, so a failure never leaves a
// partial file behind.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using rgb_palette = std::array<std::array<std::uint8_t, 3>, 256>;

struct GifFileType;

struct gif_stream {
	GifFileType *file = nullptr;
	std::string path;                   // the final name
	std::string temp;                   // written here first
	std::vector<std::uint8_t> row;      // one scaled row
};

// Starts an animated GIF of width x height pixels, looping forever, with
// `palette` as its global colour table.  False on failure, with `error` set.
bool gif_begin(gif_stream &gif, const std::string &path, int width, int height,
               const rgb_palette &palette, std::string &error);
// Adds one frame of width x height indices, each pixel repeated scale times
// in both directions (the stream's size is already the scaled size).
bool gif_add_frame(gif_stream &gif, const std::uint8_t *indices, int width, int height, int scale,
                   int delay_cs, std::string &error);
// Finishes the file and moves it into place; on any failure the temporary
// file is removed; keep = false discards it on purpose.
bool gif_end(gif_stream &gif, bool keep, std::string &error);

// Writes one palette image as an 8-bit indexed PNG.
bool png_write_indexed(const std::string &path, const std::uint8_t *indices, int width, int height,
                       int scale, const rgb_palette &palette, std::string &error);
