// pingaddrd's reading of a captured frame: the first two bytes choose the
// packet type and the payload size asked for, the rest is the frame, in a
// buffer of exactly its length so that a read past its end is caught.  A
// frame it accepts must be a whole echo request of the size asked for.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "echo_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	int packet_type = data[0] & 7;
	int payload_size = data[1] == 0 ? -1 : payload_min + data[1];
	std::vector<unsigned char> frame(data + 2, data + size);
	echo_request request;
	if (!read_echo_request(frame.data(), (ssize_t)frame.size(), packet_type, payload_size,
	                       &request))
		return 0;
	// Only a whole echo request counts: its headers, and all of the packet
	// its IPv4 header announces.
	size_t total_length = frame.size() >= frame_min ? (size_t)(frame[16] << 8 | frame[17]) : 0;
	if (frame.size() < frame_min || total_length > frame.size() - ip_header_offset ||
	    (payload_size != -1 && request.payload_size != payload_size))
		abort();
	return 0;
}
