// kel_wire.h: the message format between the stand-in libkel and keld-sim.
//
// Every message travels as a frame: a 4-byte big-endian payload length, then
// the payload.  A payload is a run of fields, each a tag byte followed by its
// value: 'i' and a 4-byte big-endian integer, or 's', a 2-byte big-endian
// length and that many bytes.  A request starts with the call's name as an
// 's' field, then its input arguments; a reply starts with the call's result
// as an 'i' field, then its outputs.  Both sides decode with bounds checks so
// that a damaged frame is refused, never read past.
#ifndef KEL_WIRE_H
#define KEL_WIRE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/uio.h>

constexpr size_t kel_frame_max = 65536;   // largest payload either side accepts
constexpr char kel_tag_int = 'i';
constexpr char kel_tag_str = 's';

struct kel_msg {
	unsigned char data[kel_frame_max];  // payload
	size_t len;                         // bytes of payload in use
	size_t pos;                         // read position while decoding
	bool bad;                           // a put overflowed or a get found no field
};

inline void msg_clear(kel_msg *m)
{
	m->len = 0;
	m->pos = 0;
	m->bad = false;
}

inline void msg_put_int(kel_msg *m, int32_t v)
{
	if (m->len + 5 > sizeof m->data) {
		m->bad = true;
		return;
	}
	uint32_t u = (uint32_t)v;
	unsigned char *p = m->data + m->len;
	p[0] = kel_tag_int;
	p[1] = (unsigned char)(u >> 24);
	p[2] = (unsigned char)(u >> 16);
	p[3] = (unsigned char)(u >> 8);
	p[4] = (unsigned char)u;
	m->len += 5;
}

inline void msg_put_str(kel_msg *m, const char *s, size_t n)
{
	if (n > 0xffff || m->len + 3 + n > sizeof m->data) {
		m->bad = true;
		return;
	}
	unsigned char *p = m->data + m->len;
	p[0] = kel_tag_str;
	p[1] = (unsigned char)(n >> 8);
	p[2] = (unsigned char)n;
	if (n)
		memcpy(p + 3, s, n);
	m->len += 3 + n;
}

inline bool msg_get_int(kel_msg *m, int32_t *v)
{
	if (m->pos + 5 > m->len || m->data[m->pos] != kel_tag_int) {
		m->bad = true;
		return false;
	}
	const unsigned char *p = m->data + m->pos;
	*v = (int32_t)((uint32_t)p[1] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 8 | p[4]);
	m->pos += 5;
	return true;
}

// On success *s points into the message; the text is not terminated.
inline bool msg_get_str(kel_msg *m, const char **s, size_t *n)
{
	if (m->pos + 3 > m->len || m->data[m->pos] != kel_tag_str) {
		m->bad = true;
		return false;
	}
	size_t k = (size_t)m->data[m->pos + 1] << 8 | m->data[m->pos + 2];
	if (m->pos + 3 + k > m->len) {
		m->bad = true;
		return false;
	}
	*s = (const char *)m->data + m->pos + 3;
	*n = k;
	m->pos += 3 + k;
	return true;
}

inline void frame_header(unsigned char hdr[4], size_t len)
{
	hdr[0] = (unsigned char)(len >> 24);
	hdr[1] = (unsigned char)(len >> 16);
	hdr[2] = (unsigned char)(len >> 8);
	hdr[3] = (unsigned char)len;
}

inline size_t frame_length(const unsigned char hdr[4])
{
	return (size_t)hdr[0] << 24 | (size_t)hdr[1] << 16 | (size_t)hdr[2] << 8 | hdr[3];
}

// A frame goes out as two pieces, header and payload, in as few sends as the
// socket allows: drop the first n bytes that a send took from the pieces.
inline void frame_pieces_advance(struct iovec **pieces, int *count, size_t n)
{
	while (*count > 0 && n >= (*pieces)->iov_len) {
		n -= (*pieces)->iov_len;
		(*pieces)++;
		(*count)--;
	}
	if (*count > 0) {
		(*pieces)->iov_base = (unsigned char *)(*pieces)->iov_base + n;
		(*pieces)->iov_len -= n;
	}
}

#endif
