// The array destination's arithmetic, and what yuv_to_jpeg encodes, checked
// by decoding it again.
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <jpeglib.h>
#include <algorithm>
#include <vector>

#include "jarraydst.h"
#include "jpegenc.h"

namespace {

uint8_t stream_byte(long i) { return (uint8_t)(i * 7 + 3); }

// Feed total bytes through the destination as libjpeg's emit path does.
int32_t write_stream(j_compress_ptr c, long total)
{
	c->dest->init_destination(c);
	for (long i = 0; i < total; i++) {
		*c->dest->next_output_byte++ = stream_byte(i);
		if (--c->dest->free_in_buffer == 0) {
			EXPECT_TRUE(c->dest->empty_output_buffer(c));
		}
	}
	c->dest->term_destination(c);
	return ((array_destination_mgr *)c->dest)->datacount;
}

TEST(ArrayDestination, KeepsShortStreamsWholeAndWrapsLongOnesOverTheLast8Bytes)
{
	const long S = jpeg_area_size;
	struct { long total, length; int too_big; } cases[] = {
		{1000, 1000, 0}, {S - 1, S - 1, 0}, {S, S - 8, 1}, {S + 5, S - 3, 1}, {S + 8, S - 8, 1},
		{S + 8 * 40 + 3, S - 5, 1},
	};
	for (auto c : cases) {
		SCOPED_TRACE(c.total);
		std::vector<uint8_t> area(S + 16, 0xA5);
		struct jpeg_compress_struct cinfo;
		struct jpeg_error_mgr jerr;
		cinfo.err = jpeg_std_error(&jerr);
		jpeg_create_compress(&cinfo);
		jpeg_array_dest(&cinfo, area.data(), S);
		EXPECT_EQ(((array_destination_mgr *)cinfo.dest)->datacount, 0);
		int32_t length = write_stream(&cinfo, c.total);
		EXPECT_EQ(length, c.length);
		EXPECT_EQ(JpegOutputTooBig, c.too_big);
		EXPECT_EQ(length + jpeg_overrun_bytes, c.total);
		long kept_head = c.too_big ? S - 8 : c.total;
		for (long i = 0; i < kept_head; i++)
			ASSERT_EQ(area[i], stream_byte(i)) << "byte " << i;
		long tail = length - kept_head;
		for (long i = 0; i < tail; i++)
			ASSERT_EQ(area[kept_head + i], stream_byte(c.total - tail + i)) << "tail " << i;
		for (long i = c.too_big ? S : c.total; i < S + 16; i++)
			ASSERT_EQ(area[i], 0xA5) << "byte " << i << " past the stream";
		// The record is ready for another compression into the same area,
		// and installing again reuses it.
		EXPECT_EQ(cinfo.dest->next_output_byte, area.data());
		EXPECT_EQ(cinfo.dest->free_in_buffer, (size_t)S);
		struct jpeg_destination_mgr *before = cinfo.dest;
		jpeg_array_dest(&cinfo, area.data(), 64);
		EXPECT_EQ(cinfo.dest, before);
		EXPECT_EQ(write_stream(&cinfo, 70), 62);
		EXPECT_EQ(JpegOutputTooBig, 1);
		jpeg_destroy_compress(&cinfo);
	}
}

struct decoded {
	int width = 0, height = 0, warnings = 0;
	std::vector<uint8_t> ycc;  // Y, Cb, Cr per pixel
	unsigned quant0[DCTSIZE2] = {};
	std::vector<int> sampling;  // horizontal and vertical factor of each component
};

void count_warning(j_common_ptr c, int level)
{
	if (level < 0)
		(*(int *)c->client_data)++;
}

decoded decode(const uint8_t *data, int length)
{
	decoded d;
	struct jpeg_decompress_struct cinfo;
	struct jpeg_error_mgr jerr;
	cinfo.err = jpeg_std_error(&jerr);
	jerr.emit_message = count_warning;
	cinfo.client_data = &d.warnings;
	jpeg_create_decompress(&cinfo);
	jpeg_mem_src(&cinfo, (unsigned char *)data, length);
	jpeg_read_header(&cinfo, TRUE);
	cinfo.out_color_space = JCS_YCbCr;
	for (int i = 0; i < cinfo.num_components; i++) {
		d.sampling.push_back(cinfo.comp_info[i].h_samp_factor);
		d.sampling.push_back(cinfo.comp_info[i].v_samp_factor);
	}
	for (int i = 0; i < DCTSIZE2; i++)
		d.quant0[i] = cinfo.quant_tbl_ptrs[0]->quantval[i];
	jpeg_start_decompress(&cinfo);
	d.width = cinfo.output_width;
	d.height = cinfo.output_height;
	d.ycc.resize((size_t)d.width * d.height * 3);
	while (cinfo.output_scanline < cinfo.output_height) {
		JSAMPROW row = d.ycc.data() + (size_t)cinfo.output_scanline * d.width * 3;
		jpeg_read_scanlines(&cinfo, &row, 1);
	}
	jpeg_finish_decompress(&cinfo);
	jpeg_destroy_decompress(&cinfo);
	return d;
}

// A picture whose planes tell apart: Y dark on the left half, light on the
// right; U low on the top half, high below; V uniform.  It is placed in a
// frame of fw x fh whose other bytes are a loud 0xFF.
std::vector<uint8_t> marked_picture(int fw, int fh, int w, int h)
{
	int farea = fw * fh;
	std::vector<uint8_t> p(farea * 3 / 2, 0xFF);
	for (int r = 0; r < h; r++)
		for (int c = 0; c < w; c++)
			p[r * w + c] = c < w / 2 ? 60 : 190;
	for (int r = 0; r < h / 2; r++)
		for (int c = 0; c < w / 2; c++) {
			p[farea + r * (w / 2) + c] = r < h / 4 ? 80 : 170;
			p[farea + farea / 4 + r * (w / 2) + c] = 100;
		}
	return p;
}

TEST(Encoder, ReadsEachPlaneWhereTheFrameLayoutPutsIt)
{
	struct { int fw, fh, w, h; } cases[] = {
		{640, 480, 640, 480}, {640, 480, 320, 240}, {640, 480, 160, 120}, {640, 480, 80, 60},
		{320, 240, 320, 240}, {320, 240, 80, 60}, {160, 120, 160, 120},
	};
	for (auto c : cases) {
		SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " in " << c.fw << "x" << c.fh);
		std::vector<uint8_t> pic = marked_picture(c.fw, c.fh, c.w, c.h);
		std::vector<uint8_t> out(jpeg_area_size);
		int length = yuv_to_jpeg(80, c.fw, c.fh, c.w, c.h, pic.data(), out.data());
		ASSERT_GT(length, 0);
		ASSERT_LT(length, jpeg_area_size);
		EXPECT_EQ(JpegOutputTooBig, 0);
		decoded d = decode(out.data(), length);
		EXPECT_EQ(d.warnings, 0);
		EXPECT_EQ(d.sampling, (std::vector<int>{2, 2, 1, 1, 1, 1}));  // 4:2:0
		ASSERT_EQ(d.width, c.w);
		ASSERT_EQ(d.height, c.h);
		struct { int x, y, Y, U, V; } points[] = {
			{c.w / 4, c.h / 8, 60, 80, 100}, {c.w * 3 / 4, c.h / 8, 190, 80, 100},
			{c.w / 4, c.h * 7 / 8, 60, 170, 100}, {c.w * 3 / 4, c.h * 7 / 8, 190, 170, 100},
			{c.w / 4, c.h - 1, 60, 170, 100}, {c.w * 3 / 4, c.h - 1, 190, 170, 100},
		};
		for (auto p : points) {
			const uint8_t *px = &d.ycc[((size_t)p.y * c.w + p.x) * 3];
			EXPECT_NEAR(px[0], p.Y, 6) << "Y at " << p.x << "," << p.y;
			EXPECT_NEAR(px[1], p.U, 6) << "Cb at " << p.x << "," << p.y;
			EXPECT_NEAR(px[2], p.V, 6) << "Cr at " << p.x << "," << p.y;
		}
	}
}

// Rows below a picture that is not a whole number of 16-row bands are not
// the picture's: what the frame holds there must not reach the stream.
TEST(Encoder, IgnoresWhatTheFrameHoldsBelowThePicture)
{
	struct { int fw, fh, w, h; } cases[] = {{640, 480, 80, 60}, {640, 480, 160, 120},
	                                        {320, 240, 80, 60}};
	for (auto c : cases) {
		SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " in " << c.fw << "x" << c.fh);
		std::vector<uint8_t> loud = marked_picture(c.fw, c.fh, c.w, c.h), quiet = loud;
		int farea = c.fw * c.fh, area = c.w * c.h;
		for (int plane = 0; plane < 3; plane++) {
			int base = plane == 0 ? 0 : plane == 1 ? farea : farea + farea / 4;
			int size = plane == 0 ? area : area / 4, room = plane == 0 ? farea : farea / 4;
			std::fill(quiet.begin() + base + size, quiet.begin() + base + room, 0);
		}
		std::vector<uint8_t> a(jpeg_area_size), b(jpeg_area_size);
		int la = yuv_to_jpeg(80, c.fw, c.fh, c.w, c.h, loud.data(), a.data());
		int lb = yuv_to_jpeg(80, c.fw, c.fh, c.w, c.h, quiet.data(), b.data());
		ASSERT_EQ(la, lb);
		EXPECT_EQ(memcmp(a.data(), b.data(), la), 0);
	}
}

TEST(Encoder, QualityOutsideTheRangeIsClampedByTheLibrary)
{
	std::vector<uint8_t> pic = marked_picture(320, 240, 320, 240);
	std::vector<uint8_t> out(jpeg_area_size);
	struct { int quality; unsigned each; } cases[] = {{0, 255}, {1, 255}, {150, 1}, {100, 1}};
	for (auto c : cases) {
		int length = yuv_to_jpeg(c.quality, 320, 240, 320, 240, pic.data(), out.data());
		decoded d = decode(out.data(), length);
		for (unsigned q : d.quant0)
			ASSERT_EQ(q, c.each) << "quality " << c.quality;
	}
}

// Fine texture with grain, like a detailed camera picture: about 125 KB at
// quality 64, far more than the area holds.
std::vector<uint8_t> detailed_frame(uint32_t seed)
{
	std::vector<uint8_t> p(640 * 480 * 3 / 2);
	for (size_t i = 0; i < p.size(); i++) {
		seed = seed * 1103515245u + 12345u;
		int x = i % 640, y = (i / 640) % 480;
		int v = 128 + (int)(50 * sin(x * 0.3) * cos(y * 0.17) + 30 * sin((x + y) * 0.05)) +
		        (int)((seed >> 16) % 81) - 40;
		p[i] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
	}
	return p;
}

TEST(Encoder, OverflowingPictureIsEncodedAgainUntilItFits)
{
	std::vector<uint8_t> pic = detailed_frame(7);
	std::vector<uint8_t> out(jpeg_area_size);
	int damaged = yuv_to_jpeg(64, 640, 480, 640, 480, pic.data(), out.data());
	ASSERT_EQ(JpegOutputTooBig, 1) << "the test picture should overflow at quality 64";
	EXPECT_LT(damaged, jpeg_area_size);
	// The whole stream is about 125 KB: what wrapped is counted in full,
	// including what libjpeg's entropy coder wrote before it synced.
	EXPECT_GT(damaged + jpeg_overrun_bytes, jpeg_area_size * 3 / 2);

	int length = yuv_to_jpeg_fitting(64, 640, 480, 640, 480, pic.data(), out.data());
	EXPECT_EQ(JpegOutputTooBig, 0);
	ASSERT_GT(length, 0);
	EXPECT_LT(length, jpeg_area_size);
	// Not crushed further than needed: most of the area is used.
	EXPECT_GT(length, jpeg_area_size * 4 / 5);
	decoded d = decode(out.data(), length);
	EXPECT_EQ(d.warnings, 0);
	EXPECT_EQ(d.width, 640);
	EXPECT_EQ(d.height, 480);

	// A picture that fits is encoded once, at the quality asked for: a calm
	// one, and the detailed one at a quality where it takes three quarters of
	// the area, so that its size is estimated on the way.
	std::vector<uint8_t> calm = marked_picture(640, 480, 640, 480);
	std::vector<uint8_t> once(jpeg_area_size);
	ASSERT_GT(yuv_to_jpeg(20, 640, 480, 640, 480, pic.data(), once.data()), jpeg_area_size * 2 / 3);
	struct { const std::vector<uint8_t> *pic; int quality; } fits[] = {{&calm, 64}, {&pic, 20}};
	for (auto f : fits) {
		SCOPED_TRACE(f.quality);
		int whole = yuv_to_jpeg(f.quality, 640, 480, 640, 480, f.pic->data(), once.data());
		ASSERT_EQ(JpegOutputTooBig, 0);
		ASSERT_EQ(yuv_to_jpeg_fitting(f.quality, 640, 480, 640, 480, f.pic->data(), out.data()),
		          whole);
		EXPECT_EQ(memcmp(out.data(), once.data(), whole), 0);
	}
}

// A picture whose detail lies everywhere but in one macroblock in eleven,
// the ones an evenly spread sample of that step would see, so that its
// estimates err: the answer is still a whole stream that fits.
TEST(Encoder, PictureThatMisleadsTheEstimatesStillEndsAsAStreamThatFits)
{
	std::vector<uint8_t> pic = detailed_frame(7);
	uint8_t *u = pic.data() + 640 * 480, *v = u + 640 * 480 / 4;
	for (int mcu = 0; mcu < 40 * 30; mcu += 11) {
		int x = mcu % 40 * 16, y = mcu / 40 * 16;
		for (int r = 0; r < 16; r++)
			memset(pic.data() + (y + r) * 640 + x, 128, 16);
		for (int r = 0; r < 8; r++) {
			memset(u + (y / 2 + r) * 320 + x / 2, 128, 8);
			memset(v + (y / 2 + r) * 320 + x / 2, 128, 8);
		}
	}
	std::vector<uint8_t> out(jpeg_area_size);
	int length = yuv_to_jpeg_fitting(64, 640, 480, 640, 480, pic.data(), out.data());
	EXPECT_EQ(JpegOutputTooBig, 0);
	ASSERT_GT(length, 0);
	ASSERT_LT(length, jpeg_area_size);
	decoded d = decode(out.data(), length);
	EXPECT_EQ(d.warnings, 0);
	EXPECT_EQ(d.height, 480);
}

TEST(Encoder, LowerQualityAlwaysGoesDown)
{
	struct { int quality; long stream, wanted; } cases[] = {
		{64, 60000, 45000}, {64, 51200, 51199}, {100, 400000, 45000}, {2, 900000, 45000},
		{150, 60000, 45000}, {30, 46000, 45000},
	};
	for (auto c : cases) {
		int next = lower_quality(c.quality, c.stream, c.wanted);
		EXPECT_LT(next, c.quality > 100 ? 101 : c.quality) << c.quality << " " << c.stream;
		EXPECT_GE(next, 1);
	}
	EXPECT_EQ(lower_quality(1, 900000, 45000), 1);
	// Twice too big calls for a clearly lower quality than slightly too big.
	EXPECT_LT(lower_quality(64, 90000, 45000), lower_quality(64, 47000, 45000));
}

}  // namespace
