// linecfg.h: the pure side of ttylaunch, what it makes of keld's line
// settings: the enabled-port mask, the texts of the mgetty configuration and
// of the pppd options files, and the checks that keep a setting from
// smuggling extra lines into either file.
#ifndef TTYLAUNCH_LINECFG_H
#define TTYLAUNCH_LINECFG_H

#include <stdint.h>
#include <stdio.h>

constexpr int port_count = 4;           // serial lines, numbered 0 to 3

// The port table: device names under /dev, by port. It lives in a namespace
// of its own because the C library's ttyname() holds the plain name.
namespace ports {
extern const char *const ttyname[port_count];
}

// Convert the "MGETTY-PORT" text to the enabled-port mask the way atoi does:
// leading white space, an optional sign, digits up to the first non-digit;
// no digits (or no text at all) give 0.  Values beyond int saturate.
int port_mask(const char *text);

// Return the port's bit of mask (4 for port 2), 0 when it is clear or the
// port is not one of ours.
int port_bit(int mask, int port);

// True when text is a plain dotted-decimal IPv4 address and nothing else.
bool is_dotted_ipv4(const char *text);

// True when an initialisation string can go into the configuration verbatim:
// a carriage return or line feed would end the init-chat line early and let
// the rest of the value stand as configuration lines of their own.
bool init_fits_one_line(const char *init);

// Write the head of the mgetty configuration. Return false on a write error.
bool write_config_head(FILE *f);

// Write the stanza of one port. Return false on a write error.
bool write_port_stanza(FILE *f, const char *tty, const char *init);

// Write the one line of a pppd options file. Return false on a write error.
bool write_ppp_options(FILE *f, const char *own, const char *remote);

#endif
