// cfgtool: change the appliance's system-wide settings in keld from the shell.
//
// It sets DHCP and camera use on or off, the manufacturer and product names,
// the system description, the time zone and the help URL, or clears keld's
// whole database.  Scripts rely on its exit status: 0 when everything asked
// for was done, 1 on a bad command line, when keld cannot be reached, refuses
// the login, refused a setting or took longer than run_bound_s.  Complaints
// go to standard error.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "keld_login.h"
#include "number.h"
#include "run_bound.h"

constexpr unsigned run_bound_s = 10;   // longest run, keld's answers included

static const char delete_db[] = "deleteDB";
static const char option_string[] = "cd:hi:m:p:s:t:u:";
static const char options_with_argument[] = "dimpstu";

// What the command line asked for; a null text or a negative number means
// the option was not given.
struct request {
	bool clear_db;                  // -c: clear the database, nothing else
	int dhcp;                       // -d: 0 or 1
	int use_camera;                 // -i: 0 or 1
	int timezone;                   // -t: 0 or more
	const char *manuf_name;         // -m
	const char *product_name;       // -p
	const char *system_desc;        // -s
	const char *url;                // -u
};

static void usage(const char *name)
{
	printf("Usage: %s [OPTION]\n", name);
	fputs("  -c\t\t\t\tDelete database\n"
	      "  -d <0|1>\t\t\tSet DHCP to On (1) or Off (0)\n"
	      "  -h\t\t\t\tPrint this usage\n"
	      "  -i <0|1>\t\t\tSet Use Camera to On (1) or Off (0)\n"
	      "  -m <manufacturer name>\tSet the manufacturer name\n"
	      "  -p <product name>\t\tSet the product name\n"
	      "  -s <system description>\tSet the system description\n"
	      "  -t <timezone number>\t\tSet the timezone\n"
	      "  -u <help url>\t\t\tSet the help url\n",
	      stdout);
}

// Check a -d, -i or -t argument against [low, high]; on a bad value write
// the option's complaint and end the run before keld is contacted.  An empty
// argument has always stood for 0, which every one of them takes.
static int checked_number_or_exit(const char *text, int low, int high, const char *complaint)
{
	int value = 0;
	if (*text != '\0' && !parse_number(text, {true, true, low, high}, &value)) {
		fprintf(stderr, complaint, text);
		exit(1);
	}
	return value;
}

// Report a refused setting; return true when the call failed.
static bool refused(int result, const char *what)
{
	if (result == 0)
		fprintf(stderr, "Error: %s\n", what);
	return result == 0;
}

static int text_length(const char *text)
{
	return (int)strlen(text) + 1;
}

int main(int argc, char **argv)
{
	if (argc < 2) {
		usage(argc > 0 ? basename(argv[0]) : "cfgtool");
		return 0;
	}

	request req = {false, -1, -1, -1, nullptr, nullptr, nullptr, nullptr};
	int c;
	while ((c = getopt(argc, argv, option_string)) != -1) {
		switch (c) {
		case 'c':
			req.clear_db = true;
			break;
		case 'd':
			req.dhcp = checked_number_or_exit(optarg, 0, 1, "Invalid dhcp option: %s\n");
			break;
		case 'h':
			usage(basename(argv[0]));
			return 0;
		case 'i':
			req.use_camera = checked_number_or_exit(optarg, 0, 1, "Invalid use camera option: %s\n");
			break;
		case 'm':
			req.manuf_name = optarg;
			break;
		case 'p':
			req.product_name = optarg;
			break;
		case 's':
			req.system_desc = optarg;
			break;
		case 't':
			req.timezone = checked_number_or_exit(optarg, 0, INT_MAX, "Invalid timezone option: %s\n");
			break;
		case 'u':
			req.url = optarg;
			break;
		default:
			// getopt has already said what was wrong in its own words;
			// scripts look for our line after it.
			if (optopt != 0 && strchr(options_with_argument, optopt))
				fprintf(stderr, "Missing argument for option `%c'\n", optopt);
			else
				fprintf(stderr, "Unknown option `-%c'\n", optopt);
			return 1;
		}
	}

	// A word left over is a value that lost its option or its quotes
	// (-s Rack 3); setting half of what was meant would be worse than
	// nothing.
	if (optind < argc) {
		fprintf(stderr, "Unexpected argument `%s'\n", argv[optind]);
		return 1;
	}

	end_run_after(run_bound_s, STDERR_FILENO, 1);
	int handle;
	if (keld_login_community(stderr, &handle) != keld_logged_in) {
		fputs("Cannot connect to keld\n", stderr);
		return 1;
	}

	// Clearing the database makes every other setting moot.  A refused
	// clear is reported on standard error, yet the status stays 0: that is
	// what the scripts already written around this tool expect.
	if (req.clear_db) {
		refused(kel_run_keld_command(handle, delete_db, sizeof delete_db), "clear_db");
		kel_disconnect(handle);
		return 0;
	}

	// A fixed order, whatever the order on the command line, and one
	// refusal does not keep the other settings from being tried.
	bool failed = false;
	if (req.dhcp >= 0)
		failed |= refused(kel_set_use_dhcp(handle, req.dhcp), "dhcp");
	if (req.manuf_name)
		failed |= refused(kel_set_manuf_name(handle, req.manuf_name, text_length(req.manuf_name)),
		                  "manuf_name");
	if (req.product_name)
		failed |= refused(kel_set_product_name(handle, req.product_name,
		                                       text_length(req.product_name)),
		                  "product_name");
	if (req.system_desc)
		failed |= refused(kel_set_system_description(handle, req.system_desc,
		                                             text_length(req.system_desc)),
		                  "system_desc");
	if (req.timezone >= 0)
		failed |= refused(kel_set_time_zone(handle, req.timezone), "timezone");
	if (req.url)
		failed |= refused(kel_set_help_url(handle, req.url, text_length(req.url)), "url");
	if (req.use_camera >= 0)
		failed |= refused(kel_set_camera_enable(handle, req.use_camera), "use_camera");

	kel_disconnect(handle);
	return failed ? 1 : 0;
}
