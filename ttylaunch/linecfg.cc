// linecfg.cc: the enabled-port mask, the configuration texts and the checks
// on the settings that go into them.
#include "linecfg.h"

#include <arpa/inet.h>
#include <limits.h>

const char *const ports::ttyname[port_count] = {"ttySMX0", "ttySMX1", "rfcomm0", "ttyACM0"};

static bool is_space(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

int port_mask(const char *text)
{
	if (!text)
		return 0;
	while (is_space(*text))
		text++;
	bool negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	// Accumulate as a negative number so that INT_MIN fits too.
	long long v = 0;
	for (; *text >= '0' && *text <= '9'; text++) {
		v = v * 10 - (*text - '0');
		if (v < (long long)INT_MIN - 1)
			v = (long long)INT_MIN - 1;
	}
	if (!negative)
		return v < -(long long)INT_MAX ? INT_MAX : (int)-v;
	return v < INT_MIN ? INT_MIN : (int)v;
}

int port_bit(int mask, int port)
{
	if (port < 0 || port >= port_count)
		return 0;
	return mask & (1 << port);
}

void format_dotted(uint32_t net_addr, char buf[dotted_max])
{
	uint32_t a = ntohl(net_addr);
	snprintf(buf, dotted_max, "%u.%u.%u.%u", (unsigned)(a >> 24) & 255, (unsigned)(a >> 16) & 255,
	         (unsigned)(a >> 8) & 255, (unsigned)a & 255);
}

bool is_dotted_ipv4(const char *text)
{
	// inet_pton takes exactly four decimal parts of 0 to 255 without
	// leading zeros, which pppd would otherwise read as octal.
	struct in_addr a;
	return text && inet_pton(AF_INET, text, &a) == 1;
}

bool init_fits_one_line(const char *init)
{
	for (; *init; init++)
		if (*init == '\r' || *init == '\n')
			return false;
	return true;
}

bool write_config_head(FILE *f)
{
	return fputs("debug 0\n", f) >= 0 && fputs("speed 38400\n\n", f) >= 0;
}

bool write_port_stanza(FILE *f, const char *tty, const char *init)
{
	return fprintf(f, "port %s\n", tty) >= 0 && fprintf(f, "    init-chat \"\" %s OK\n\n", init) >= 0;
}

bool write_ppp_options(FILE *f, const char *own, const char *remote)
{
	return fprintf(f, "%s:%s\n", own, remote) >= 0;
}
