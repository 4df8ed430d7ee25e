// get_sensors_data asks keld about each online sensor: first every status and
// value, then every unit, then every description, and lays the answers out as
// count, status entries, unit entries, description entries.
//
// libkel bounds each call, not a run of them: a daemon that answers every
// call just inside that bound would hold the request for minutes.  So the
// record has a budget of its own; once it is spent no call is made, and each
// field not yet asked for takes the value it takes when keld gives none.
#include "sensors.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "deadline.h"
#include "kel.h"
#include "keld_login.h"

constexpr int text_size = 64;       // libkel's text buffers, terminator included
constexpr int max_sensors = 255;    // what the count byte can carry
constexpr int status_entry_bytes = 5;
constexpr int record_budget_ms = 2000;  // no call to keld starts later than this after the first

enum { type_temperature = 1, type_420ma = 2, type_atod = 5 };

struct sensor_answer {
	int type, port;
	int status, value;
	char unit[text_size];
	char description[text_size];
};

static struct timespec record_deadline;  // when the record's budget is spent
static bool record_cut;                 // a call was left out for want of time

// Whether another call to keld may start; false once the budget is spent.
static bool may_ask()
{
	if (ms_left(&record_deadline) > 0)
		return true;
	record_cut = true;
	return false;
}

// Ask for the unit text of an analogue or 4-20 mA sensor; "%" unless it has one.
static void fetch_unit(int handle, sensor_answer *s)
{
	int has_text = 1, kind;
	snprintf(s->unit, 2, "%%");
	switch (s->type) {
	case type_temperature:
		if (may_ask() && kel_get_sensor_threshold(handle, 10, 1, s->port, &kind) && kind == 0)
			snprintf(s->unit, 2, "F");
		else
			snprintf(s->unit, 2, "C");
		return;
	case type_atod:
	case type_420ma: {
		bool atod = s->type == type_atod;
		auto value_type = atod ? kel_get_sensor_atod_value_type : kel_get_sensor_420MA_value_type;
		auto unit = atod ? kel_get_sensor_atod_unit : kel_get_sensor_420MA_unit;
		if (may_ask() && value_type(handle, s->port, &has_text) && has_text == 0 &&
		    !(may_ask() && unit(handle, s->port, s->unit, text_size)))
			snprintf(s->unit, 2, "%%");
		break;
	}
	}
	s->unit[text_size - 1] = 0;  // a text that filled the buffer is cut to 63 bytes
}

// Append a port, a length byte and a text.
static int put_text(uint8_t *at, int port, const char *text)
{
	int len = (int)strlen(text);
	at[0] = (uint8_t)port;
	at[1] = (uint8_t)len;
	memcpy(at + 2, text, len);
	return 2 + len;
}

int get_sensors_data(uint8_t *buffer)
{
	static sensor_answer sensors[max_sensors];  // the answers, until we know what fits
	int handle;
	record_deadline = deadline_in_ms(record_budget_ms);
	record_cut = false;
	if (keld_login_community(stderr, &handle) != keld_logged_in)
		return 0;
	int *list = NULL;
	if (!may_ask()) {
		fprintf(stderr, "keld is too slow: no sensor record after %d ms on %s\n",
		        record_budget_ms, keld_community_socket);
		return 0;
	}
	if (!kel_get_all_sensor_online(handle, &list) || list == NULL)
		return 0;
	int n = list[0] < 0 ? 0 : list[0];
	if (n > max_sensors)
		n = max_sensors;

	for (int i = 0; i < n; i++) {
		sensor_answer *s = &sensors[i];
		s->type = list[2 * i + 1];
		s->port = list[2 * i + 2];
		if (!may_ask() || !kel_get_sensor_status(handle, 2, s->type, s->port, &s->status))
			s->status = 255;
		if (!may_ask() || !kel_get_sensor_status(handle, 0, s->type, s->port, &s->value))
			s->value = 0xFFFF;
	}
	for (int i = 0; i < n; i++)
		fetch_unit(handle, &sensors[i]);
	for (int i = 0; i < n; i++) {
		sensor_answer *s = &sensors[i];
		if (!may_ask() ||
		    !kel_get_sensor_description(handle, s->type, s->port, s->description, text_size))
			snprintf(s->description, 20, "Sensor Description");
		s->description[text_size - 1] = 0;
	}
	free(list);
	if (record_cut)
		fprintf(stderr, "keld is too slow: sensor record cut short after %d ms on %s\n",
		        record_budget_ms, keld_community_socket);

	// Keep the sensors whose three entries all fit in the buffer.
	int fit = 0;
	long used = 1;
	while (fit < n) {
		long need = status_entry_bytes + 2 + strlen(sensors[fit].unit) + 2 +
		            strlen(sensors[fit].description);
		if (used + need > sensor_record_size)
			break;
		used += need;
		fit++;
	}

	uint8_t *at = buffer;
	*at++ = (uint8_t)fit;
	for (int i = 0; i < fit; i++) {
		const sensor_answer *s = &sensors[i];
		*at++ = (uint8_t)s->port;
		*at++ = (uint8_t)s->type;
		*at++ = (uint8_t)s->status;
		*at++ = (uint8_t)(s->value >> 8);
		*at++ = (uint8_t)s->value;
	}
	for (int i = 0; i < fit; i++)
		at += put_text(at, sensors[i].port, sensors[i].unit);
	for (int i = 0; i < fit; i++)
		at += put_text(at, sensors[i].port, sensors[i].description);
	return (int)(at - buffer);
}
