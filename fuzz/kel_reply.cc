// libkel's reading of the daemon's replies: the first byte picks a call, the
// second the size of the caller's text buffer, and the rest is everything
// the daemon sends back, frame header included, before it hangs up.  What a
// call hands its caller must be what the library promises.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kel.h"

// Put the reply in the daemon's end of a connected pair and hang up; return
// the library's end, or -1.
static int daemon_saying(const uint8_t *reply, size_t size, int *daemon)
{
	int ends[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) < 0)
		return -1;
	int buffer = 1 << 20;
	setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
	if (size > 0 && write(ends[1], reply, size) != (ssize_t)size)
		abort();
	shutdown(ends[1], SHUT_WR);
	*daemon = ends[1];
	return ends[0];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	int call = data[0] % 7;
	int len = data[1] % 80;
	int daemon;
	int handle = daemon_saying(data + 2, size - 2, &daemon);
	if (handle < 0)
		return 0;

	switch (call) {
	case 0:
		kel_noop(handle);
		break;
	case 1: {
		int *list = nullptr;
		if (kel_get_all_sensor_online(handle, &list)) {
			if (!list || list[0] < 0)
				abort();
			volatile int last = list[2 * list[0]];  // the whole list is there
			(void)last;
			free(list);
		}
		break;
	}
	case 2: {
		int out;
		kel_get_sensor_status(handle, 2, 1, 0, &out);
		break;
	}
	case 3: {
		char *buf = (char *)malloc(len ? len : 1);
		if (kel_get_sensor_description(handle, 1, 0, buf, len) && len > 0 && strnlen(buf, len) == (size_t)len)
			abort();  // a text neither terminated nor cut to the buffer
		free(buf);
		break;
	}
	case 4: {
		void *block;
		char *value;
		int status;
		// A success is either the word that the key has no value (no
		// text, status negative) or a value of at most status bytes.
		if (kel_db_get(handle, "MGETTY-PORT", &block, &value, 0, &status) &&
		    (status < 0 ? value || block : !value || strlen(value) > (size_t)status))
			abort();
		free(block);
		break;
	}
	case 5: {
		uint32_t addr;
		kel_get_network_ip(handle, 0, &addr);
		break;
	}
	default:
		kel_ppp_command(handle, 1, 0, 1);
		break;
	}
	close(handle);
	close(daemon);
	return 0;
}
