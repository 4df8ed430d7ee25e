// pppctl: ask keld to bring a dial-up link up on a serial port or take it down.
//
// keld does the work; this tool checks the command, announces what it asks
// for and passes the request on.  Everything it says goes to standard
// output.  Exit status 0 once the request has been passed on, whether keld
// carried it out or not; 1 after the usage text, when keld is unreachable or
// refuses the login, or when the run took longer than run_bound_s.
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include "kel.h"
#include "keld_login.h"
#include "number.h"
#include "run_bound.h"

constexpr int argument_count = 3;       // command, serial port, connect-to
constexpr unsigned run_bound_s = 10;    // longest run, keld's answers included

enum command {
	connect_link = 1,
	disconnect_link = 3,
};

// The name announced for each connect-to value, indexed by the value; no
// other value is taken.
static const char *const connect_to_names[] = {
	"",
	"ISP",
	"Mobile GPRS",
	"custom",
};
constexpr int connect_to_count = sizeof connect_to_names / sizeof connect_to_names[0];

static void usage()
{
	fputs("Usage : pppctl [command] [serial_port] [connect_to] \n"
	      "        command: (1)connect to isp, (3)disconnected\n"
	      "        serial_port: 0, 1\n"
	      "        connect_to: 1(isp), 2(gprs), 3(custom)\n",
	      stdout);
}

// Read argument text, named name in the usage text, as a whole number in
// [low, high] into *value; on anything else say which argument was wrong and
// return false.
static bool read_argument(const char *text, const char *name, int low, int high, int *value)
{
	if (parse_number(text, {true, true, low, high}, value))
		return true;
	printf("Invalid %s '%s'\n", name, text);
	return false;
}

int main(int argc, char **argv)
{
	if (argc != argument_count + 1) {
		usage();
		return 1;
	}
	// The announcement must be out before a call that the run's bound may
	// cut short.
	setvbuf(stdout, nullptr, _IOLBF, 0);
	end_run_after(run_bound_s, STDOUT_FILENO, 1);

	int handle;
	if (keld_login_community(stdout, &handle) != keld_logged_in) {
		puts("Cannot connect to keld");
		return 1;
	}

	// Checked once keld is known to answer, so that a dead keld is what
	// the caller hears about first.  Any port may exist: keld knows which
	// lines there are.  A typo is refused rather than dialled.
	int cmd, port, connect_to;
	bool ok = read_argument(argv[1], "command", connect_link, disconnect_link, &cmd);
	if (ok && cmd != connect_link && cmd != disconnect_link) {
		printf("Invalid command '%s'\n", argv[1]);
		ok = false;
	}
	ok = ok && read_argument(argv[2], "serial_port", 0, INT_MAX, &port) &&
	     read_argument(argv[3], "connect_to", 0, connect_to_count - 1, &connect_to);
	if (!ok) {
		usage();
		return 1;       // the end of the process closes the connection
	}

	if (cmd == connect_link)
		printf("/dev/ttySMX%d : Connecting to %s.\n", port, connect_to_names[connect_to]);
	else
		printf("/dev/ttySMX%d : %s : Disconnected.\n", port, connect_to_names[connect_to]);

	// The status says only that the request was passed on; whether keld
	// carried it out is told by the line below, for whoever reads the output.
	if (kel_ppp_command(handle, cmd, port, connect_to) != 0)
		puts("call libkel failed!");
	kel_disconnect(handle);
	return 0;
}
