// Any bytes as a label-and-value file.
#include "dock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string path;

void
remove_file()
{
	std::remove(path.c_str());
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (path.empty()) {
		path = "/tmp/quarvel-fuzz-rc-" + std::to_string(getpid());
		std::atexit(remove_file);
	}
	FILE *f = std::fopen(path.c_str(), "wb");
	if (!f)
		return 0;
	std::fwrite(data, 1, size, f);
	std::fclose(f);
	std::optional<std::string> a, b = "old", c;
	const rc_pair pairs[] = { { "name", &a }, { "na", &b }, { ":", &c }, { nullptr, nullptr } };
	dock_parse_rc_pairs(path.c_str(), pairs);
	return 0;
}
