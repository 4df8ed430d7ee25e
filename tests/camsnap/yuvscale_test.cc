// The reduction's taps, and quad placement.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "yuvscale.h"

namespace {

// A frame of pseudo-random samples, the same on every machine.
std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
	std::vector<uint8_t> v(n);
	for (auto &b : v) {
		seed = seed * 1103515245u + 12345u;
		b = (uint8_t)(seed >> 16);
	}
	return v;
}

int mean4(int a, int b, int c, int d) { return (a + b + c + d) >> 2; }

TEST(Reduction, SamplesAreTheMeanOfFourTapsAtTheFactorsInUse)
{
	struct { int w, h, f, d; } cases[] = {
		{640, 480, 2, 1}, {640, 480, 4, 2}, {640, 480, 8, 2}, {320, 240, 2, 1}, {320, 240, 4, 2},
	};
	for (auto c : cases) {
		SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " by " << c.f);
		int area = c.w * c.h, ow = c.w / c.f, oh = c.h / c.f;
		std::vector<uint8_t> src = noise(area * 3 / 2, c.f + c.w);
		std::vector<uint8_t> dst(area * 3 / 2, 0);
		yuv_avg_resize(src.data(), dst.data(), c.w, c.h, c.f);
		const uint8_t *Y = src.data(), *U = Y + area, *V = U + area / 4;
		auto y = [&](int row, int col) { return Y[row * c.w + col]; };
		auto u = [&](int row, int col) { return U[row * (c.w / 2) + col]; };
		auto v = [&](int row, int col) { return V[row * (c.w / 2) + col]; };
		EXPECT_EQ(dst[0], mean4(y(0, 0), y(0, c.f), y(c.d, 0), y(c.d, c.f)));
		// An inner sample, a sample of an odd output row, and chroma.
		int j = ow / 2 - 3, k = oh / 2 + 1;
		EXPECT_EQ(dst[k * ow + j], mean4(y(k * c.f, j * c.f), y(k * c.f, (j + 1) * c.f),
		                                 y(k * c.f + c.d, j * c.f), y(k * c.f + c.d, (j + 1) * c.f)));
		int r = oh / 4, cj = ow / 4 - 1;
		const uint8_t *du = dst.data() + area, *dv = du + area / 4;
		EXPECT_EQ(du[r * (ow / 2) + cj],
		          mean4(u(r * c.f, cj * c.f), u(r * c.f, (cj + 1) * c.f),
		                u(r * c.f + c.d, cj * c.f), u(r * c.f + c.d, (cj + 1) * c.f)));
		EXPECT_EQ(dv[r * (ow / 2) + cj],
		          mean4(v(r * c.f, cj * c.f), v(r * c.f, (cj + 1) * c.f),
		                v(r * c.f + c.d, cj * c.f), v(r * c.f + c.d, (cj + 1) * c.f)));
		// The right-hand taps of a row's last sample wrap onto the next rows.
		EXPECT_EQ(dst[ow - 1], mean4(y(0, (ow - 1) * c.f), Y[c.w], y(c.d, (ow - 1) * c.f),
		                             Y[(c.d + 1) * c.w]));
		// The last row's last sample wraps past its plane: the last luma
		// sample's lower right tap is U[0] with factor 2, the last U
		// sample's is V[0].
		int top = (oh - 1) * c.f, low = top + c.d, last = (ow - 1) * c.f;
		EXPECT_EQ(dst[ow * oh - 1], mean4(Y[top * c.w + last], Y[top * c.w + c.w],
		                                  Y[low * c.w + last], Y[low * c.w + c.w]));
		int cw = c.w / 2, clast = (ow / 2 - 1) * c.f;
		int ctop = (oh / 2 - 1) * c.f, clow = ctop + c.d;
		EXPECT_EQ(du[(ow / 2) * (oh / 2) - 1], mean4(U[ctop * cw + clast], U[ctop * cw + cw],
		                                             U[clow * cw + clast], U[clow * cw + cw]));
	}
}

TEST(Reduction, RoundsDownAndKeepsTheFullRange)
{
	struct { uint8_t a, b, c, d, want; } cases[] = {
		{255, 255, 255, 255, 255}, {1, 1, 1, 0, 0}, {0, 0, 0, 0, 0}, {3, 3, 3, 2, 2},
	};
	for (auto c : cases) {
		std::vector<uint8_t> src(640 * 480 * 3 / 2, 0), dst(src.size(), 9);
		src[0] = c.a, src[2] = c.b, src[640] = c.c, src[642] = c.d;
		yuv_avg_resize(src.data(), dst.data(), 640, 480, 2);
		EXPECT_EQ(dst[0], c.want) << int(c.a) << "," << int(c.b) << "," << int(c.c) << "," << int(c.d);
	}
}

// The reduction as its definition reads: sample by sample, in its order of
// work, the last V tap held inside its plane as the real one does.
void reference_resize(const uint8_t *source, uint8_t *destination, int w, int h, int f)
{
	int ow = w / f, oh = h / f, d = f == 2 ? 1 : 2;
	long area = (long)w * h, chroma = area >> 2;
	const uint8_t *from[3] = {source, source + area, source + area + chroma};
	uint8_t *to[3] = {destination, destination + area, destination + area + chroma};
	auto sample = [&](int plane, int col, int row) {
		long len = plane == 0 ? w : w / 2;
		long top = row * f * len, low = top + d * len;
		long right_low = low + (col + 1) * f;
		if (plane == 2 && right_low > chroma - 1)
			right_low = chroma - 1;
		const uint8_t *p = from[plane];
		return (uint8_t)((p[top + col * f] + p[top + (col + 1) * f] + p[low + col * f] +
		                  p[right_low]) >> 2);
	};
	for (int r = 0; r < oh / 2; r++) {
		for (int j = 0; j < ow / 2; j++) {
			uint8_t y0 = sample(0, 2 * j, 2 * r), y1 = sample(0, 2 * j + 1, 2 * r);
			uint8_t u = sample(1, j, r), v = sample(2, j, r);
			to[0][2 * r * ow + 2 * j] = y0;
			to[0][2 * r * ow + 2 * j + 1] = y1;
			to[1][r * (ow / 2) + j] = u;
			to[2][r * (ow / 2) + j] = v;
		}
		for (int j = 0; j < ow / 2; j++) {
			uint8_t y0 = sample(0, 2 * j, 2 * r + 1), y1 = sample(0, 2 * j + 1, 2 * r + 1);
			to[0][(2 * r + 1) * ow + 2 * j] = y0;
			to[0][(2 * r + 1) * ow + 2 * j + 1] = y1;
		}
	}
}

// Every byte of the destination, the ones the reduction must leave alone
// included.  Besides the sizes in use, a frame wider than any camera's and
// an uncommon factor take the general paths.
TEST(Reduction, EveryByteAsDefined)
{
	struct { int w, h, f; } cases[] = {
		{640, 480, 2}, {640, 480, 4}, {640, 480, 8}, {320, 240, 2}, {320, 240, 4},
		{1280, 960, 2}, {640, 480, 16},
	};
	for (auto c : cases) {
		SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " by " << c.f);
		size_t image = (size_t)c.w * c.h * 3 / 2;
		std::vector<uint8_t> frame = noise(image, c.w + c.f);
		std::vector<uint8_t> got(image, 0x5A), want = got;
		yuv_avg_resize(frame.data(), got.data(), c.w, c.h, c.f);
		reference_resize(frame.data(), want.data(), c.w, c.h, c.f);
		for (size_t i = 0; i < got.size(); i++)
			ASSERT_EQ(got[i], want[i]) << "destination byte " << i;
	}
}

// With factor 2 the last V sample's lower right tap lies past the image; it
// takes the plane's last sample, so an exactly sized buffer is enough.
TEST(Reduction, LastChromaTapStaysInsideTheImage)
{
	for (int w : {640, 320}) {
		int h = w * 3 / 4, area = w * h, cw = w / 2;
		std::vector<uint8_t> src = noise(area * 3 / 2, w);
		std::vector<uint8_t> dst(area * 3 / 2);
		yuv_avg_resize(src.data(), dst.data(), w, h, 2);
		const uint8_t *V = src.data() + area + area / 4;
		int last = (h / 2 - 1) * cw + cw - 1;  // last V sample of the source plane
		int want = mean4(V[(h / 2 - 2) * cw + cw - 2], V[(h / 2 - 1) * cw], V[last - 1], V[last]);
		int ow = w / 2, oh = h / 2;
		EXPECT_EQ(dst[area + area / 4 + (oh / 2) * (ow / 2) - 1], want) << w;
	}
}

TEST(QuadPlacement, FillsExactlyItsQuarterFromTheFrameLayout)
{
	// quad size, frame layout the picture keeps
	struct { int qw, qh, fw, fh; } cases[] = {
		{640, 480, 320, 240}, {320, 240, 640, 480}, {160, 120, 640, 480}, {160, 120, 320, 240},
	};
	for (auto c : cases) {
		for (int quarter = 0; quarter < 4; quarter++) {
			SCOPED_TRACE(testing::Message() << c.qw << "x" << c.qh << " from " << c.fw
			                                << " quarter " << quarter);
			int farea = c.fw * c.fh, pw = c.qw / 2, ph = c.qh / 2;
			std::vector<uint8_t> pic = noise(farea * 3 / 2, quarter + c.qw);
			int qarea = c.qw * c.qh;
			std::vector<uint8_t> comp(qarea * 3 / 2, 0xEE);
			put_thumbnail(pic.data(), comp.data(), c.fw, c.fh, c.qw, c.qh, quarter);
			int x0 = quarter & 1 ? pw : 0, y0 = quarter & 2 ? ph : 0;
			for (int row = 0; row < c.qh; row++)
				for (int col = 0; col < c.qw; col++) {
					bool in = col >= x0 && col < x0 + pw && row >= y0 && row < y0 + ph;
					int want = in ? pic[(row - y0) * pw + col - x0] : 0xEE;
					ASSERT_EQ(comp[row * c.qw + col], want) << "luma " << col << "," << row;
				}
			for (int plane = 0; plane < 2; plane++) {
				const uint8_t *src = pic.data() + farea + plane * (farea / 4);
				const uint8_t *dst = comp.data() + qarea + plane * (qarea / 4);
				for (int row = 0; row < c.qh / 2; row++)
					for (int col = 0; col < c.qw / 2; col++) {
						bool in = col >= x0 / 2 && col < (x0 + pw) / 2 && row >= y0 / 2 &&
						          row < (y0 + ph) / 2;
						int want = in ? src[(row - y0 / 2) * (pw / 2) + col - x0 / 2] : 0xEE;
						ASSERT_EQ(dst[row * (c.qw / 2) + col], want)
							<< "plane " << plane << " " << col << "," << row;
					}
			}
		}
	}
}

}  // namespace
