/*
 * floor: a camsnap picture's data work with the least code, for camsnap's
 * benchmark to weigh the request against.  Maps each raw frame file given
 * (resolution flag, channel byte, planar YUV 4:2:0), reduces it into its own
 * memory as the mode asks, composes the quad view from four, encodes once
 * into memory with camsnap's libjpeg settings and writes the stream to
 * standard output.  No header, no record: what is left of a request once
 * everything but its picture is taken away.
 *
 *   floor QUALITY MODE FRAME                 one channel
 *   floor QUALITY MODE FRAME0 ... FRAME3     the quad view of four
 *
 * A FRAME of "-" is had as every reader of the shared frame file must have
 * it: the channel's (the first, or the quarter's) next frame, waited for on
 * its write semaphore, read under a read unit, and both given back after.
 * That wait is the producer's pace, not the request's work, but a process
 * that sleeps for a frame pays for it in CPU time too: on a virtual machine
 * its CPU goes idle and it comes back to cold caches.  Only the least of it,
 * though: no time limit, no undo, no second look at a file of another
 * channel beyond waiting again.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>

#include "rawframe_format.h"

static unsigned char reduced[RAW_LARGEST_IMAGE_BYTES / 4]; /* the largest reduced frame */
static unsigned char quad[640 * 480 * 3 / 2];
static unsigned char out[1 << 18];              /* room for any stream of these sizes */

static const unsigned char *map_frame(const char *path)
{
	int fd = open(path, O_RDONLY);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0) {
		perror(path);
		exit(1);
	}
	void *frame = mmap(NULL, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
	if (frame == MAP_FAILED) {
		perror("mmap");
		exit(1);
	}
	close(fd);
	return frame;
}

static void step(int id, int op)
{
	struct sembuf b = {0, (short)op, 0};
	if (semop(id, &b, 1) != 0) {
		perror("semop");
		exit(1);
	}
}

/* Channel's next frame from the shared file, as the file's readers take it. */
static const unsigned char *take_frame(int channel, int *write_sem, int *read_sem)
{
	*write_sem = semget(RAW_WRITE_KEY_BASE + channel, 1, 0);
	*read_sem = semget(RAW_READ_KEY_BASE + channel, 1, 0);
	if (*write_sem < 0 || *read_sem < 0) {
		perror("semget");
		exit(1);
	}
	for (;;) {
		semctl(*write_sem, 0, SETVAL, 0);
		step(*write_sem, -1);
		step(*read_sem, -1);
		const unsigned char *frame = map_frame(RAW_FRAME_PATH);
		if (frame[RAW_CHANNEL_BYTE] == channel)
			return frame;
		step(*read_sem, +1);
	}
}

/* Channel's frame from path, or from the shared file when path is "-". */
static const unsigned char *get_frame(const char *path, int channel, int *write_sem,
                                      int *read_sem)
{
	if (strcmp(path, "-") != 0) {
		*write_sem = *read_sem = -1;
		return map_frame(path);
	}
	return take_frame(channel, write_sem, read_sem);
}

/* Give back the units of a frame taken from the shared file, if one is held. */
static void give_frame(int *write_sem, int *read_sem)
{
	if (*read_sem >= 0) {
		step(*read_sem, +1);
		step(*write_sem, +1);
	}
	*write_sem = *read_sem = -1;
}

/*
 * Each sample the mean of four taps: (c, r) and (c + 1, r) of each plane's
 * row r, the row below it (factor 2) or the one after (larger factors),
 * addresses running on across row and plane ends as camsnap's do, the last
 * tap of the image kept inside it.
 */
static const unsigned char *reduce(const unsigned char *img, int w, int h, int f)
{
	int n = w * h * 3 / 2, d = f == 2 ? 1 : 2;
	const unsigned char *plane = img;
	unsigned char *o = reduced;
	for (int p = 0; p < 3; p++) {
		int pw = p ? w / 2 : w, ph = p ? h / 2 : h;
		for (int r = 0; r < ph / f; r++)
			for (int c = 0; c < pw / f; c++) {
				long top = (plane - img) + (long)r * f * pw, low = top + d * pw;
				long last = low + (c + 1) * f < n ? low + (c + 1) * f : n - 1;
				*o++ = (img[top + c * f] + img[top + (c + 1) * f] + img[low + c * f] +
				        img[last]) >> 2;
			}
		plane += pw * ph;
	}
	return reduced;
}

/* Copy a packed qw/2 x qh/2 picture into quarter q of the quad view. */
static void compose(const unsigned char *pic, int qw, int qh, int q)
{
	int pw = qw / 2, ph = qh / 2, x0 = (q & 1) * pw, y0 = (q >> 1) * ph;
	for (int r = 0; r < ph; r++)
		memcpy(quad + (y0 + r) * qw + x0, pic + r * pw, pw);
	for (int p = 1; p < 3; p++) {
		const unsigned char *from = pic + pw * ph + (p - 1) * (pw * ph / 4);
		unsigned char *to = quad + qw * qh + (p - 1) * (qw * qh / 4);
		for (int r = 0; r < ph / 2; r++)
			memcpy(to + (y0 / 2 + r) * (qw / 2) + x0 / 2, from + r * (pw / 2), pw / 2);
	}
}

static unsigned long encode(int quality, int w, int h, const unsigned char *planes)
{
	struct jpeg_compress_struct c;
	struct jpeg_error_mgr err;
	c.err = jpeg_std_error(&err);
	jpeg_create_compress(&c);
	c.image_width = w;
	c.image_height = h;
	c.input_components = 3;
	c.in_color_space = JCS_YCbCr;
	jpeg_set_defaults(&c);
	c.dct_method = JDCT_IFAST;
	c.raw_data_in = TRUE;
	c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
	c.comp_info[1].h_samp_factor = c.comp_info[1].v_samp_factor = 1;
	c.comp_info[2].h_samp_factor = c.comp_info[2].v_samp_factor = 1;
	unsigned char *buf = out;
	unsigned long size = sizeof out;
	jpeg_mem_dest(&c, &buf, &size);
	jpeg_set_quality(&c, quality, TRUE);
	jpeg_start_compress(&c, TRUE);

	/* Rows below the picture repeat its last, as libjpeg pads. */
	JSAMPROW y_rows[16], u_rows[8], v_rows[8];
	JSAMPARRAY image[3] = {y_rows, u_rows, v_rows};
	for (int band = 0; band < (h + 15) / 16; band++) {
		for (int i = 0; i < 16; i++) {
			int r = band * 16 + i < h ? band * 16 + i : h - 1;
			y_rows[i] = (JSAMPROW)planes + r * w;
		}
		for (int i = 0; i < 8; i++) {
			int r = band * 8 + i < h / 2 ? band * 8 + i : h / 2 - 1;
			u_rows[i] = (JSAMPROW)planes + w * h + r * (w / 2);
			v_rows[i] = (JSAMPROW)planes + w * h + w * h / 4 + r * (w / 2);
		}
		jpeg_write_raw_data(&c, image, 16);
	}
	jpeg_finish_compress(&c);
	jpeg_destroy_compress(&c);
	if (buf != out) {
		fprintf(stderr, "floor: stream of %lu bytes outgrew its area\n", size);
		exit(1);
	}
	return size;
}

int main(int argc, char **argv)
{
	if (argc != 4 && argc != 7) {
		fprintf(stderr, "usage: floor QUALITY MODE FRAME | FRAME0 FRAME1 FRAME2 FRAME3\n");
		return 2;
	}
	int quality = atoi(argv[1]), mode = atoi(argv[2]);
	int w, h, write_sem = -1, read_sem = -1;
	const unsigned char *pic = quad;
	if (argc == 4) {
		/* Held till the picture is made, as camsnap's single view does. */
		const unsigned char *frame = get_frame(argv[3], 0, &write_sem, &read_sem);
		struct raw_frame_size size = raw_size(frame[RAW_FLAG_BYTE]);
		int fw = size.width, fh = size.height;
		int f = mode == 0 ? 1 : mode == 1 ? fw / 320 : mode == 2 ? fw / 160 : fw / 80;
		w = fw / f, h = fh / f;
		pic = f == 1 ? frame + RAW_HEADER_BYTES : reduce(frame + RAW_HEADER_BYTES, fw, fh, f);
	} else {
		w = mode == 0 ? 640 : mode == 1 ? 320 : 160, h = w * 3 / 4;
		for (int q = 0; q < 4; q++) {
			const unsigned char *frame = get_frame(argv[3 + q], q, &write_sem, &read_sem);
			struct raw_frame_size size = raw_size(frame[RAW_FLAG_BYTE]);
			int fw = size.width, fh = size.height, f = fw * 2 / w;
			const unsigned char *image = frame + RAW_HEADER_BYTES;
			compose(f == 1 ? image : reduce(image, fw, fh, f), w, h, q);
			give_frame(&write_sem, &read_sem);
		}
	}
	unsigned long size = encode(quality, w, h, pic);
	give_frame(&write_sem, &read_sem);
	return write(STDOUT_FILENO, out, size) == (ssize_t)size ? 0 : 1;
}
