// pingaddrd's reading of a captured frame: the first two bytes choose the
// packet type and the payload size asked for, the rest is the frame, in a
// buffer of exactly its length so that a read past its end is caught.  A
// frame it accepts must be a whole, unfragmented IPv4 echo request of the
// size asked for, its ICMP header where the IPv4 header's length puts it.
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
	if (frame.size() < frame_min)
		abort();
	const unsigned char *ip = frame.data() + ip_header_offset;
	size_t header_length = (size_t)(ip[0] & 0x0F) * 4;
	size_t total_length = (size_t)(ip[2] << 8 | ip[3]);
	bool whole = ip[0] >> 4 == 4 && header_length >= 20 && (ip[6] & 0x3F) == 0 && ip[7] == 0 &&
	             ip[9] == 1 && total_length >= header_length + 8 &&
	             total_length <= frame.size() - ip_header_offset;
	if (!whole || ip[header_length] != 8 || ip[header_length + 1] != 0 ||
	    request.payload_size != (int)(total_length - header_length - 8) ||
	    (payload_size != -1 && request.payload_size != payload_size) ||
	    memcmp(&request.destination, ip + 16, 4) != 0)
		abort();
	return 0;
}
