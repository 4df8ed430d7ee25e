/*
 * The raw frame file: the latest frame of one channel, as a resolution flag,
 * the channel's number and a planar YUV 4:2:0 image of the flag's size.  A
 * channel's write semaphore is raised after each whole frame of it; its read
 * semaphore's one unit is held while the file is read or rewritten.  C can
 * use this header too, and the test helpers parse it: one number a line.
 */
#ifndef CAMSNAP_RAWFRAME_FORMAT_H
#define CAMSNAP_RAWFRAME_FORMAT_H

#define RAW_FRAME_PATH "/tmp/raw.camsnap"
#define RAW_WRITE_KEY_BASE 12000 /* + channel */
#define RAW_READ_KEY_BASE 12004  /* + channel */
#define RAW_CHANNELS 4           /* the cameras 0 to 3 */
#define RAW_FLAG_BYTE 0          /* offset of the resolution flag */
#define RAW_CHANNEL_BYTE 1       /* offset of the channel number */
#define RAW_HEADER_BYTES 2       /* the image's offset */

#define RAW_LARGEST_IMAGE_BYTES (640 * 480 * 3 / 2) /* of the table below */

struct raw_frame_size {
	int width, height;
};

/*
 * Image size by resolution flag, the flag being the row's index.  Cameras
 * have only ever written 0 and 1, and readers have always taken any flag but
 * 0 for the large frame: a flag past the table still reads as flag 1.
 */
#ifdef __cplusplus
constexpr
#else
static const
#endif
struct raw_frame_size raw_frame_sizes[] = {
	{320, 240}, /* flag 0 */
	{640, 480}, /* flag 1 */
};

#define RAW_SIZE_COUNT ((int)(sizeof raw_frame_sizes / sizeof raw_frame_sizes[0]))

static inline struct raw_frame_size raw_size(unsigned char flag)
{
	return raw_frame_sizes[flag < RAW_SIZE_COUNT ? flag : 1];
}

/* The bytes of a whole frame of flag's size, header included. */
static inline long raw_frame_bytes(unsigned char flag)
{
	struct raw_frame_size s = raw_size(flag);
	return RAW_HEADER_BYTES + (long)s.width * s.height * 3 / 2;
}

#endif
