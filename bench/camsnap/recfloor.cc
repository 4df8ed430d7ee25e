// recfloor: build the sensor record from keld and write it out, for camsnap's
// "status.bin" benchmark to compare against: the same calls into libkel,
// without the CGI around them.
#include <stdint.h>
#include <unistd.h>

#include "sensors.h"

int main()
{
	static uint8_t record[sensor_record_size];
	int length = get_sensors_data(record);
	return length > 0 && write(STDOUT_FILENO, record, length) == length ? 0 : 1;
}
