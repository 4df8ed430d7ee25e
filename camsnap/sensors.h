// The sensor status record: every sensor keld lists as online, with its
// status, value, unit and description, in three sections.
#ifndef CAMSNAP_SENSORS_H
#define CAMSNAP_SENSORS_H

#include <stdint.h>

// Size of the buffer that get_sensors_data fills.
constexpr int sensor_record_size = 10240;

// Fill buffer (sensor_record_size bytes) with the record; return its length,
// 0 when keld cannot be reached or has no sensor list.  Sensors that do not
// fit are left out, the count byte saying how many were written.
int get_sensors_data(uint8_t *buffer);

#endif
