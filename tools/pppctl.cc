// pppctl: ask keld to bring a dial-up link up on a serial port or take it down.
//
// keld does the work; this tool checks the command, announces what it asks
// for and passes the request on.  Everything it says goes to standard
// output.  Exit status 0 once the request has been passed on, whether keld
// carried it out or not; 1 after the usage text or when keld is unreachable.
#include <stdio.h>

#include "kel.h"
#include "keld_login.h"
#include "number.h"

constexpr int argument_count = 3;       // command, serial port, connect-to

enum command {
	connect_link = 1,
	disconnect_link = 3,
};

// The name announced for each connect-to value, indexed by the value.
static const char *const connect_to_names[] = {
	"",
	"ISP",
	"Mobile GPRS",
	"custom",
};
constexpr int connect_to_name_count = sizeof connect_to_names / sizeof connect_to_names[0];

static void usage()
{
	fputs("Usage : pppctl [command] [serial_port] [connect_to] \n"
	      "        command: (1)connect to isp, (3)disconnected\n"
	      "        serial_port: 0, 1\n"
	      "        connect_to: 1(isp), 2(gprs), 3(custom)\n",
	      stdout);
}

// The connect-to value's name; a value keld may know but we have no name
// for is announced as "unknown" rather than read from past the table.
static const char *connect_to_name(int connect_to)
{
	if (connect_to < 0 || connect_to >= connect_to_name_count)
		return "unknown";
	return connect_to_names[connect_to];
}

int main(int argc, char **argv)
{
	if (argc != argument_count + 1) {
		usage();
		return 1;
	}
	int cmd, port, connect_to;
	parse_number(argv[1], number_prefix, &cmd);
	parse_number(argv[2], number_prefix, &port);
	parse_number(argv[3], number_prefix, &connect_to);

	int handle;
	if (keld_login_community(stdout, &handle) != keld_logged_in) {
		puts("Cannot connect to keld");
		return 1;
	}

	if (cmd == connect_link) {
		printf("/dev/ttySMX%d : Connecting to %s.\n", port, connect_to_name(connect_to));
	} else if (cmd == disconnect_link) {
		printf("/dev/ttySMX%d : %s : Disconnected.\n", port, connect_to_name(connect_to));
	} else {
		usage();
		return 1;       // the end of the process closes the connection
	}

	// The port and connect-to value go to keld as given: keld knows which
	// lines and providers exist.
	// The status says only that the request was passed on; whether keld
	// carried it out is told by the line below, for whoever reads the output.
	if (kel_ppp_command(handle, cmd, port, connect_to) != 0)
		puts("call libkel failed!");
	kel_disconnect(handle);
	return 0;
}
