// recfloor: build the sensor record from keld and end, for camsnap's
// "status.bin" benchmark to compare against: the same calls into libkel,
// without the CGI around them.
#include <stdint.h>

#include "sensors.h"

int main()
{
	static uint8_t record[sensor_record_size];
	return get_sensors_data(record) > 0 ? 0 : 1;
}
