// SPDX-License-Identifier: GPL-2.0-or-later
// GIF output through giflib and PNG output through libpng, each into a
// temporary file beside the target that is renamed over it when complete.
#include "image_out.h"

#include <gif_lib.h>
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string
temp_name(const std::string &path)
{
	return path + ".part" + std::to_string(getpid());
}

std::string
gif_error(int code)
{
	const char *text = GifErrorString(code);
	return text ? text : "GIF error " + std::to_string(code);
}

// Repeats each index `scale` times along the row.
void
scale_row(const std::uint8_t *src, int width, int scale, std::uint8_t *dst)
{
	for (int x = 0; x < width; x++)
		for (int k = 0; k < scale; k++)
			*dst++ = src[x];
}

bool
move_into_place(const std::string &temp, const std::string &path, std::string &error)
{
	if (std::rename(temp.c_str(), path.c_str()) == 0)
		return true;
	error = "cannot write " + path + ": " + std::strerror(errno);
	std::remove(temp.c_str());
	return false;
}

} // namespace

bool
gif_begin(gif_stream &gif, const std::string &path, int width, int height, const rgb_palette &palette,
          std::string &error)
{
	gif.path = path;
	gif.temp = temp_name(path);
	// Opened here rather than by giflib, so the file's mode follows the umask.
	int fd = open(gif.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
	if (fd < 0) {
		error = "cannot write " + path + ": " + std::strerror(errno);
		return false;
	}
	int code = 0;
	gif.file = EGifOpenFileHandle(fd, &code);
	if (!gif.file) {
		error = "cannot write " + path + ": " + gif_error(code);
		close(fd);
		std::remove(gif.temp.c_str());
		return false;
	}
	GifColorType colours[256];
	for (int i = 0; i < 256; i++)
		colours[i] = { palette[i][0], palette[i][1], palette[i][2] };
	ColorMapObject *map = GifMakeMapObject(256, colours);
	EGifSetGifVersion(gif.file, true);
	bool ok = map && EGifPutScreenDesc(gif.file, width, height, 8, 0, map) == GIF_OK;
	GifFreeMapObject(map);
	// Loop forever: the application extension every viewer understands.
	static const GifByteType loop_name[] = "NETSCAPE2.0";
	static const GifByteType loop_count[] = { 1, 0, 0 };
	ok = ok && EGifPutExtensionLeader(gif.file, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
	     EGifPutExtensionBlock(gif.file, 11, loop_name) == GIF_OK &&
	     EGifPutExtensionBlock(gif.file, 3, loop_count) == GIF_OK &&
	     EGifPutExtensionTrailer(gif.file) == GIF_OK;
	if (!ok) {
		error = "cannot write " + path + ": " + gif_error(gif.file->Error);
		std::string ignored;
		gif_end(gif, false, ignored);
		return false;
	}
	gif.row.resize(static_cast<std::size_t>(width));
	return true;
}

bool
gif_add_frame(gif_stream &gif, const std::uint8_t *indices, int width, int height, int scale,
              int delay_cs, std::string &error)
{
	GraphicsControlBlock gcb{ DISPOSE_DO_NOT, false, delay_cs, NO_TRANSPARENT_COLOR };
	GifByteType ext[4];
	EGifGCBToExtension(&gcb, ext);
	bool ok = EGifPutExtension(gif.file, GRAPHICS_EXT_FUNC_CODE, 4, ext) == GIF_OK &&
	          EGifPutImageDesc(gif.file, 0, 0, width * scale, height * scale, false, nullptr) == GIF_OK;
	for (int y = 0; ok && y < height; y++) {
		scale_row(indices + static_cast<std::size_t>(y) * width, width, scale, gif.row.data());
		for (int k = 0; ok && k < scale; k++)
			ok = EGifPutLine(gif.file, gif.row.data(), width * scale) == GIF_OK;
	}
	if (!ok)
		error = "cannot write " + gif.path + ": " + gif_error(gif.file->Error);
	return ok;
}

bool
gif_end(gif_stream &gif, bool keep, std::string &error)
{
	int code = 0;
	bool ok = EGifCloseFile(gif.file, &code) == GIF_OK;
	if (!ok)
		error = "cannot write " + gif.path + ": " + gif_error(code);
	if (ok && keep)
		ok = move_into_place(gif.temp, gif.path, error);
	else
		std::remove(gif.temp.c_str());
	gif.file = nullptr;
	return ok && keep;
}

bool
png_write_indexed(const std::string &path, const std::uint8_t *indices, int width, int height,
                  int scale, const rgb_palette &palette, std::string &error)
{
	std::string temp = temp_name(path);
	FILE *f = std::fopen(temp.c_str(), "wb");
	if (!f) {
		error = "cannot write " + path + ": " + std::strerror(errno);
		return false;
	}
	png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
	png_infop info = png ? png_create_info_struct(png) : nullptr;
	std::vector<png_byte> row(static_cast<std::size_t>(width * scale));
	if (!info || setjmp(png_jmpbuf(png))) {
		png_destroy_write_struct(&png, &info);
		std::fclose(f);
		std::remove(temp.c_str());
		error = "cannot write " + path + ": PNG encoding failed";
		return false;
	}
	png_init_io(png, f);
	auto side_w = static_cast<png_uint_32>(width * scale);
	auto side_h = static_cast<png_uint_32>(height * scale);
	png_set_IHDR(png, info, side_w, side_h, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
	             PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
	png_color colours[256];
	for (int i = 0; i < 256; i++)
		colours[i] = { palette[i][0], palette[i][1], palette[i][2] };
	png_set_PLTE(png, info, colours, 256);
	png_write_info(png, info);
	for (int y = 0; y < height; y++) {
		scale_row(indices + static_cast<std::size_t>(y) * width, width, scale, row.data());
		for (int k = 0; k < scale; k++)
			png_write_row(png, row.data());
	}
	png_write_end(png, nullptr);
	png_destroy_write_struct(&png, &info);
	if (std::fclose(f) != 0) {
		error = "cannot write " + path + ": " + std::strerror(errno);
		std::remove(temp.c_str());
		return false;
	}
	return move_into_place(temp, path, error);
}
