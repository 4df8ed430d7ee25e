// calls.cc: the calls keld-sim serves, each answered from the state.  A
// state edited by hand may hold any JSON at all: a field of the wrong type
// makes the call fail, never the daemon.
#include "calls.h"
#include "keld_login.h"

#include <arpa/inet.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

constexpr int state_depth_max = 64;     // arrays and objects within one another

json state;

enum sensor_type { temperature = 1, ma420 = 2, atod = 5 };

std::string dump(const json &j, int indent)
{
	return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

// True when no array or object in the JSON text lies deeper than
// state_depth_max: the parser, the dump and the freeing all recurse.
static bool depth_within_bound(const std::string &text)
{
	int depth = 0;
	bool in_string = false;
	for (size_t i = 0; i < text.size(); i++) {
		char c = text[i];
		if (in_string) {
			if (c == '\\')
				i++;
			else if (c == '"')
				in_string = false;
		} else if (c == '"') {
			in_string = true;
		} else if (c == '[' || c == '{') {
			if (++depth > state_depth_max)
				return false;
		} else if (c == ']' || c == '}') {
			depth--;
		}
	}
	return true;
}

bool parse_state(const std::string &text, json *out, std::string *why)
{
	if (!depth_within_bound(text)) {
		*why = "nested deeper than " + std::to_string(state_depth_max) + " levels";
		return false;
	}
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

// True when args holds exactly the fields sig lists: 's' a text, any other
// letter an integer.
static bool shape(const json &args, const char *sig)
{
	size_t n = strlen(sig);
	if (args.size() != n)
		return false;
	for (size_t i = 0; i < n; i++)
		if ((sig[i] != 's') != args[i].is_number_integer())
			return false;
	return true;
}

// Turn the integers of args that sig marks as an address ('a') into dotted
// text and those it marks as a mask ('u') unsigned, as the state keeps them
// and the log shows them.  args has the shape of sig.
static void readable_args(const char *sig, json &args)
{
	for (size_t i = 0; sig[i]; i++)
		if (sig[i] == 'a')
			args[i] = dotted((uint32_t)args[i].get<int>());
		else if (sig[i] == 'u')
			args[i] = (uint32_t)args[i].get<int>();
}

struct call_row;

// One call being served: its row, its arguments (of the shape the row
// names) and the reply its outputs go into.
struct request {
	const call_row &row;
	const json &args;
	kel_msg *reply;
};

// A call keld-sim serves once logged in.
struct call_row {
	const char *name;
	const char *shape;              // one letter an argument: 'i' an integer, 's' a text,
	                                // 'a' an address, 'u' an unsigned integer
	int (*handler)(const request &r);
	const char *changes = nullptr;  // the state field it changes, if any
	int refusal = 0;                // what a failed call answers
};

// Whether the state's fail list refuses call for everyone, or for item.
static bool refused(const char *call, const std::string &item)
{
	return listed(get_or(state, "fail", json()), call, item);
}

// The sensor of type at port, unless there is none or the state refuses the
// call for it (for item, for that sensor alone, or for everyone).
static json *sensor_for(const request &r, int type, int port, const std::string &item = "")
{
	json *s = find_sensor(type, port);
	if (!s || refused(r.row.name, item) || listed(get_or(*s, "fail", json()), r.row.name, item))
		return nullptr;
	return s;
}

// Put a text of the state into the reply; it fails (throws) unless it is one.
static int put_text(const request &r, const json &text)
{
	std::string t = text.get<std::string>();
	msg_put_str(r.reply, t.data(), t.size());
	return 1;
}

static int put_int(const request &r, int v)
{
	msg_put_int(r.reply, v);
	return 1;
}

static int sensors_online(const request &r)
{
	const json list = get_or(state, "sensors", json::array());
	if (!list.is_array())
		return 0;
	msg_put_int(r.reply, (int32_t)list.size());
	for (const json &s : list) {
		msg_put_int(r.reply, int_of(get_or(s, "type", 0)));
		msg_put_int(r.reply, int_of(get_or(s, "port", 0)));
	}
	return r.reply->bad ? 0 : 1;
}

static int sensor_status(const request &r)
{
	int item = r.args[0];
	json *s = sensor_for(r, r.args[1], r.args[2], std::to_string(item));
	if (!s || (item != 0 && item != 2))
		return 0;
	return put_int(r, int_of(get_or(*s, item == 2 ? "status" : "value", 0)));
}

static int sensor_description(const request &r)
{
	json *s = sensor_for(r, r.args[0], r.args[1]);
	return s ? put_text(r, get_or(*s, "description", "")) : 0;
}

static int fahrenheit(const request &r)
{
	json *s = sensor_for(r, temperature, r.args[2]);
	return s ? put_int(r, get_or(*s, "fahrenheit", false).get<bool>() ? 0 : 1) : 0;
}

static int unit_type(const request &r, int type)
{
	json *s = sensor_for(r, type, r.args[0]);
	return s ? put_int(r, int_of(get_or(*s, "unit_type", 1))) : 0;
}

static int unit_text(const request &r, int type)
{
	json *s = sensor_for(r, type, r.args[0]);
	return s ? put_text(r, get_or(*s, "unit", "")) : 0;
}

static int db_get(const request &r)
{
	const std::string &key = r.args[0].get_ref<const std::string &>();
	json settings = get_or(state, "settings", json::object());
	auto it = settings.is_object() ? settings.find(key) : settings.end();
	if (refused(r.row.name, key) || (it != settings.end() && !it->is_string()))
		return 0;
	if (it == settings.end())
		return 1;  // answered: the key has no value
	return put_text(r, *it);
}

// Read or, for the call that changes the network settings, set the address
// of the item the call names.
static int network_ip(const request &r)
{
	static const char *const keys[] = {"ip", "mask", "ip2"};
	int item = r.args[0];
	if (item < 0 || item > 2 || refused(r.row.name, std::to_string(item)))
		return 0;
	json &net = state["network"];
	if (!net.is_object())
		net = json::object();
	if (!r.row.changes)
		return put_int(r, (int32_t)address_of(get_or(net, keys[item], "0.0.0.0")));
	net[keys[item]] = r.args[1];
	return 1;
}

static int set_field(const request &r)
{
	state[r.row.changes] = r.args[0];
	return 1;
}

static int set_flag(const request &r)
{
	state[r.row.changes] = r.args[0] != 0;
	return 1;
}

static int count_call(const request &r)
{
	count_up(r.row.changes);
	return 1;
}

static int clear_settings(const request &r)
{
	if (r.args[0] != "deleteDB")
		return 0;
	state[r.row.changes] = json::object();
	count_up("db_clears");
	return 1;
}

static int make_event(const request &r)
{
	static const char *const keys[] = {"type",   "port",   "value",  "raw",
	                                   "status", "degree", "source", "cameras"};
	json e = json::object();
	for (int i = 0; i < 8; i++)
		e[keys[i]] = r.args[i];
	state[r.row.changes].push_back(e);
	return 1;
}

static int ppp_command(const request &r)
{
	const json &a = r.args;
	state[r.row.changes].push_back({{"command", a[0]}, {"port", a[1]}, {"connect_to", a[2]}});
	return 0;
}

static const call_row call_table[] = {
	{"kel_noop", "", [](const request &) { return 1; }},
	{"kel_get_all_sensor_online", "", sensors_online},
	{"kel_get_sensor_status", "iii", sensor_status},
	{"kel_get_sensor_threshold", "iii", fahrenheit},
	{"kel_get_sensor_atod_value_type", "i", [](const request &r) { return unit_type(r, atod); }},
	{"kel_get_sensor_420MA_value_type", "i", [](const request &r) { return unit_type(r, ma420); }},
	{"kel_get_sensor_atod_unit", "ii", [](const request &r) { return unit_text(r, atod); }},
	{"kel_get_sensor_420MA_unit", "ii", [](const request &r) { return unit_text(r, ma420); }},
	{"kel_get_sensor_description", "iii", sensor_description},
	{"kel_db_get", "si", db_get},
	{"kel_get_network_ip", "i", network_ip},
	{"kel_set_network_ip", "ia", network_ip, "network"},
	{"kel_set_use_dhcp", "i",
	 [](const request &r) { state["network"]["dhcp"] = r.args[0] != 0; return 1; }, "network"},
	{"kel_set_camera_enable", "i", set_flag, "camera_enable"},
	{"kel_reload_network_setting", "", count_call, "network_reloads"},
	{"kel_set_manuf_name", "si", set_field, "manuf_name"},
	{"kel_set_product_name", "si", set_field, "product_name"},
	{"kel_set_system_description", "si", set_field, "system_description"},
	{"kel_set_help_url", "si", set_field, "help_url"},
	{"kel_set_time_zone", "i", set_field, "time_zone"},
	{"kel_run_keld_command", "si", clear_settings, "settings"},
	{"kel_make_event", "iiiiiiau", make_event, "events"},
	{"kel_ppp_command", "iii", ppp_command, "ppp_commands", 1},
};

// Answer a login. The snmp socket takes the community, the other the
// password, which refuses everyone while it is empty.
static int login(conn &c, const json &args)
{
	if (!shape(args, "sisi") || refused("kel_connect_unix", ""))
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
		int32_t v;
		const char *s;
		size_t n;
		if (m->data[m->pos] == kel_tag_int && msg_get_int(m, &v))
			args->push_back(v);
		else if (m->data[m->pos] != kel_tag_int && msg_get_str(m, &s, &n))
			args->push_back(std::string(s, n));
		else
			return false;
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
	const call_row *row = nullptr;
	for (const call_row &r : call_table)
		if (call == r.name)
			row = &r;
	bool fits = row && shape(args, row->shape);
	if (fits)
		readable_args(row->shape, args);

	// The reply's outputs follow its result, which is filled in last.  A
	// call refused or of another shape than its row gets the refusal
	// without its handler running; one that changes a field of the state
	// has it saved whenever it does not answer its refusal.
	msg_clear(m);
	msg_put_int(m, 0);
	int refusal = row ? row->refusal : 0;  // what a failed call answers
	int result = refusal;
	*changed = false;
	try {
		if (call == "kel_connect_unix")
			result = login(c, args);
		else if (call == "kel_disconnect")
			result = 1;
		else if (c.authed && fits && !refused(row->name, "")) {
			result = row->handler({*row, args, m});
			*changed = row->changes && result != refusal;
		}
	} catch (const json::exception &e) {
		// A hand-edited state whose fields have the wrong types.
		fprintf(stderr, "keld-sim: %s: %s\n", call.c_str(), e.what());
		result = refusal;
		*changed = false;
	}
	*logged = {{"conn", c.id}, {"call", call}, {"args", args}, {"result", result}};
	if (m->bad)
		msg_clear(m), msg_put_int(m, 0), result = 0;
	m->data[1] = (unsigned char)((uint32_t)result >> 24);
	m->data[2] = (unsigned char)((uint32_t)result >> 16);
	m->data[3] = (unsigned char)((uint32_t)result >> 8);
	m->data[4] = (unsigned char)result;
	return true;
}
