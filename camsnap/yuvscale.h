// Pixel work on planar YUV 4:2:0 pictures: reduction by an integer factor and
// placing a reduced picture in one quarter of the quad view.
#ifndef CAMSNAP_YUVSCALE_H
#define CAMSNAP_YUVSCALE_H

#include <stdint.h>

// Reduce a w x h frame by factor, each sample the mean of four taps, leaving
// a frame-placed picture at destination, which must not overlap the frame.
void yuv_avg_resize(const uint8_t *source, uint8_t *destination, int frame_width,
                    int frame_height, int factor);

// Copy a quarter-sized frame-placed picture into quarter 0..3 of the
// composite; nothing outside the quarter is written.
void put_thumbnail(const uint8_t *planes, uint8_t *composite, int frame_width, int frame_height,
                   int quad_width, int quad_height, int quarter);

// Fill a width x height planar picture with dark grey (Y 16, U and V 128).
void fill_blank(uint8_t *planes, int width, int height);

#endif
