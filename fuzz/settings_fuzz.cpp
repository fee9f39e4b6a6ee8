// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as a settings file: the lookups and the loader must neither
// read out of bounds nor reach undefined behaviour, and whatever they make
// of the file must render.
#include "applet.h"
#include "cfg.h"
#include "fuzz_file.h"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const char *path = fuzz_file(data, size);
	if (!path)
		return 0;
	if (settings_read(path)) {
		const settings_record &s = tunnel_settings;
		build_colour_ramps(s);
		build_tunnel_map(s);
		build_texture(s);
		anim_offsets = { 0.0f, 0.0f };
		for (int i = 0; i < 3; i++) {
			render_frame(s);
			advance_offsets(s);
		}
	}
	// Keys that are prefixes of others, and the empty key.
	if (cfg_open(path, cfg_read)) {
		for (const char *key : { "", "t", "t_persp", "command", "#" }) {
			cfg_get_int(key);
			cfg_get_float(key);
		}
		cfg_close();
	}
	return 0;
}
