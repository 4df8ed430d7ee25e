// Reduction, quad placement and the blank picture for camsnap.  Each works
// on memory the caller holds, allocates nothing and reports nothing.
#include "yuvscale.h"

#include <string.h>

// The widest reduced row that the fast path below takes: half a 640-sample row.
constexpr int max_reduced_width = 320;

// One plane of a reduction, row by row, each sample the mean of four taps in
// an order the compiler can make fast.  Addresses are linear, so a column
// one past the row wraps onto the next row, as the reduction has always
// behaved.  F is the factor when it is known at compile time (0: take
// factor), so that the strided taps of the common factors are vectorised.
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
	// The right-hand lower tap of the image's last sample falls one byte past
	// the image with factor 2, and nothing promises a byte there: that tap
	// takes the plane's last sample instead.
	if (last_plane) {
		int top = (oh - 1) * f * len, low = top + d * len, right = low + ow * f;
		if (right > plane_size - 1)
			right = plane_size - 1;
		dst[oh * ow - 1] = (uint8_t)((src[top + (ow - 1) * f] + src[top + ow * f] +
		                              src[low + (ow - 1) * f] + src[right]) >> 2);
	}
}

// The three planes of a reduction.
template <int F>
static void reduce_frame(const uint8_t *source, uint8_t *destination, int w, int h, int factor)
{
	int area = w * h, ow = w / factor, oh = h / factor;
	reduce_plane<F>(source, w, area, ow, oh, factor, destination, false);
	reduce_plane<F>(source + area, w / 2, area / 4, ow / 2, oh / 2, factor, destination + area,
	                false);
	reduce_plane<F>(source + area + area / 4, w / 2, area / 4, ow / 2, oh / 2, factor,
	                destination + area + area / 4, true);
}

void yuv_avg_resize(const uint8_t *source, uint8_t *destination, int frame_width,
                    int frame_height, int factor)
{
	int w = frame_width, h = frame_height, f = factor;
	if (f == 2)
		reduce_frame<2>(source, destination, w, h, f);
	else if (f == 4)
		reduce_frame<4>(source, destination, w, h, f);
	else if (f == 8)
		reduce_frame<8>(source, destination, w, h, f);
	else
		reduce_frame<0>(source, destination, w, h, f);
}

void put_thumbnail(const uint8_t *planes, uint8_t *composite, int frame_width, int frame_height,
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
}

void fill_blank(uint8_t *planes, int width, int height)
{
	int area = width * height;
	memset(planes, 16, area);
	memset(planes + area, 128, area / 2);
}
