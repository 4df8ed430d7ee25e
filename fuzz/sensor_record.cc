// The sensor record against a libkel that answers anything: every call's
// result, numbers and texts come from the fuzzer's input, texts up to the
// whole buffer with no terminator.  The record goes into a buffer of exactly
// sensor_record_size bytes and must read back as a client reads it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "kel.h"
#include "sensors.h"

constexpr int list_cap = 300;  // pairs handed out: more than the record ever reads

static FuzzedDataProvider *answers;  // the input, read call by call

static int result()
{
	return answers->ConsumeBool() ? answers->ConsumeIntegral<int>() : 0;
}

static int int_out(int *out)
{
	int r = result();
	if (r)
		*out = answers->ConsumeIntegral<int>();
	return r;
}

// A text of up to len bytes: a failed call may have written one too.
static int text_out(char *buf, int len)
{
	int r = result();
	if (len > 0) {
		std::string text = answers->ConsumeRandomLengthString((size_t)len);
		memcpy(buf, text.data(), text.size());
		if (text.size() < (size_t)len && answers->ConsumeBool())
			buf[text.size()] = '\0';
	}
	return r;
}

extern "C" {

int kel_connect_unix(const char *, int, const char *, int, int *handle)
{
	*handle = 3;
	return answers->ConsumeIntegralInRange(-1, 1);
}

int kel_disconnect(int)
{
	return 1;
}

// The list holds as many pairs as its count says, however large: the
// record reads no more than list_cap of them.
int kel_get_all_sensor_online(int, int **list)
{
	int r = result();
	if (!r || answers->ConsumeBool())
		return r;  // a success without a list too
	int n = answers->ConsumeIntegral<int>();
	int pairs = n < 0 ? 0 : n > list_cap ? list_cap : n;
	int *out = (int *)malloc(sizeof(int) * (1 + 2 * (size_t)pairs));
	out[0] = n;
	for (int i = 1; i <= 2 * pairs; i++)
		out[i] = answers->ConsumeIntegral<int>();
	*list = out;
	return r;
}

int kel_get_sensor_status(int, int, int, int, int *out) { return int_out(out); }
int kel_get_sensor_threshold(int, int, int, int, int *out) { return int_out(out); }
int kel_get_sensor_atod_value_type(int, int, int *out) { return int_out(out); }
int kel_get_sensor_420MA_value_type(int, int, int *out) { return int_out(out); }
int kel_get_sensor_atod_unit(int, int, char *buf, int len) { return text_out(buf, len); }
int kel_get_sensor_420MA_unit(int, int, char *buf, int len) { return text_out(buf, len); }
int kel_get_sensor_description(int, int, int, char *buf, int len) { return text_out(buf, len); }
}

// Walk the record as a client does: count, five bytes per sensor, then two
// sections of (port, length, text).  Return the bytes walked, or -1 when an
// entry runs past length.
static long walk(const uint8_t *record, long length)
{
	if (length == 0)
		return 0;
	int count = record[0];
	long at = 1 + 5L * count;
	for (int section = 0; section < 2; section++)
		for (int i = 0; i < count; i++) {
			if (at + 2 > length)
				return -1;
			at += 2 + record[at + 1];
		}
	return at;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider provider(data, size);
	answers = &provider;
	uint8_t *record = (uint8_t *)malloc(sensor_record_size);
	int length = get_sensors_data(record);
	if (length < 0 || length > sensor_record_size || walk(record, length) != length)
		abort();
	free(record);
	return 0;
}
