// mkevent: hand keld one sensor event, as if a sensor had reported it.
//
// It logs in on keld's password socket with the password from its command
// line, or from standard input when that argument is "-" (where other users'
// ps cannot see it), and passes the sensor's type, port, value, raw value,
// status, degree type, the address of the host the event came from and the
// cameras that belong to it.  The outcome is told by the exit status alone
// (0 accepted, 1 usage or a bad argument, 2 keld unreachable or too slow,
// 3 password refused, 4 bad camera list, 5 event refused), with a line on
// standard error for every failure.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "keld_login.h"
#include "number.h"
#include "run_bound.h"

constexpr int argument_count = 9;       // password, six numbers, source, cameras
constexpr int camera_count = 32;       // cameras 0 to 31, one bit each
constexpr int password_max = 1024;     // longest password taken, in bytes
constexpr unsigned run_bound_s = 10;   // longest run once the password is read

enum exit_status {
	event_made = 0,
	bad_usage = 1,
	no_connection = 2,
	bad_password = 3,
	bad_camera = 4,
	event_refused = 5,
};

// The names of arguments 2 to 7, for the complaint about a bad one.
static const char *const number_names[] = {
	"sensor type", "port", "value", "raw value", "status", "degree type",
};
constexpr int number_count = sizeof number_names / sizeof number_names[0];

// Read the password from standard input: its first line, without the line
// end, into buf.  Return false after a complaint when it cannot be read; a
// password too long for buf is left to the caller's length check.
static bool read_password(char *buf, size_t size)
{
	buf[0] = '\0';
	if (fgets(buf, (int)size, stdin) == nullptr && ferror(stdin)) {
		perror("mkevent: standard input");
		return false;
	}
	size_t n = strlen(buf);
	if (n > 0 && buf[n - 1] == '\n')
		buf[n - 1] = '\0';
	return true;
}

// Read the dotted IPv4 address in text into *source, in network byte order.
// The forms inet_aton reads are taken (10.1 among them); trailing words,
// which it would ignore, are not.  255.255.255.255 is sent as 0, "none", as
// it always has been.  Return false after a complaint on anything else.
static bool read_source(const char *text, in_addr_t *source)
{
	struct in_addr addr;
	bool ok = inet_aton(text, &addr) != 0;
	for (const char *p = text; ok && *p; p++)
		ok = !isspace((unsigned char)*p);
	if (!ok) {
		fprintf(stderr, "Invalid source IP '%s'\n", text);
		return false;
	}
	*source = addr.s_addr == INADDR_NONE ? 0 : addr.s_addr;
	return true;
}

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

	// One byte more than the longest password, so that a longer one shows.
	char stdin_password[password_max + 2];
	const char *password = argv[1];
	if (strcmp(password, "-") == 0) {
		if (!read_password(stdin_password, sizeof stdin_password))
			return bad_usage;
		password = stdin_password;
	}
	// No keld takes a password this long, and libkel may not carry it: it
	// is refused here rather than told as keld being unreachable.
	if (strlen(password) > (size_t)password_max) {
		fprintf(stderr, "Password longer than %d bytes\nInvalid password\n", password_max);
		return bad_password;
	}

	// The login comes before any other argument is looked at, so a wrong
	// password is what the caller hears about, whatever else is wrong.
	end_run_after(run_bound_s, STDERR_FILENO, no_connection);
	int handle;
	keld_login_result login = keld_login(keld_password_socket, password, stderr, &handle);
	if (login == keld_absent) {
		fputs("Connection error\n", stderr);
		return no_connection;
	}
	if (login == keld_refused) {
		fputs("Invalid password\n", stderr);
		return bad_password;
	}

	// A typo is refused rather than sent as a number keld would take.  The
	// end of the process closes the connection.
	int numbers[number_count];
	for (int i = 0; i < number_count; i++) {
		const char *text = argv[2 + i];
		if (!parse_number(text, {true, true, INT_MIN, INT_MAX}, &numbers[i])) {
			fprintf(stderr, "Invalid %s '%s'\n", number_names[i], text);
			return bad_usage;
		}
	}
	in_addr_t source;
	if (!read_source(argv[8], &source))
		return bad_usage;
	uint32_t cameras;
	if (!parse_camera_list(argv[9], &cameras))
		return bad_camera;

	if (kel_make_event(handle, numbers[0], numbers[1], numbers[2], numbers[3], numbers[4],
	                   numbers[5], source, cameras)) {
		kel_disconnect(handle);
		return event_made;
	}
	kel_disconnect(handle);
	fputs("Error making event\n", stderr);
	return event_refused;
}
