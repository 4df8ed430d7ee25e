// keld-sim's decoding of requests: the input is what a client sends on one
// connection, frames as on the socket, served one after the other against
// the example state until a frame is not a request.  The first byte says
// which socket the client came in on.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

#include "calls.h"

static json example;   // the example state, each input starts from it
static kel_msg m;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	std::ifstream in(KELD_EXAMPLE_STATE);
	std::stringstream text;
	text << in.rdbuf();
	std::string why;
	if (!parse_state(text.str(), &example, &why))
		abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	state = example;
	conn c = {-1, 1, (data[0] & 1) != 0, false};
	size_t at = 1;
	while (size - at >= 4) {
		size_t len = frame_length(data + at);
		at += 4;
		if (len == 0 || len > sizeof m.data || len > size - at)
			break;
		memcpy(m.data, data + at, len);
		at += len;
		m.len = len;
		m.pos = 0;
		m.bad = false;
		bool changed = false;
		json logged;
		if (!answer_request(c, &m, &changed, &logged))
			break;
		if (m.len < 5 || m.data[0] != kel_tag_int)
			abort();  // every reply starts with its result
		if (changed)
			dump(state, 2);  // as the state file is written
		dump(logged);        // as the log line is written
	}
	return 0;
}
