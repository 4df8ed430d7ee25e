// keld-sim's reading of its state file: whatever the file holds, once it
// parses, every call is served from it as clients make them: the sensor
// list first, then each listed sensor's questions as camsnap asks them,
// then every other call once.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>

#include "calls.h"
#include "keld_login.h"

static kel_msg m;
static conn client = {-1, 1, true, true};

// Serve a call with its arguments, numbers and texts; return the reply.
static kel_msg *call(const char *name, std::initializer_list<json> args)
{
	msg_clear(&m);
	msg_put_str(&m, name, strlen(name));
	for (const json &a : args) {
		if (a.is_string())
			msg_put_str(&m, a.get_ref<const std::string &>().data(), a.get_ref<const std::string &>().size());
		else
			msg_put_int(&m, a.get<int32_t>());
	}
	bool changed = false;
	json logged;
	if (!answer_request(client, &m, &changed, &logged))
		abort();  // every request here is well formed
	if (changed)
		dump(state, 2);
	dump(logged);
	m.pos = 0;
	return &m;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	json parsed;
	std::string why;
	if (!parse_state(std::string((const char *)data, size), &parsed, &why))
		return 0;
	state = std::move(parsed);

	client.authed = false;
	call("kel_connect_unix", {keld_community_socket, keld_login_mode, keld_community,
	                         (int)sizeof keld_community - 1});
	client.authed = true;

	// The first 64 sensors listed, as type and port.
	kel_msg *reply = call("kel_get_all_sensor_online", {});
	int32_t result, n = 0, type[64], port[64];
	int listed = 0;
	if (msg_get_int(reply, &result) && result && msg_get_int(reply, &n))
		while (listed < n && listed < 64 && msg_get_int(reply, &type[listed]) &&
		       msg_get_int(reply, &port[listed]))
			listed++;
	for (int i = 0; i < listed; i++) {
		call("kel_get_sensor_status", {2, type[i], port[i]});
		call("kel_get_sensor_status", {0, type[i], port[i]});
		call("kel_get_sensor_threshold", {10, 1, port[i]});
		call("kel_get_sensor_atod_value_type", {port[i]});
		call("kel_get_sensor_420MA_value_type", {port[i]});
		call("kel_get_sensor_atod_unit", {port[i], 64});
		call("kel_get_sensor_420MA_unit", {port[i], 64});
		call("kel_get_sensor_description", {type[i], port[i], 64});
	}

	call("kel_noop", {});
	for (const char *key : {"MGETTY-PORT", "MGETTY-INIT0", "MGETTY-IP0"})
		call("kel_db_get", {key, 0});
	for (int item = 0; item <= 2; item++)
		call("kel_get_network_ip", {item});
	call("kel_set_network_ip", {1, 0x0a00000a});
	call("kel_set_use_dhcp", {1});
	call("kel_set_camera_enable", {1});
	call("kel_reload_network_setting", {});
	call("kel_set_manuf_name", {"Northwind", 10});
	call("kel_set_time_zone", {-5});
	call("kel_make_event", {1, 0, 224, 224, 1, 0, 0x0100000a, 3});
	call("kel_ppp_command", {1, 0, 1});
	call("kel_run_keld_command", {"deleteDB", 9});
	return 0;
}
