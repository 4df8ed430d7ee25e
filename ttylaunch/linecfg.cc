// linecfg.cc: the enabled-port mask, the configuration texts and the checks
// on the settings that go into them.
#include "linecfg.h"
#include "number.h"

#include <arpa/inet.h>

const char *const ports::ttyname[port_count] = {"ttySMX0", "ttySMX1", "rfcomm0", "ttyACM0"};

int port_mask(const char *text)
{
	int mask = 0;
	if (text)
		parse_number(text, number_prefix, &mask);
	return mask;
}

int port_bit(int mask, int port)
{
	if (port < 0 || port >= port_count)
		return 0;
	return mask & (1 << port);
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
