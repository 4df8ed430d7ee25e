// ttylaunch's checks of the line settings keld hands it: whatever a setting
// holds, the enabled-port mask reads as atoi would (saturated), an address
// it accepts is one that reads back the same, and an initialisation string
// it accepts stays on its one line of the configuration.
#include <arpa/inet.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "linecfg.h"

static int saturated_atoi(const char *text)
{
	long v = strtol(text, nullptr, 10);
	return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

static size_t lines_of(const char *text, size_t length)
{
	size_t n = 0;
	for (size_t i = 0; i < length; i++)
		n += text[i] == '\n';
	return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string value((const char *)data, size);  // keld's texts end at their NUL
	const char *text = value.c_str();

	int mask = port_mask(text);
	if (mask != saturated_atoi(text))
		abort();
	for (int port = -1; port <= port_count; port++)
		if (port_bit(mask, port) != (port >= 0 && port < port_count ? mask & (1 << port) : 0))
			abort();

	if (is_dotted_ipv4(text)) {
		struct in_addr a;
		char back[INET_ADDRSTRLEN];
		if (inet_pton(AF_INET, text, &a) != 1 || !inet_ntop(AF_INET, &a, back, sizeof back))
			abort();
		if (strcmp(back, text) != 0)
			abort();
	}

	if (init_fits_one_line(text)) {
		char *out = nullptr;
		size_t length = 0;
		FILE *f = open_memstream(&out, &length);
		if (!f || !write_port_stanza(f, "ttySMX0", text) || fclose(f) != 0)
			abort();
		if (lines_of(out, length) != 3)  // port, init-chat, the blank line after
			abort();
		free(out);
	}
	return 0;
}
