// kelcall: make libkel calls from the command line, for tests.
//
//   kelcall [-p] [-k SECRET] CALL [ARG...] [/ CALL [ARG...]]...
//
// Logs in on /tmp/.keld-snmp with the community "meadow" (-p: on /tmp/.keld,
// -k: with another secret), prints "login R", then makes each call on that
// one connection and prints a line per call: its result, then its outputs.
// Integers are given in decimal, addresses in dotted text.
#include "kel.h"
#include "keld_login.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t addr(const char *s)
{
	struct in_addr a;
	return inet_pton(AF_INET, s, &a) == 1 ? a.s_addr : 0;
}

static const char *dotted(uint32_t v)
{
	struct in_addr a;
	a.s_addr = v;
	return inet_ntoa(a);
}

static int text_len(const char *text)
{
	return (int)strlen(text) + 1;
}

// Calls that answer with an int or a text, printed after the result.  The
// answer is passed by its address: it is read once the call has made it.
static void int_answer(int result, const int *out)
{
	printf("%d %d\n", result, *out);
}

static void text_answer(int result, const char *text)
{
	printf("%d %s\n", result, text);
}

static void print_sensors(int h, char **)
{
	int *list = nullptr;
	int r = kel_get_all_sensor_online(h, &list);
	printf("%d", r);
	for (int k = 0; r && k <= 2 * list[0]; k++)
		printf(" %d", list[k]);
	printf("\n");
	free(list);
}

static void print_db_get(int h, char **a)
{
	void *block;
	char *value;
	int st;
	int r = kel_db_get(h, a[1], &block, &value, 2, &st);
	printf("%d %d %s\n", r, st, value ? value : "(null)");
	free(block);
}

// A call by its name on the command line: how many arguments follow it, and
// how it is made and printed (a[1] is the first argument).
struct call_row {
	const char *name;
	int args;
	void (*make)(int h, char **a);
};

static const call_row call_table[] = {
	{"noop", 0, [](int h, char **) { printf("%d\n", kel_noop(h)); }},
	{"sensors", 0, print_sensors},
	{"status", 3, [](int h, char **a) {
		int out = -1;
		int_answer(kel_get_sensor_status(h, atoi(a[1]), atoi(a[2]), atoi(a[3]), &out), &out);
	}},
	{"threshold", 3, [](int h, char **a) {
		int out = -1;
		int_answer(kel_get_sensor_threshold(h, atoi(a[1]), atoi(a[2]), atoi(a[3]), &out), &out);
	}},
	{"atod_type", 1, [](int h, char **a) {
		int out = -1;
		int_answer(kel_get_sensor_atod_value_type(h, atoi(a[1]), &out), &out);
	}},
	{"420ma_type", 1, [](int h, char **a) {
		int out = -1;
		int_answer(kel_get_sensor_420MA_value_type(h, atoi(a[1]), &out), &out);
	}},
	{"atod_unit", 1, [](int h, char **a) {
		char text[64] = "";
		text_answer(kel_get_sensor_atod_unit(h, atoi(a[1]), text, sizeof text), text);
	}},
	{"420ma_unit", 1, [](int h, char **a) {
		char text[64] = "";
		text_answer(kel_get_sensor_420MA_unit(h, atoi(a[1]), text, sizeof text), text);
	}},
	{"description", 2, [](int h, char **a) {
		char text[64] = "";
		int r = kel_get_sensor_description(h, atoi(a[1]), atoi(a[2]), text, sizeof text);
		printf("%d %zu %s\n", r, strlen(text), text);
	}},
	{"db_get", 1, print_db_get},
	{"get_ip", 1, [](int h, char **a) {
		uint32_t v = 0;
		int r = kel_get_network_ip(h, atoi(a[1]), &v);
		text_answer(r, dotted(v));
	}},
	{"set_ip", 2,
	 [](int h, char **a) { printf("%d\n", kel_set_network_ip(h, atoi(a[1]), addr(a[2]))); }},
	{"dhcp", 1, [](int h, char **a) { printf("%d\n", kel_set_use_dhcp(h, atoi(a[1]))); }},
	{"camera", 1, [](int h, char **a) { printf("%d\n", kel_set_camera_enable(h, atoi(a[1]))); }},
	{"reload", 0, [](int h, char **) { printf("%d\n", kel_reload_network_setting(h)); }},
	{"manuf", 1, [](int h, char **a) { printf("%d\n", kel_set_manuf_name(h, a[1], text_len(a[1]))); }},
	{"product", 1,
	 [](int h, char **a) { printf("%d\n", kel_set_product_name(h, a[1], text_len(a[1]))); }},
	{"sysdesc", 1,
	 [](int h, char **a) { printf("%d\n", kel_set_system_description(h, a[1], text_len(a[1]))); }},
	{"url", 1, [](int h, char **a) { printf("%d\n", kel_set_help_url(h, a[1], text_len(a[1]))); }},
	{"tz", 1, [](int h, char **a) { printf("%d\n", kel_set_time_zone(h, atoi(a[1]))); }},
	{"command", 1,
	 [](int h, char **a) { printf("%d\n", kel_run_keld_command(h, a[1], text_len(a[1]))); }},
	{"event", 8, [](int h, char **a) {
		printf("%d\n", kel_make_event(h, atoi(a[1]), atoi(a[2]), atoi(a[3]), atoi(a[4]), atoi(a[5]),
		                              atoi(a[6]), addr(a[7]), (uint32_t)strtoul(a[8], nullptr, 0)));
	}},
	{"ppp", 3,
	 [](int h, char **a) { printf("%d\n", kel_ppp_command(h, atoi(a[1]), atoi(a[2]), atoi(a[3]))); }},
};

// Make one call named by a[0] with n - 1 arguments. Return false when the
// call is unknown or has another number of arguments.
static bool call(int h, int n, char **a)
{
	for (const call_row &row : call_table) {
		if (strcmp(a[0], row.name) == 0 && n == row.args + 1) {
			row.make(h, a);
			return true;
		}
	}
	return false;
}

int main(int argc, char **argv)
{
	const char *path = keld_community_socket, *secret = keld_community;
	int k = 1;
	for (; k < argc && argv[k][0] == '-'; k++) {
		if (!strcmp(argv[k], "-p"))
			path = keld_password_socket;
		else if (!strcmp(argv[k], "-k") && k + 1 < argc)
			secret = argv[++k];
	}
	int h = -1;
	// The library's own answer, not keld_login's: the tests look at what a
	// refused connection still does.
	int r = kel_connect_unix(path, keld_login_mode, secret, (int)strlen(secret), &h);
	printf("login %d\n", r);
	if (r < 0)
		return 1;
	while (k < argc) {
		int n = 0;
		while (k + n < argc && strcmp(argv[k + n], "/"))
			n++;
		if (!call(h, n, argv + k)) {
			fprintf(stderr, "kelcall: bad call %s\n", argv[k]);
			return 2;
		}
		k += n + 1;
	}
	fflush(stdout);
	kel_disconnect(h);
	return 0;
}
