// camsnap's query string: the numbers it reads from whatever a client sends.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string query((const char *)data, size);  // the environment's text ends at a NUL
	int channel = 0, mode = 0, jq = 64, data_wanted = 0;
	query_number(query.c_str(), "channel=", &channel);
	query_number(query.c_str(), "mode=", &mode);
	query_number(query.c_str(), "jq=", &jq);
	query_number(query.c_str(), "data=", &data_wanted);
	return 0;
}
