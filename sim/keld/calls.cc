// calls.cc: the calls keld-sim serves, each answered from the state.  A
// state edited by hand may hold any JSON at all: a field of the wrong type
// makes the call fail, never the daemon.
#include "calls.h"
#include "keld_login.h"

#include <arpa/inet.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

json state;

std::string dump(const json &j, int indent)
{
	return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

bool parse_state(const std::string &text, json *out, std::string *why)
{
	json j = json::parse(text, nullptr, false);
	if (j.is_discarded()) {
		*why = "not valid JSON";
		return false;
	}
	if (!j.is_object()) {
		*why = "not a JSON object";
		return false;
	}
	*out = std::move(j);
	return true;
}

static json get_or(const json &obj, const char *key, json def)
{
	if (obj.is_object()) {
		auto it = obj.find(key);
		if (it != obj.end() && !it->is_null())
			return *it;
	}
	return def;
}

// A number of the state as an int: fractions cut, values beyond int
// saturated, anything but a number or a truth value 0.
static int int_of(const json &v)
{
	if (v.is_boolean())
		return v.get<bool>() ? 1 : 0;
	if (!v.is_number())
		return 0;
	double d = v.get<double>();
	return d <= INT_MIN ? INT_MIN : d >= INT_MAX ? INT_MAX : (int)d;
}

// Add one to the counter at key, which stops at the end of int's range.
static void count_up(const char *key)
{
	int n = int_of(get_or(state, key, 0));
	state[key] = n == INT_MAX ? n : n + 1;
}

static std::string dotted(uint32_t net)
{
	char buf[INET_ADDRSTRLEN];
	struct in_addr a;
	a.s_addr = net;
	inet_ntop(AF_INET, &a, buf, sizeof buf);
	return buf;
}

static uint32_t address_of(const json &v)
{
	struct in_addr a;
	if (v.is_string() && inet_pton(AF_INET, v.get<std::string>().c_str(), &a) == 1)
		return a.s_addr;
	return 0;
}

// A fail list names a call alone, or the call, a colon and its item.
static bool listed(const json &list, const std::string &call, const std::string &item)
{
	if (!list.is_array())
		return false;
	for (const json &e : list) {
		if (!e.is_string())
			continue;
		const std::string &s = e.get_ref<const std::string &>();
		if (s == call || (!item.empty() && s == call + ":" + item))
			return true;
	}
	return false;
}

static json *find_sensor(int type, int port)
{
	json &list = state["sensors"];
	if (!list.is_array())
		return nullptr;
	for (json &s : list)
		if (int_of(get_or(s, "type", 0)) == type && int_of(get_or(s, "port", 0)) == port)
			return &s;
	return nullptr;
}

// True when args holds exactly the fields sig lists ('i' integer, 's' text).
static bool shape(const json &args, const char *sig)
{
	size_t n = strlen(sig);
	if (args.size() != n)
		return false;
	for (size_t i = 0; i < n; i++)
		if ((sig[i] == 'i') != args[i].is_number_integer())
			return false;
	return true;
}

// Serve one call on an accepted connection. Fill the reply's outputs after
// the result, which is returned; *changed tells that the state must be saved.
// A call whose arguments have the wrong shape fails like a refused one.
static int serve(const std::string &call, json &args, kel_msg *reply, bool *changed)
{
	const json &fail = state.contains("fail") ? state["fail"] : json::array();
	auto refused = [&](const std::string &item) { return listed(fail, call, item); };

	if (call == "kel_noop")
		return shape(args, "") && !refused("");

	if (call == "kel_get_all_sensor_online") {
		if (!shape(args, "") || refused(""))
			return 0;
		const json list = get_or(state, "sensors", json::array());
		if (!list.is_array())
			return 0;
		msg_put_int(reply, (int32_t)list.size());
		for (const json &s : list) {
			msg_put_int(reply, int_of(get_or(s, "type", 0)));
			msg_put_int(reply, int_of(get_or(s, "port", 0)));
		}
		return reply->bad ? 0 : 1;
	}

	if (call == "kel_get_sensor_status" || call == "kel_get_sensor_description") {
		bool status = call == "kel_get_sensor_status";
		if (!shape(args, "iii"))
			return 0;
		int item = args[0], type = args[status ? 1 : 0], port = args[status ? 2 : 1];
		std::string key = status ? std::to_string(item) : "";
		json *s = find_sensor(type, port);
		if (!s || refused(key) || listed(get_or(*s, "fail", json()), call, key))
			return 0;
		if (!status) {
			std::string d = get_or(*s, "description", "").get<std::string>();
			msg_put_str(reply, d.data(), d.size());
			return 1;
		}
		if (item != 0 && item != 2)
			return 0;
		msg_put_int(reply, int_of(get_or(*s, item == 2 ? "status" : "value", 0)));
		return 1;
	}

	// The unit calls of one sensor family, found by port among its type.
	struct family { const char *call; int type; bool text; };
	static const family unit_calls[] = {
		{"kel_get_sensor_threshold", 1, false},
		{"kel_get_sensor_atod_value_type", 5, false},
		{"kel_get_sensor_420MA_value_type", 2, false},
		{"kel_get_sensor_atod_unit", 5, true},
		{"kel_get_sensor_420MA_unit", 2, true},
	};
	for (const family &f : unit_calls) {
		if (call != f.call)
			continue;
		bool threshold = f.type == 1;
		if (!shape(args, threshold ? "iii" : f.text ? "ii" : "i"))
			return 0;
		json *s = find_sensor(f.type, args[threshold ? 2 : 0]);
		if (!s || refused("") || listed(get_or(*s, "fail", json()), call, ""))
			return 0;
		if (threshold) {
			msg_put_int(reply, get_or(*s, "fahrenheit", false).get<bool>() ? 0 : 1);
		} else if (f.text) {
			std::string u = get_or(*s, "unit", "").get<std::string>();
			msg_put_str(reply, u.data(), u.size());
		} else {
			msg_put_int(reply, int_of(get_or(*s, "unit_type", 1)));
		}
		return 1;
	}

	if (call == "kel_db_get") {
		if (!shape(args, "si"))
			return 0;
		std::string key = args[0];
		json settings = get_or(state, "settings", json::object());
		auto it = settings.is_object() ? settings.find(key) : settings.end();
		if (refused(key) || it == settings.end() || !it->is_string())
			return 0;
		const std::string &v = it->get_ref<const std::string &>();
		msg_put_str(reply, v.data(), v.size());
		return 1;
	}

	static const char *const ip_keys[] = {"ip", "mask", "ip2"};
	if (call == "kel_get_network_ip" || call == "kel_set_network_ip") {
		bool set = call == "kel_set_network_ip";
		if (!shape(args, set ? "ii" : "i"))
			return 0;
		int item = args[0];
		if (item < 0 || item > 2 || refused(std::to_string(item)))
			return 0;
		json &net = state["network"];
		if (!net.is_object())
			net = json::object();
		if (set) {
			net[ip_keys[item]] = dotted((uint32_t)args[1].get<int>());
			*changed = true;
		} else {
			msg_put_int(reply, (int32_t)address_of(get_or(net, ip_keys[item], "0.0.0.0")));
		}
		return 1;
	}

	if (call == "kel_set_use_dhcp" || call == "kel_set_camera_enable") {
		if (!shape(args, "i") || refused(""))
			return 0;
		bool on = args[0].get<int>() != 0;
		if (call == "kel_set_use_dhcp")
			state["network"]["dhcp"] = on;
		else
			state["camera_enable"] = on;
		*changed = true;
		return 1;
	}

	if (call == "kel_reload_network_setting") {
		if (!shape(args, "") || refused(""))
			return 0;
		count_up("network_reloads");
		*changed = true;
		return 1;
	}

	static const char *const text_calls[][2] = {
		{"kel_set_manuf_name", "manuf_name"},
		{"kel_set_product_name", "product_name"},
		{"kel_set_system_description", "system_description"},
		{"kel_set_help_url", "help_url"},
	};
	for (const auto &t : text_calls) {
		if (call != t[0])
			continue;
		if (!shape(args, "si") || refused(""))
			return 0;
		state[t[1]] = args[0];
		*changed = true;
		return 1;
	}

	if (call == "kel_set_time_zone") {
		if (!shape(args, "i") || refused(""))
			return 0;
		state["time_zone"] = args[0];
		*changed = true;
		return 1;
	}

	if (call == "kel_run_keld_command") {
		if (!shape(args, "si") || refused("") || args[0] != "deleteDB")
			return 0;
		state["settings"] = json::object();
		count_up("db_clears");
		*changed = true;
		return 1;
	}

	if (call == "kel_make_event") {
		if (!shape(args, "iiiiiiii") || refused(""))
			return 0;
		json e = json::object();
		static const char *const keys[] = {"type", "port", "value", "raw", "status", "degree"};
		for (int i = 0; i < 6; i++)
			e[keys[i]] = args[i];
		e["source"] = dotted((uint32_t)args[6].get<int>());
		e["cameras"] = (uint32_t)args[7].get<int>();
		state["events"].push_back(e);
		*changed = true;
		return 1;
	}

	if (call == "kel_ppp_command") {
		if (!shape(args, "iii") || refused(""))
			return 1;
		state["ppp_commands"].push_back({{"command", args[0]}, {"port", args[1]}, {"connect_to", args[2]}});
		*changed = true;
		return 0;
	}

	return 0;
}

// Show addresses in the log as dotted text and the camera mask unsigned,
// whether or not the call succeeded.
static void readable_args(const std::string &call, json &args)
{
	if (call == "kel_set_network_ip" && shape(args, "ii"))
		args[1] = dotted((uint32_t)args[1].get<int>());
	if (call == "kel_make_event" && shape(args, "iiiiiiii")) {
		args[6] = dotted((uint32_t)args[6].get<int>());
		args[7] = (uint32_t)args[7].get<int>();
	}
}

// Answer a login. The snmp socket takes the community, the other the
// password, which refuses everyone while it is empty.
static int login(conn &c, const json &args)
{
	if (!shape(args, "sisi") || listed(get_or(state, "fail", json()), "kel_connect_unix", ""))
		return 0;
	std::string want = c.snmp ? get_or(state, "community", keld_community).get<std::string>()
	                          : get_or(state, "password", "").get<std::string>();
	const std::string &got = args[2].get_ref<const std::string &>();
	c.authed = !want.empty() && got == want;
	return c.authed ? 1 : 0;
}

// Decode a request's fields into a JSON array. Return false on garbage.
static bool decode_args(kel_msg *m, json *args)
{
	while (m->pos < m->len) {
		if (m->data[m->pos] == kel_tag_int) {
			int32_t v;
			if (!msg_get_int(m, &v))
				return false;
			args->push_back(v);
		} else {
			const char *s;
			size_t n;
			if (!msg_get_str(m, &s, &n))
				return false;
			args->push_back(std::string(s, n));
		}
	}
	return true;
}

bool answer_request(conn &c, kel_msg *m, bool *changed, json *logged)
{
	const char *name;
	size_t n;
	json args = json::array();
	if (!msg_get_str(m, &name, &n) || !decode_args(m, &args))
		return false;
	std::string call(name, n);

	msg_clear(m);
	msg_put_int(m, 0);
	int result;
	*changed = false;
	try {
		if (call == "kel_connect_unix")
			result = login(c, args);
		else if (call == "kel_disconnect")
			result = 1;
		else if (!c.authed)
			result = call == "kel_ppp_command" ? 1 : 0;
		else
			result = serve(call, args, m, changed);
	} catch (const json::exception &e) {
		// A hand-edited state whose fields have the wrong types.
		fprintf(stderr, "keld-sim: %s: %s\n", call.c_str(), e.what());
		result = call == "kel_ppp_command" ? 1 : 0;
		*changed = false;
	}
	readable_args(call, args);
	*logged = {{"conn", c.id}, {"call", call}, {"args", args}, {"result", result}};
	if (m->bad)
		msg_clear(m), msg_put_int(m, 0), result = 0;
	m->data[1] = (unsigned char)((uint32_t)result >> 24);
	m->data[2] = (unsigned char)((uint32_t)result >> 16);
	m->data[3] = (unsigned char)((uint32_t)result >> 8);
	m->data[4] = (unsigned char)result;
	return true;
}
