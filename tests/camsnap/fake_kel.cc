// The libkel calls that the sensor record makes, answered from `fake`.
#include "fake_kel.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "kel.h"
#include "keld_login.h"

fake_keld fake;

static fake_sensor *find(int type, int port)
{
	for (auto &s : fake.sensors)
		if ((type < 0 || s.type == type) && s.port == port)
			return &s;
	return nullptr;
}

static bool fails(const fake_sensor *s, const char *what)
{
	return !s || std::find(s->fail.begin(), s->fail.end(), what) != s->fail.end();
}

static void log_call(const char *name, int type, int port)
{
	fake.calls.push_back(std::string(name) + " " + std::to_string(type) + " " + std::to_string(port));
}

static int put_text(const std::string &text, bool fill, char *buf, int len)
{
	if (fill) {
		memset(buf, 'x', len);  // no terminator at all
		return 1;
	}
	snprintf(buf, len, "%s", text.c_str());

	return 1;
}

// The fake keld has no socket for the login's looks to find: it is keld's.
bool keld_socket_trusted(const char *, FILE *, struct stat *)
{
	return true;
}

bool keld_socket_unchanged(const char *, const struct stat *)
{
	return true;
}

extern "C" {

int kel_connect_unix(const char *path, int mode, const char *secret, int secret_len, int *handle)
{
	fake.calls.push_back(std::string("connect ") + path + " " + std::to_string(mode) + " " +
	                     std::string(secret, secret_len));
	*handle = 5;
	return fake.connect_result;
}

int kel_disconnect(int handle)
{
	log_call("disconnect", handle, 0);
	return 1;
}

int kel_get_all_sensor_online(int handle, int **list)
{
	log_call("list", handle, 0);  // the handle, to see that it is passed on
	if (fake.list_fails)
		return 0;
	int n = (int)fake.sensors.size();
	*list = (int *)malloc(sizeof(int) * (1 + 2 * n));
	(*list)[0] = fake.count.value_or(n);
	for (int i = 0; i < n; i++) {
		(*list)[2 * i + 1] = fake.sensors[i].type;
		(*list)[2 * i + 2] = fake.sensors[i].port;
	}
	return 1;
}

// Item 2 is the status, item 0 the value; keld knows no other.
int kel_get_sensor_status(int, int item, int type, int port, int *out)
{
	const char *what = item == 2 ? "status" : item == 0 ? "value" : "unknown item";
	log_call(what, type, port);
	fake_sensor *s = find(type, port);
	if ((item != 2 && item != 0) || fails(s, what))
		return 0;
	*out = item == 2 ? s->status : s->value;
	return 1;
}

int kel_get_sensor_threshold(int, int kind, int level, int port, int *out)
{
	log_call("threshold", 1, port);
	fake_sensor *s = find(1, port);
	if (kind != 10 || level != 1 || fails(s, "threshold"))
		return 0;
	*out = s->threshold;
	return 1;
}

static int value_type(int type, int port, int *out)
{
	log_call("value_type", type, port);
	fake_sensor *s = find(type, port);
	if (fails(s, "value_type"))
		return 0;
	*out = s->value_type;
	return 1;
}

// A failed text query may still have written part of an answer: the caller
// must not take what the buffer holds then.
static int failed_text(char *buf, int len)
{
	snprintf(buf, len, "half an answ");
	return 0;
}

static int unit(int type, int port, char *buf, int len)
{
	log_call("unit", type, port);
	fake_sensor *s = find(type, port);
	if (fails(s, "unit") || len != 64)
		return failed_text(buf, len);
	return put_text(s->unit, s->fill_unit, buf, len);
}

int kel_get_sensor_atod_value_type(int, int port, int *out) { return value_type(5, port, out); }
int kel_get_sensor_420MA_value_type(int, int port, int *out) { return value_type(2, port, out); }
int kel_get_sensor_atod_unit(int, int port, char *buf, int len) { return unit(5, port, buf, len); }
int kel_get_sensor_420MA_unit(int, int port, char *buf, int len) { return unit(2, port, buf, len); }

int kel_get_sensor_description(int, int type, int port, char *buf, int len)
{
	log_call("description", type, port);
	fake_sensor *s = find(type, port);
	if (fails(s, "description") || len != 64)
		return failed_text(buf, len);
	return put_text(s->description, false, buf, len);
}
}
