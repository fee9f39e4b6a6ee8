// SPDX-License-Identifier: GPL-2.0-or-later
// Micro-benchmarks of the renderer's tables and frames, the conversion of a
// frame into image pixels, and, when a display is reachable, one whole
// frame of the applet against a real X server.
#include "dock.h"
#include "frame.h"

#include <X11/Xutil.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

void
BM_build_colour_ramps(benchmark::State &state)
{
	for (auto _ : state) {
		build_colour_ramps(default_settings);
		benchmark::DoNotOptimize(colour_ramps);
	}
}
BENCHMARK(BM_build_colour_ramps);

void
BM_build_tunnel_map(benchmark::State &state)
{
	for (auto _ : state) {
		build_tunnel_map(default_settings);
		benchmark::DoNotOptimize(tunnel_map);
	}
}
BENCHMARK(BM_build_tunnel_map);

void
BM_build_texture(benchmark::State &state)
{
	for (auto _ : state) {
		build_texture(default_settings);
		benchmark::DoNotOptimize(tunnel_texture);
	}
}
BENCHMARK(BM_build_texture);

void
BM_render_frame(benchmark::State &state)
{
	build_tunnel_map(default_settings);
	build_texture(default_settings);
	anim_offsets = { 0.0f, 0.0f };
	for (auto _ : state) {
		render_frame(default_settings);
		advance_offsets(default_settings);
		benchmark::DoNotOptimize(index_frame);
	}
}
BENCHMARK(BM_render_frame);

void
BM_convert_frame(benchmark::State &state)
{
	int bpp = static_cast<int>(state.range(0));
	int bytes_per_line = well_side * bpp / 8;
	std::vector<std::uint8_t> buffer(static_cast<std::size_t>(bytes_per_line) * well_side);
	std::array<unsigned long, palette_size> pixels;
	for (int i = 0; i < palette_size; i++)
		pixels[i] = 0x10101ul * static_cast<unsigned long>(i);
	build_tunnel_map(default_settings);
	build_texture(default_settings);
	render_frame(default_settings);
	for (auto _ : state) {
		convert_frame(index_frame, pixels, bpp, bytes_per_line, buffer.data());
		benchmark::DoNotOptimize(buffer.data());
	}
}
BENCHMARK(BM_convert_frame)->Arg(8)->Arg(16)->Arg(32);

// The X part runs only when DISPLAY names a server (make bench starts one).
bool x_ready;

void
BM_convert_frame_xputpixel(benchmark::State &state)
{
	if (!x_ready) {
		state.SkipWithError("no display");
		return;
	}
	for (auto _ : state) {
		convert_frame_generic(frame_image);
		benchmark::DoNotOptimize(frame_image->data);
	}
}
BENCHMARK(BM_convert_frame_xputpixel);

// One frame as the loop runs it, with a round trip at the end so the
// server's share of the work is inside the measured time.
void
BM_whole_frame_on_x(benchmark::State &state)
{
	if (!x_ready) {
		state.SkipWithError("no display");
		return;
	}
	for (auto _ : state) {
		applet_frame();
		XSync(dock_state.display, False);
	}
}
BENCHMARK(BM_whole_frame_on_x);

} // namespace

int
main(int argc, char **argv)
{
	if (const char *display = std::getenv("DISPLAY"); display && *display) {
		if (Display *probe = XOpenDisplay(nullptr)) {
			XCloseDisplay(probe);
			static char name[] = "quarvel-bench";     // the toolkit keeps argv
			static char *args[] = { name, nullptr };
			tunnel_settings = default_settings;
			dock_open_window(1, args, nullptr, frame_xpm, frame_mask_bits, frame_side, frame_side);
			applet_setup();
			x_ready = true;
		}
	}
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
