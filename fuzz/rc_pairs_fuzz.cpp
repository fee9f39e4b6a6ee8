// Any bytes as a label-and-value file.
#include "dock.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static const std::string path = "/tmp/quarvel-fuzz-rc-" + std::to_string(getpid());
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
