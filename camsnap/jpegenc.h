// JPEG encoding of planar YUV 4:2:0 pictures into camsnap's fixed output area.
#ifndef CAMSNAP_JPEGENC_H
#define CAMSNAP_JPEGENC_H

#include <stdint.h>

// Size of the JPEG output area that every encoding writes into.
constexpr int jpeg_area_size = 51200;

// Encode a width x height picture whose planes are placed as those of a
// frame_width x frame_height frame; return the stream's length in
// jpeg_buffer.  A stream that overflowed is damaged: see JpegOutputTooBig.
int yuv_to_jpeg(int quality, int frame_width, int frame_height, int width, int height,
                const uint8_t *planes, uint8_t *jpeg_buffer);

// A lower quality that should bring a stream of stream_bytes at quality down
// to about wanted_bytes; always below quality and at least 1.
int lower_quality(int quality, long stream_bytes, long wanted_bytes);

// yuv_to_jpeg, at lower qualities until the stream fits the area: the first
// try uses quality (limited to 1 to 100) and is given up as soon as it
// overflows or an estimate on the way says it will; the next quality is
// chosen from estimates, which cost a fraction of an encoding each.  Returns
// 0 when even quality 1 does not fit, so that no damaged stream ever leaves.
int yuv_to_jpeg_fitting(int quality, int frame_width, int frame_height, int width, int height,
                        const uint8_t *planes, uint8_t *jpeg_buffer);

#endif
