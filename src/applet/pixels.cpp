// SPDX-License-Identifier: GPL-2.0-or-later
// Palette indices to X pixel values in an image buffer, for the formats
// nearly every server uses.  Plain byte work, no X.
#include "applet.h"

#include <cstring>

namespace {

template <typename T>
void
convert_rows(const well_bytes &frame, const std::array<unsigned long, palette_size> &pixels,
             int bytes_per_line, std::uint8_t *data)
{
	std::array<T, palette_size> narrow;       // only the low bits are stored
	for (int i = 0; i < palette_size; i++)
		narrow[i] = static_cast<T>(pixels[i]);
	for (int r = 0; r < well_side; r++) {
		std::uint8_t *row = data + static_cast<std::size_t>(r) * static_cast<std::size_t>(bytes_per_line);
		const std::uint8_t *in = frame.data() + r * well_side;
		for (int c = 0; c < well_side; c++) {
			T v = narrow[in[c]];
			std::memcpy(row + c * sizeof(T), &v, sizeof(T));
		}
	}
}

} // namespace

bool
convert_frame(const well_bytes &frame, const std::array<unsigned long, palette_size> &pixels,
              int bits_per_pixel, int bytes_per_line, std::uint8_t *data)
{
	switch (bits_per_pixel) {
	case 8:
		convert_rows<std::uint8_t>(frame, pixels, bytes_per_line, data);
		return true;
	case 16:
		convert_rows<std::uint16_t>(frame, pixels, bytes_per_line, data);
		return true;
	case 32:
		convert_rows<std::uint32_t>(frame, pixels, bytes_per_line, data);
		return true;
	default:
		return false;
	}
}
