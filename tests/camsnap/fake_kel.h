// A link-time stand-in for libkel for the record's unit tests: the sensors
// and failures a test sets up, and the calls made, in order.
#ifndef CAMSNAP_FAKE_KEL_H
#define CAMSNAP_FAKE_KEL_H

#include <optional>
#include <string>
#include <vector>

struct fake_sensor {
	int type, port;
	int status = 1, value = 0;
	int threshold = 1;        // out value of kel_get_sensor_threshold
	int value_type = 0;       // out value of the atod and 420MA value-type calls
	std::string unit = "V";   // atod and 420MA unit text
	std::string description = "Room";
	bool fill_unit = false;   // fill all 64 bytes of the unit buffer, no terminator
	std::vector<std::string> fail;  // "status", "value", "threshold", "value_type", "unit", "description"
};

struct fake_keld {
	int connect_result = 1;   // what kel_connect_unix returns
	bool list_fails = false;
	std::optional<int> count;  // the list's count, if not the number of sensors
	std::vector<fake_sensor> sensors;
	std::vector<std::string> calls;  // "name type port" for each call made
};

extern fake_keld fake;

#endif
