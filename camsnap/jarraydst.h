// A libjpeg destination that writes into a fixed array the caller owns.
//
// When the stream outgrows the array, the last 8 bytes of the array are
// written over again and again, so compression never stops and nothing is
// written outside the array; JpegOutputTooBig tells the caller that the
// stream it got is damaged.
#ifndef CAMSNAP_JARRAYDST_H
#define CAMSNAP_JARRAYDST_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <jpeglib.h>

struct array_destination_mgr {
	struct jpeg_destination_mgr pub;  // libjpeg's part; must come first
	uint32_t bufsize;                 // size of the output area in bytes
	int32_t datacount;                // stream length, set when compression ends
	JOCTET *buffer;                   // start of the output area
};

extern int JpegOutputTooBig;    // 1 once the area overflowed during the compression
extern long jpeg_overrun_bytes; // stream bytes written over again: length + this = stream

void jpeg_array_dest(j_compress_ptr cinfo, JOCTET *buffer, unsigned size);
void array_init_destination(j_compress_ptr cinfo);
boolean array_empty_output_buffer(j_compress_ptr cinfo);
void array_term_destination(j_compress_ptr cinfo);

#endif
