// The array destination manager: a record whose first member is libjpeg's
// jpeg_destination_mgr, and its three callbacks.
#include "jarraydst.h"

// How many bytes at the end of the area are reused once it is full.
constexpr unsigned wrap_bytes = 8;

int JpegOutputTooBig;    // 1 once the current compression overflowed the area
long jpeg_overrun_bytes; // bytes written over again since the area filled

void array_init_destination(j_compress_ptr cinfo)
{
	array_destination_mgr *dest = (array_destination_mgr *)cinfo->dest;
	dest->pub.next_output_byte = dest->buffer;
	dest->pub.free_in_buffer = dest->bufsize;
	JpegOutputTooBig = 0;
	jpeg_overrun_bytes = 0;
}

// The area is full: step back over its last bytes and let libjpeg go on, so
// that it never writes past the area and never suspends.
//
// libjpeg's entropy coder works on its own copy of the two pointers and hands
// us the values it had when it last stored them, so free_in_buffer may still
// be above 0 here; the writer stood at the area's end either way, and is sent
// back free_in_buffer + 8 bytes.  That count is what jpeg_overrun_bytes adds
// up, so a caller knows the stream's true length.
boolean array_empty_output_buffer(j_compress_ptr cinfo)
{
	array_destination_mgr *dest = (array_destination_mgr *)cinfo->dest;
	jpeg_overrun_bytes += (long)dest->pub.free_in_buffer + wrap_bytes;
	dest->pub.next_output_byte -= wrap_bytes;
	dest->pub.free_in_buffer += wrap_bytes;
	JpegOutputTooBig = 1;
	return TRUE;
}

// Record the stream's length and leave the record ready for another round.
void array_term_destination(j_compress_ptr cinfo)
{
	array_destination_mgr *dest = (array_destination_mgr *)cinfo->dest;
	dest->datacount = (int32_t)(dest->bufsize - dest->pub.free_in_buffer);
	dest->pub.free_in_buffer = dest->bufsize;
	dest->pub.next_output_byte = dest->buffer;
}

void jpeg_array_dest(j_compress_ptr cinfo, JOCTET *buffer, unsigned size)
{
	if (cinfo->dest == NULL)
		cinfo->dest = (struct jpeg_destination_mgr *)(*cinfo->mem->alloc_small)(
			(j_common_ptr)cinfo, JPOOL_PERMANENT, sizeof(array_destination_mgr));
	array_destination_mgr *dest = (array_destination_mgr *)cinfo->dest;
	dest->pub.next_output_byte = buffer;
	dest->buffer = buffer;
	dest->pub.free_in_buffer = size;
	dest->bufsize = size;
	dest->datacount = 0;
	dest->pub.init_destination = array_init_destination;
	dest->pub.empty_output_buffer = array_empty_output_buffer;
	dest->pub.term_destination = array_term_destination;
}
