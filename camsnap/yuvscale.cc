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

// The widest reduced row that the fast path below takes: half a 640-sample row.
constexpr int max_reduced_width = 320;

// One plane of a reduction whose destination does not overlap its source,
// row by row: the same taps, wraps included, in an order the compiler can
// make fast.  F is the factor when it is known at compile time (0: take
// factor), so that the strided taps of the common factors are vectorised.
// The last plane's last sample goes through tap_mean_last_plane.
template <int F>
static void reduce_plane(const uint8_t *src, int len, int plane_size, int ow, int oh, int factor,
                         uint8_t *dst, bool last_plane)
{
	const int f = F ? F : factor;
	const int d = f == 2 ? 1 : 2;
	// Neighbouring samples share their taps: the right pair of one is the
	// left pair of the next.  Each column pair is summed once, in a strided
	// pass, and the samples come from the sums in a contiguous one.
	uint16_t pairs[max_reduced_width + 1];
	for (int k = 0; k < oh; k++) {
		const uint8_t *top = src + k * f * len;
		const uint8_t *low = top + d * len;
		uint8_t *out = dst + k * ow;
		int n = last_plane && k == oh - 1 ? ow - 1 : ow;
		if (n > max_reduced_width) {
			for (int j = 0; j < n; j++)
				out[j] = (uint8_t)((top[j * f] + top[(j + 1) * f] + low[j * f] +
				                    low[(j + 1) * f]) >> 2);
			continue;
		}
		for (int j = 0; j <= n; j++)
			pairs[j] = (uint16_t)(top[j * f] + low[j * f]);
		for (int j = 0; j < n; j++)
			out[j] = (uint8_t)((pairs[j] + pairs[j + 1]) >> 2);
	}
	if (last_plane)
		dst[oh * ow - 1] = (uint8_t)tap_mean_last_plane(src, len, plane_size, ow - 1, oh - 1, f, d);
}

// The three planes of a reduction into separate memory.
template <int F>
static void reduce_apart(const uint8_t *source, uint8_t *destination, int w, int h, int factor)
{
	int area = w * h, ow = w / factor, oh = h / factor;
	reduce_plane<F>(source, w, area, ow, oh, factor, destination, false);
	reduce_plane<F>(source + area, w / 2, area / 4, ow / 2, oh / 2, factor, destination + area,
	                false);
	reduce_plane<F>(source + area + area / 4, w / 2, area / 4, ow / 2, oh / 2, factor,
	                destination + area + area / 4, true);
}

void yuv_avg_resize(uint8_t *source, uint8_t *destination, int frame_width, int frame_height,
                    int factor)
{
	int w = frame_width, h = frame_height, f = factor;
	size_t image = (size_t)w * h * 3 / 2;
	if (destination + image <= source || source + image <= destination) {
		if (f == 2)
			reduce_apart<2>(source, destination, w, h, f);
		else if (f == 4)
			reduce_apart<4>(source, destination, w, h, f);
		else if (f == 8)
			reduce_apart<8>(source, destination, w, h, f);
		else
			reduce_apart<0>(source, destination, w, h, f);
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
