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

// Make one call named by a[0] with n - 1 arguments. Return false when the
// call is unknown or its arguments are short.
static bool call(int h, int n, char **a)
{
	const char *c = a[0];
	auto i = [&](int k) { return k < n ? atoi(a[k]) : 0; };
	int out = -1;
	char text[64] = "";
	if (!strcmp(c, "noop"))
		printf("%d\n", kel_noop(h));
	else if (!strcmp(c, "sensors")) {
		int *list = nullptr;
		int r = kel_get_all_sensor_online(h, &list);
		printf("%d", r);
		for (int k = 0; r && k <= 2 * list[0]; k++)
			printf(" %d", list[k]);
		printf("\n");
		free(list);
	} else if (!strcmp(c, "status") && n == 4) {
		int r = kel_get_sensor_status(h, i(1), i(2), i(3), &out);
		printf("%d %d\n", r, out);
	} else if (!strcmp(c, "threshold") && n == 4) {
		int r = kel_get_sensor_threshold(h, i(1), i(2), i(3), &out);
		printf("%d %d\n", r, out);
	} else if (!strcmp(c, "atod_type") && n == 2) {
		int r = kel_get_sensor_atod_value_type(h, i(1), &out);
		printf("%d %d\n", r, out);
	} else if (!strcmp(c, "420ma_type") && n == 2) {
		int r = kel_get_sensor_420MA_value_type(h, i(1), &out);
		printf("%d %d\n", r, out);
	} else if (!strcmp(c, "atod_unit") && n == 2) {
		int r = kel_get_sensor_atod_unit(h, i(1), text, sizeof text);
		printf("%d %s\n", r, text);
	} else if (!strcmp(c, "420ma_unit") && n == 2) {
		int r = kel_get_sensor_420MA_unit(h, i(1), text, sizeof text);
		printf("%d %s\n", r, text);
	} else if (!strcmp(c, "description") && n == 3) {
		int r = kel_get_sensor_description(h, i(1), i(2), text, sizeof text);
		printf("%d %zu %s\n", r, strlen(text), text);
	} else if (!strcmp(c, "db_get") && n == 2) {
		void *block;
		char *value;
		int st;
		int r = kel_db_get(h, a[1], &block, &value, 2, &st);
		printf("%d %d %s\n", r, st, value ? value : "(null)");
		free(block);
	} else if (!strcmp(c, "get_ip") && n == 2) {
		uint32_t v = 0;
		int r = kel_get_network_ip(h, i(1), &v);
		printf("%d %s\n", r, dotted(v));
	} else if (!strcmp(c, "set_ip") && n == 3)
		printf("%d\n", kel_set_network_ip(h, i(1), addr(a[2])));
	else if (!strcmp(c, "dhcp") && n == 2)
		printf("%d\n", kel_set_use_dhcp(h, i(1)));
	else if (!strcmp(c, "camera") && n == 2)
		printf("%d\n", kel_set_camera_enable(h, i(1)));
	else if (!strcmp(c, "reload"))
		printf("%d\n", kel_reload_network_setting(h));
	else if (!strcmp(c, "manuf") && n == 2)
		printf("%d\n", kel_set_manuf_name(h, a[1], (int)strlen(a[1]) + 1));
	else if (!strcmp(c, "product") && n == 2)
		printf("%d\n", kel_set_product_name(h, a[1], (int)strlen(a[1]) + 1));
	else if (!strcmp(c, "sysdesc") && n == 2)
		printf("%d\n", kel_set_system_description(h, a[1], (int)strlen(a[1]) + 1));
	else if (!strcmp(c, "url") && n == 2)
		printf("%d\n", kel_set_help_url(h, a[1], (int)strlen(a[1]) + 1));
	else if (!strcmp(c, "tz") && n == 2)
		printf("%d\n", kel_set_time_zone(h, i(1)));
	else if (!strcmp(c, "command") && n == 2)
		printf("%d\n", kel_run_keld_command(h, a[1], (int)strlen(a[1]) + 1));
	else if (!strcmp(c, "event") && n == 9)
		printf("%d\n", kel_make_event(h, i(1), i(2), i(3), i(4), i(5), i(6), addr(a[7]),
		                              (uint32_t)strtoul(a[8], nullptr, 0)));
	else if (!strcmp(c, "ppp") && n == 4)
		printf("%d\n", kel_ppp_command(h, i(1), i(2), i(3)));
	else
		return false;
	return true;
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
