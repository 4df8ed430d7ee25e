// Reduction and quad placement for camsnap.  Both routines work on memory the
// caller holds, allocate nothing and report nothing.
#include "yuvscale.h"

#include <string.h>

// The mean of the four taps of output sample (col, row) of a plane whose rows
// are len bytes long.  Addresses are linear, so a column one past the row
// wraps onto the next row, just as the reduction has always behaved.
static inline int tap_mean(const uint8_t *plane, int len, int col, int row, int f, int d)
{
	const uint8_t *top = plane + row * f * len;
	const uint8_t *low = top + d * len;
	return (top[col * f] + top[(col + 1) * f] + low[col * f] + low[(col + 1) * f]) >> 2;
}

// The same for the V plane, the last of the image: the right-hand lower tap of
// its last sample falls one byte past the image with factor 2, and nothing
// promises a byte there, so that tap takes the plane's last sample instead.
static inline int tap_mean_last_plane(const uint8_t *plane, int len, int plane_size, int col,
                                      int row, int f, int d)
{
	int top = row * f * len;
	int low = top + d * len;
	int last = low + (col + 1) * f;
	if (last > plane_size - 1)
		last = plane_size - 1;
	return (plane[top + col * f] + plane[top + (col + 1) * f] + plane[low + col * f] +
	        plane[last]) >> 2;
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// The first samples of a row reduced by 2, four at a time in a 64-bit word:
// the even bytes of eight source bytes are the taps, and a column's two taps
// summed fit a 16-bit lane, as do two neighbouring column sums.  Reads stay
// inside the row.  Return how many samples were written; the caller does the
// rest one by one.  (The appliance is little-endian; other hosts take the
// plain loop.)
static int reduce_row_by_2(const uint8_t *top, const uint8_t *low, uint8_t *out, int n)
{
	const uint64_t even = 0x00ff00ff00ff00ffull;  // the low byte of each 16-bit lane
	if (n < 8)
		return 0;
	uint64_t t, l;
	memcpy(&t, top, 8);
	memcpy(&l, low, 8);
	uint64_t sums = (t & even) + (l & even);  // column sums of samples j .. j + 3
	int j = 0;
	for (; j + 8 <= n; j += 4) {
		memcpy(&t, top + 2 * j + 8, 8);
		memcpy(&l, low + 2 * j + 8, 8);
		uint64_t next = (t & even) + (l & even);
		uint64_t pairs = sums + ((sums >> 16) | (next << 48));
		uint64_t means = (pairs >> 2) & even;
		means |= means >> 8;
		uint32_t four = (uint32_t)(means & 0xffff) | (uint32_t)((means >> 16) & 0xffff0000);
		memcpy(out + j, &four, 4);
		sums = next;
	}
	return j;
}
#endif

// One plane of a reduction whose destination does not overlap its source,
// row by row: the same taps, wraps included, in an order the compiler can
// make fast.  The last plane's last sample goes through tap_mean_last_plane.
static void reduce_plane(const uint8_t *src, int len, int plane_size, int ow, int oh, int f,
                         int d, uint8_t *dst, bool last_plane)
{
	for (int k = 0; k < oh; k++) {
		const uint8_t *top = src + k * f * len;
		const uint8_t *low = top + d * len;
		uint8_t *out = dst + k * ow;
		int n = last_plane && k == oh - 1 ? ow - 1 : ow;
		int j = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
		if (f == 2)
			j = reduce_row_by_2(top, low, out, n);
#endif
		for (; j < n; j++)
			out[j] = (uint8_t)((top[j * f] + top[(j + 1) * f] + low[j * f] + low[(j + 1) * f]) >> 2);
	}
	if (last_plane)
		dst[oh * ow - 1] = (uint8_t)tap_mean_last_plane(src, len, plane_size, ow - 1, oh - 1, f, d);
}

void yuv_avg_resize(uint8_t *source, uint8_t *destination, int frame_width, int frame_height,
                    int factor)
{
	int w = frame_width, h = frame_height, f = factor;
	size_t image = (size_t)w * h * 3 / 2;
	if (destination + image <= source || source + image <= destination) {
		int area = w * h, ow = w / f, oh = h / f;
		int d = f == 2 ? 1 : 2;
		reduce_plane(source, w, area, ow, oh, f, d, destination, false);
		reduce_plane(source + area, w / 2, area / 4, ow / 2, oh / 2, f, d, destination + area,
		             false);
		reduce_plane(source + area + area / 4, w / 2, area / 4, ow / 2, oh / 2, f, d,
		             destination + area + area / 4, true);
		return;
	}
	// In place: the order below is what defines the result, since later
	// samples read bytes that earlier ones replaced.
	int ow = w / f, oh = h / f;
	int d = f == 2 ? 1 : 2;
	int area = w * h, chroma_area = area >> 2, cw = w / 2;
	const uint8_t *sy = source, *su = source + area, *sv = su + chroma_area;
	uint8_t *dy = destination, *du = destination + area, *dv = du + chroma_area;

	for (int r = 0; r < oh / 2; r++) {
		for (int j = 0; j < ow / 2; j++) {
			int y0 = tap_mean(sy, w, 2 * j, 2 * r, f, d);
			int y1 = tap_mean(sy, w, 2 * j + 1, 2 * r, f, d);
			int u = tap_mean(su, cw, j, r, f, d);
			int v = tap_mean_last_plane(sv, cw, chroma_area, j, r, f, d);
			dy[2 * r * ow + 2 * j] = (uint8_t)y0;
			dy[2 * r * ow + 2 * j + 1] = (uint8_t)y1;
			du[r * (ow / 2) + j] = (uint8_t)u;
			dv[r * (ow / 2) + j] = (uint8_t)v;
		}
		for (int j = 0; j < ow / 2; j++) {
			int y0 = tap_mean(sy, w, 2 * j, 2 * r + 1, f, d);
			int y1 = tap_mean(sy, w, 2 * j + 1, 2 * r + 1, f, d);
			dy[(2 * r + 1) * ow + 2 * j] = (uint8_t)y0;
			dy[(2 * r + 1) * ow + 2 * j + 1] = (uint8_t)y1;
		}
	}
}

int put_thumbnail(const uint8_t *planes, uint8_t *composite, int frame_width, int frame_height,
                  int quad_width, int quad_height, int quarter)
{
	int qw = quad_width, qh = quad_height;
	int x0 = (quarter & 1) ? qw / 2 : 0;
	int y0 = (quarter & 2) ? qh / 2 : 0;
	int n = qw / 4;  // chroma samples per quarter row
	int frame_area = frame_width * frame_height;
	const uint8_t *sy = planes, *su = planes + frame_area, *sv = su + (frame_area >> 2);
	uint8_t *cy = composite, *cu = composite + qw * qh, *cv = cu + ((qw * qh) >> 2);

	for (int r = 0; r < qh / 4; r++) {
		memcpy(cy + (y0 + 2 * r) * qw + x0, sy, 2 * n);
		sy += 2 * n;
		memcpy(cu + (y0 / 2 + r) * (qw / 2) + x0 / 2, su, n);
		su += n;
		memcpy(cv + (y0 / 2 + r) * (qw / 2) + x0 / 2, sv, n);
		sv += n;
		memcpy(cy + (y0 + 2 * r + 1) * qw + x0, sy, 2 * n);
		sy += 2 * n;
	}
	return 0;
}

void fill_blank(uint8_t *planes, int width, int height)
{
	int area = width * height;
	memset(planes, 16, area);
	memset(planes + area, 128, area / 2);
}
