// mkevent: hand keld one sensor event, as if a sensor had reported it.
//
// It logs in on keld's password socket with the password from its command
// line and passes the sensor's type, port, value, raw value, status, degree
// type, the address of the host the event came from and the cameras that
// belong to it.  The outcome is told by the exit status alone (0 accepted,
// 1 usage, 2 keld unreachable, 3 password refused, 4 bad camera list,
// 5 event refused), with a line on standard error for every failure.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel.h"
#include "keld_login.h"
#include "number.h"

constexpr int argument_count = 9;       // password, six numbers, source, cameras
constexpr int camera_count = 32;       // cameras 0 to 31, one bit each

enum exit_status {
	event_made = 0,
	bad_usage = 1,
	no_connection = 2,
	bad_password = 3,
	bad_camera = 4,
	event_refused = 5,
};

// Turn a comma-separated list of camera numbers into a mask with bit n set
// for camera n.  Empty fields are skipped.  Return 1 on success and 0 after
// writing a complaint about the first bad entry; the caller's text is left
// as it was.
static int parse_camera_list(const char *list, uint32_t *mask)
{
	*mask = 0;
	char *copy = strdup(list);
	if (copy == nullptr) {
		perror("strdup");
		return 0;
	}
	int ok = 1;
	char *save;
	for (char *entry = strtok_r(copy, ",", &save); entry; entry = strtok_r(nullptr, ",", &save)) {
		int camera;
		if (!parse_number(entry, {true, true, 0, camera_count - 1}, &camera)) {
			fprintf(stderr, "Invalid camera '%s'\n", entry);
			ok = 0;
			break;
		}
		*mask |= (uint32_t)1 << camera;
	}
	free(copy);
	return ok;
}

int main(int argc, char **argv)
{
	if (argc != argument_count + 1) {
		fprintf(stderr,
		        "Usage: %s <password> <sensor type> <port> <value> <raw value> <status> "
		        "<degree type> <source IP> <camera list>\n",
		        argc > 0 ? basename(argv[0]) : "mkevent");
		return bad_usage;
	}

	// The login comes before any other argument is looked at, so a wrong
	// password is what the caller hears about, whatever else is wrong.
	int handle;
	keld_login_result login = keld_login(keld_password_socket, argv[1], stderr, &handle);
	if (login == keld_absent) {
		fputs("Connection error\n", stderr);
		return no_connection;
	}
	if (login == keld_refused) {
		fputs("Invalid password\n", stderr);
		return bad_password;
	}

	int type, port, value, raw, status, degree;
	parse_number(argv[2], number_prefix, &type);
	parse_number(argv[3], number_prefix, &port);
	parse_number(argv[4], number_prefix, &value);
	parse_number(argv[5], number_prefix, &raw);
	parse_number(argv[6], number_prefix, &status);
	parse_number(argv[7], number_prefix, &degree);
	// An unreadable address is sent as "none"; 255.255.255.255 cannot be
	// told from a failure and goes the same way.
	in_addr_t source = inet_addr(argv[8]);
	if (source == INADDR_NONE)
		source = 0;

	uint32_t cameras;
	if (!parse_camera_list(argv[9], &cameras))
		return bad_camera;      // the end of the process closes the connection

	if (kel_make_event(handle, type, port, value, raw, status, degree, source, cameras)) {
		kel_disconnect(handle);
		return event_made;
	}
	kel_disconnect(handle);
	fputs("Error making event\n", stderr);
	return event_refused;
}
