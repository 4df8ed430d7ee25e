// libkel.cc: the stand-in client library of keld, talking to keld-sim.
//
// Each call sends one request frame on the connection's Unix stream socket
// and waits for its reply.  The handle is the socket's descriptor.  A daemon
// that does not answer within kel_reply_timeout_ms makes the call fail, and
// the socket is shut down so that later calls on it fail at once instead of
// reading a late reply as their own.  The library uses only the C library,
// so it adds no C++ run-time to the programs that link it.
#include "deadline.h"
#include "kel.h"
#include "kel_wire.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

constexpr int kel_reply_timeout_ms = 3000;   // longest wait for a whole reply

// Wait until fd is ready for events or the deadline passes; true when ready.
static bool wait_for(int fd, short events, const struct timespec *deadline)
{
	for (;;) {
		struct pollfd pfd = {fd, events, 0};
		int r = poll(&pfd, 1, ms_left(deadline));
		if (r < 0 && errno == EINTR)
			continue;
		return r > 0;
	}
}

// Move bytes through the pieces, sending or receiving, before the deadline.
// The socket is tried first and waited on only when it has nothing for us,
// so that a call costs one send and one receive when the daemon is quick.
// Return the bytes moved (0: try again), or -1 on failure, end of stream or
// time-out.
static long move(int fd, struct iovec *pieces, int count, bool out, const struct timespec *deadline)
{
	struct msghdr msg = {};
	msg.msg_iov = pieces;
	msg.msg_iovlen = count;
	ssize_t k = out ? sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) : recvmsg(fd, &msg, MSG_DONTWAIT);
	if (k > 0)
		return k;
	if (k == 0)
		return -1;
	if (errno == EINTR)
		return 0;
	if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, out ? POLLOUT : POLLIN, deadline))
		return 0;
	return -1;
}

// Send the request in m and replace it by the reply, positioned after the
// result, which lands in *result. Return false when no valid reply came.
static bool exchange(int fd, kel_msg *m, int32_t *result)
{
	if (m->bad)
		return false;
	struct timespec deadline = deadline_in_ms(kel_reply_timeout_ms);

	// The request leaves as one frame: its header and payload in one send.
	unsigned char hdr[4];
	frame_header(hdr, m->len);
	struct iovec request[2] = {{hdr, sizeof hdr}, {m->data, m->len}};
	struct iovec *rest = request;
	int count = 2;
	size_t left = sizeof hdr + m->len;
	bool ok = true;
	while (ok && left > 0) {
		long k = move(fd, rest, count, true, &deadline);
		ok = k >= 0;
		if (k > 0) {
			frame_pieces_advance(&rest, &count, (size_t)k);
			left -= (size_t)k;
		}
	}

	// The reply: its header and as much of its payload as has come, in one
	// receive, until the length the header gives is complete.  Bytes beyond
	// that length are no part of any reply of ours.
	size_t got = 0, wanted = sizeof hdr;
	while (ok && got < wanted) {
		struct iovec reply[2] = {{hdr, sizeof hdr}, {m->data, sizeof m->data}};
		rest = reply;
		count = 2;
		frame_pieces_advance(&rest, &count, got);
		long k = move(fd, rest, count, false, &deadline);
		ok = k >= 0;
		if (k > 0)
			got += (size_t)k;
		if (ok && got >= sizeof hdr) {
			size_t len = frame_length(hdr);
			ok = len <= sizeof m->data && got <= sizeof hdr + len;
			wanted = sizeof hdr + len;
		}
	}
	if (!ok) {
		shutdown(fd, SHUT_RDWR);
		return false;
	}
	m->len = wanted - sizeof hdr;
	m->pos = 0;
	m->bad = false;
	return msg_get_int(m, result);
}

// Start a request: the call's name, then its n integer arguments.
static void begin(kel_msg *m, const char *call, int n = 0, const int32_t *args = nullptr)
{
	msg_clear(m);
	msg_put_str(m, call, strlen(call));
	for (int i = 0; i < n; i++)
		msg_put_int(m, args[i]);
}

// Make a call whose arguments are n integers and whose reply carries nothing
// but the result. Return the result, or failure when no reply came.
static int call_ints(int handle, const char *call, int failure, int n, const int32_t *args)
{
	kel_msg m;
	begin(&m, call, n, args);
	int32_t result;
	return exchange(handle, &m, &result) ? result : failure;
}

// Make a call whose reply carries one integer output.  A success without its
// value is no success to the caller.
static int call_int_out(int handle, const char *call, int n, const int32_t *args, int *out)
{
	kel_msg m;
	begin(&m, call, n, args);
	int32_t result;
	if (!exchange(handle, &m, &result) || !result || !msg_get_int(&m, out))
		return 0;
	return result;
}

// Make a call whose reply carries a text, cut to fit buf and terminated.
// A success without its text fails too: the caller would read a text never
// written.
static int call_text_out(int handle, const char *call, int n, const int32_t *args, char *buf, int len)
{
	kel_msg m;
	begin(&m, call, n, args);
	int32_t result;
	const char *s;
	size_t k;
	if (!exchange(handle, &m, &result) || !result || !msg_get_str(&m, &s, &k))
		return 0;
	if (len > 0) {
		k = k < (size_t)len - 1 ? k : (size_t)len - 1;
		memcpy(buf, s, k);
		buf[k] = '\0';
	}
	return result;
}

// Make a call that sends a text of len bytes (its terminator counted).
static int call_text_in(int handle, const char *call, const char *text, int len)
{
	kel_msg m;
	begin(&m, call);
	size_t n = text && len > 0 ? strnlen(text, (size_t)len) : 0;
	msg_put_str(&m, text ? text : "", n);
	msg_put_int(&m, len);
	int32_t result;
	return exchange(handle, &m, &result) ? result : 0;
}

// Connect fd to sa before the deadline.  A blocking connect to a daemon
// that has stopped accepting waits for ever once its queue of pending
// connections is full; a non-blocking one says so at once (EAGAIN), and is
// tried again until the deadline.
static bool connect_before(int fd, const struct sockaddr_un *sa, struct timespec deadline)
{
	for (;;) {
		if (connect(fd, (const struct sockaddr *)sa, sizeof *sa) == 0)
			return true;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN || ms_left(&deadline) == 0)
			return false;
		struct timespec pause = {0, 10 * 1000000};
		nanosleep(&pause, NULL);
	}
}

extern "C" {

int kel_connect_unix(const char *path, int mode, const char *secret, int secret_len, int *handle)
{
	struct sockaddr_un sa;
	size_t plen = strlen(path);
	if (plen >= sizeof sa.sun_path)
		return -1;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	memcpy(sa.sun_path, path, plen);

	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return -1;
	if (!connect_before(fd, &sa, deadline_in_ms(kel_reply_timeout_ms))) {
		close(fd);
		return -1;
	}
	kel_msg m;
	begin(&m, "kel_connect_unix");
	msg_put_str(&m, path, plen);
	msg_put_int(&m, mode);
	msg_put_str(&m, secret ? secret : "", secret && secret_len > 0 ? (size_t)secret_len : 0);
	msg_put_int(&m, secret_len);
	int32_t result;
	if (!exchange(fd, &m, &result)) {
		close(fd);
		return -1;
	}
	*handle = fd;
	return result > 0 ? 1 : 0;
}

int kel_disconnect(int handle)
{
	call_ints(handle, "kel_disconnect", 0, 0, nullptr);
	close(handle);
	return 1;
}

int kel_noop(int handle)
{
	return call_ints(handle, "kel_noop", 0, 0, nullptr);
}

int kel_get_all_sensor_online(int handle, int **list)
{
	kel_msg m;
	begin(&m, "kel_get_all_sensor_online");
	int32_t result, n;
	if (!exchange(handle, &m, &result) || !result || !msg_get_int(&m, &n) || n < 0 ||
	    (size_t)n > kel_frame_max / 10)
		return 0;
	int *out = (int *)malloc(sizeof(int) * (1 + 2 * (size_t)n));
	if (!out)
		return 0;
	out[0] = n;
	for (int i = 1; i <= 2 * n; i++)
		if (!msg_get_int(&m, &out[i])) {
			free(out);
			return 0;
		}
	*list = out;
	return result;
}

int kel_get_sensor_status(int handle, int item, int type, int port, int *out)
{
	const int32_t a[] = {item, type, port};
	return call_int_out(handle, "kel_get_sensor_status", 3, a, out);
}

int kel_get_sensor_threshold(int handle, int kind, int level, int port, int *out)
{
	const int32_t a[] = {kind, level, port};
	return call_int_out(handle, "kel_get_sensor_threshold", 3, a, out);
}

int kel_get_sensor_atod_value_type(int handle, int port, int *out)
{
	const int32_t a[] = {port};
	return call_int_out(handle, "kel_get_sensor_atod_value_type", 1, a, out);
}

int kel_get_sensor_420MA_value_type(int handle, int port, int *out)
{
	const int32_t a[] = {port};
	return call_int_out(handle, "kel_get_sensor_420MA_value_type", 1, a, out);
}

int kel_get_sensor_atod_unit(int handle, int port, char *buf, int len)
{
	const int32_t a[] = {port, len};
	return call_text_out(handle, "kel_get_sensor_atod_unit", 2, a, buf, len);
}

int kel_get_sensor_420MA_unit(int handle, int port, char *buf, int len)
{
	const int32_t a[] = {port, len};
	return call_text_out(handle, "kel_get_sensor_420MA_unit", 2, a, buf, len);
}

int kel_get_sensor_description(int handle, int type, int port, char *buf, int len)
{
	const int32_t a[] = {type, port, len};
	return call_text_out(handle, "kel_get_sensor_description", 3, a, buf, len);
}

int kel_db_get(int handle, const char *key, void **block, char **value, int mode, int *status)
{
	kel_msg m;
	begin(&m, "kel_db_get");
	msg_put_str(&m, key, strlen(key));
	msg_put_int(&m, mode);
	*block = nullptr;
	*value = nullptr;
	*status = -1;
	int32_t result;
	const char *s;
	size_t n;
	if (!exchange(handle, &m, &result) || !result)
		return 0;
	// A success that carries nothing more is keld's word that the key has
	// no value; anything else there must be the value.
	if (m.pos == m.len)
		return result;
	if (!msg_get_str(&m, &s, &n))
		return 0;
	char *copy = (char *)malloc(n + 1);
	if (!copy)
		return 0;
	memcpy(copy, s, n);
	copy[n] = '\0';
	*block = copy;
	*value = copy;
	*status = (int)n;
	return result;
}

int kel_get_network_ip(int handle, int item, uint32_t *addr)
{
	const int32_t a[] = {item};
	return call_int_out(handle, "kel_get_network_ip", 1, a, (int *)addr);
}

int kel_set_network_ip(int handle, int item, uint32_t addr)
{
	const int32_t a[] = {item, (int32_t)addr};
	return call_ints(handle, "kel_set_network_ip", 0, 2, a);
}

int kel_set_use_dhcp(int handle, int on)
{
	return call_ints(handle, "kel_set_use_dhcp", 0, 1, &on);
}

int kel_set_camera_enable(int handle, int on)
{
	return call_ints(handle, "kel_set_camera_enable", 0, 1, &on);
}

int kel_reload_network_setting(int handle)
{
	return call_ints(handle, "kel_reload_network_setting", 0, 0, nullptr);
}

int kel_set_manuf_name(int handle, const char *text, int len)
{
	return call_text_in(handle, "kel_set_manuf_name", text, len);
}

int kel_set_product_name(int handle, const char *text, int len)
{
	return call_text_in(handle, "kel_set_product_name", text, len);
}

int kel_set_system_description(int handle, const char *text, int len)
{
	return call_text_in(handle, "kel_set_system_description", text, len);
}

int kel_set_help_url(int handle, const char *text, int len)
{
	return call_text_in(handle, "kel_set_help_url", text, len);
}

int kel_set_time_zone(int handle, int zone)
{
	return call_ints(handle, "kel_set_time_zone", 0, 1, &zone);
}

int kel_run_keld_command(int handle, const char *command, int len)
{
	return call_text_in(handle, "kel_run_keld_command", command, len);
}

int kel_make_event(int handle, int type, int port, int value, int raw, int status, int degree,
                   uint32_t source, uint32_t cameras)
{
	const int32_t a[] = {type, port, value, raw, status, degree, (int32_t)source, (int32_t)cameras};
	return call_ints(handle, "kel_make_event", 0, 8, a);
}

int kel_ppp_command(int handle, int command, int port, int connect_to)
{
	const int32_t a[] = {command, port, connect_to};
	return call_ints(handle, "kel_ppp_command", 1, 3, a);
}

}
