// SPDX-License-Identifier: GPL-2.0-or-later
// Palette indices to X pixel values in an image buffer, for the formats
// nearly every server uses.  Plain byte work, no X.
#include "applet.h"

#include <cstring>

namespace {

// Each index becomes a `scale` x `scale` block: the first row of a block
// is written pixel by pixel, the others are copies of it.
template <typename T>
void
convert_rows(const well_bytes &frame, const std::array<unsigned long, palette_size> &pixels,
             int bytes_per_line, std::uint8_t *data, int scale)
{
	std::array<T, palette_size> narrow;       // only the low bits are stored
	for (int i = 0; i < palette_size; i++)
		narrow[i] = static_cast<T>(pixels[i]);
	const auto line = static_cast<std::size_t>(bytes_per_line);
	if (scale == 1) {                      // the common case, as fast as it was
		for (int r = 0; r < well_side; r++) {
			std::uint8_t *row = data + static_cast<std::size_t>(r) * line;
			const std::uint8_t *in = frame.data() + r * well_side;
			for (int c = 0; c < well_side; c++) {
				T v = narrow[in[c]];
				std::memcpy(row + static_cast<std::size_t>(c) * sizeof(T), &v, sizeof(T));
			}
		}
		return;
	}
	for (int r = 0; r < well_side; r++) {
		std::uint8_t *row = data + static_cast<std::size_t>(r * scale) * line;
		const std::uint8_t *in = frame.data() + r * well_side;
		for (int c = 0; c < well_side; c++) {
			T v = narrow[in[c]];
			for (int k = 0; k < scale; k++)
				std::memcpy(row + static_cast<std::size_t>(c * scale + k) * sizeof(T), &v, sizeof(T));
		}
		for (int k = 1; k < scale; k++)
			std::memcpy(row + static_cast<std::size_t>(k) * line, row,
			            static_cast<std::size_t>(well_side * scale) * sizeof(T));
	}
}

} // namespace

bool
convert_frame(const well_bytes &frame, const std::array<unsigned long, palette_size> &pixels,
              int bits_per_pixel, int bytes_per_line, std::uint8_t *data, int scale)
{
	switch (bits_per_pixel) {
	case 8:
		convert_rows<std::uint8_t>(frame, pixels, bytes_per_line, data, scale);
		return true;
	case 16:
		convert_rows<std::uint16_t>(frame, pixels, bytes_per_line, data, scale);
		return true;
	case 32:
		convert_rows<std::uint32_t>(frame, pixels, bytes_per_line, data, scale);
		return true;
	default:
		return false;
	}
}
