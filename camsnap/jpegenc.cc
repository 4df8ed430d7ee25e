// yuv_to_jpeg hands the planes to libjpeg as raw, already subsampled rows:
// no colour conversion, no downsampling and no copy of the picture.
#include "jpegenc.h"

#include <stdio.h>

#include "jarraydst.h"

// libjpeg takes raw data in bands of one MCU row: 16 luma and 8 chroma rows.
constexpr int band_rows = 16;
// How much a stream shrinks as the quantisation scale grows: size goes
// about as scale^-0.75 on detailed camera pictures, so the scale must grow
// by ratio^(4/3) to shrink a stream by ratio.
// Aim this far below the area, so that one retry is the usual case.
constexpr long retry_target = jpeg_area_size * 7 / 8;

int yuv_to_jpeg(int quality, int frame_width, int frame_height, int width, int height,
                const uint8_t *planes, uint8_t *jpeg_buffer)
{
	struct jpeg_compress_struct cinfo;
	struct jpeg_error_mgr jerr;
	cinfo.err = jpeg_std_error(&jerr);
	jpeg_create_compress(&cinfo);

	cinfo.image_width = width;
	cinfo.image_height = height;
	cinfo.input_components = 3;
	cinfo.in_color_space = JCS_YCbCr;
	jpeg_set_defaults(&cinfo);
	cinfo.dct_method = JDCT_IFAST;
	cinfo.raw_data_in = TRUE;
	cinfo.comp_info[0].h_samp_factor = 2;
	cinfo.comp_info[0].v_samp_factor = 2;
	cinfo.comp_info[1].h_samp_factor = 1;
	cinfo.comp_info[1].v_samp_factor = 1;
	cinfo.comp_info[2].h_samp_factor = 1;
	cinfo.comp_info[2].v_samp_factor = 1;
	jpeg_array_dest(&cinfo, jpeg_buffer, jpeg_area_size);
	jpeg_set_quality(&cinfo, quality, TRUE);
	jpeg_start_compress(&cinfo, TRUE);

	JSAMPROW y_rows[band_rows], u_rows[band_rows], v_rows[band_rows];
	JSAMPARRAY image[3] = {y_rows, u_rows, v_rows};
	int frame_area = frame_width * frame_height;
	JSAMPLE *y = (JSAMPLE *)planes;  // libjpeg only reads through these
	JSAMPLE *u = y + frame_area;
	JSAMPLE *v = u + (frame_area >> 2);
	// libjpeg reads whole bands, so a picture whose height is not a multiple
	// of 16 would have it read rows below the picture: whatever the buffer
	// holds there, past its end even, and the decoder's smoothing of chroma
	// would carry those rows into the picture's last lines.  Below the picture
	// the pointers repeat its last row instead, as libjpeg itself pads.
	JSAMPLE *y_last = y + (height - 1) * width;
	JSAMPLE *u_last = u + (height / 2 - 1) * (width / 2);
	JSAMPLE *v_last = v + (height / 2 - 1) * (width / 2);
	int bands = (height + band_rows - 1) / band_rows;
	for (int band = 0; band < bands; band++) {
		for (int i = 0; i < band_rows; i++) {
			y_rows[i] = y <= y_last ? y : y_last;
			y += width;
		}
		for (int i = 0; i < band_rows / 2; i++) {
			u_rows[i] = u <= u_last ? u : u_last;
			v_rows[i] = v <= v_last ? v : v_last;
			u += width / 2;
			v += width / 2;
		}
		jpeg_write_raw_data(&cinfo, image, band_rows);
	}
	jpeg_finish_compress(&cinfo);

	int length = ((array_destination_mgr *)cinfo.dest)->datacount;
	jpeg_destroy_compress(&cinfo);
	return length;
}

// libjpeg's own mapping from quality to the percentage its tables are scaled by.
static double quality_scale(int quality)
{
	if (quality < 1)
		quality = 1;
	if (quality > 100)
		quality = 100;
	return quality < 50 ? 5000.0 / quality : 200.0 - 2 * quality;
}

// The cube root of x >= 1 by Newton's method, in place of cbrt: loading the
// maths library would cost every request some 26,000 instructions (5 % of
// an 80x60 snapshot's, 3 % of the smallest quad view's) for the rare one
// whose stream overflows.
static double cube_root(double x)
{
	double r = x;
	for (int i = 0; i < 40; i++)
		r = (2 * r + x / (r * r)) / 3;
	return r;
}

int lower_quality(int quality, long stream_bytes, long wanted_bytes)
{
	if (quality > 100)
		quality = 100;
	if (quality <= 1)
		return 1;
	double ratio = (double)stream_bytes / (double)(wanted_bytes > 0 ? wanted_bytes : 1);
	if (ratio < 1)
		ratio = 1;
	double scale = quality_scale(quality) * ratio * cube_root(ratio);
	int next = scale <= 100 ? (int)((200 - scale) / 2) : (int)(5000 / scale);
	if (next >= quality)
		next = quality - 1;
	return next < 1 ? 1 : next;
}

int yuv_to_jpeg_fitting(int quality, int frame_width, int frame_height, int width, int height,
                        const uint8_t *planes, uint8_t *jpeg_buffer)
{
	int length = yuv_to_jpeg(quality, frame_width, frame_height, width, height, planes,
	                         jpeg_buffer);
	while (JpegOutputTooBig && quality > 1) {
		// The stream's true length: what the area counts plus what wrapped.
		long stream = length + jpeg_overrun_bytes;
		quality = lower_quality(quality, stream, retry_target);
		length = yuv_to_jpeg(quality, frame_width, frame_height, width, height, planes,
		                     jpeg_buffer);
	}
	return JpegOutputTooBig ? 0 : length;
}
