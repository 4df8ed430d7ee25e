/*
 * encfloor: the least a snapshot can cost, for camsnap's benchmark to compare
 * against.  Maps a planar YUV 4:2:0 picture and encodes it into memory with
 * the settings camsnap uses (raw data in, fast integer DCT, 2x2 luma
 * sampling, baseline tables), then ends.
 *
 *   encfloor QUALITY WIDTH HEIGHT FILE
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>

static unsigned char out[1 << 18]; /* room for any stream of these sizes */

int main(int argc, char **argv)
{
	if (argc != 5) {
		fprintf(stderr, "usage: encfloor QUALITY WIDTH HEIGHT FILE\n");
		return 2;
	}
	int quality = atoi(argv[1]), w = atoi(argv[2]), h = atoi(argv[3]);
	int fd = open(argv[4], O_RDONLY);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0) {
		perror(argv[4]);
		return 1;
	}
	unsigned char *planes = mmap(NULL, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
	if (planes == MAP_FAILED) {
		perror("mmap");
		return 1;
	}

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

	JSAMPROW y_rows[16], u_rows[8], v_rows[8];
	JSAMPARRAY image[3] = {y_rows, u_rows, v_rows};
	for (int band = 0; band < (h + 15) / 16; band++) {
		for (int i = 0; i < 16; i++) {
			int r = band * 16 + i < h ? band * 16 + i : h - 1;
			y_rows[i] = planes + r * w;
		}
		for (int i = 0; i < 8; i++) {
			int r = band * 8 + i < h / 2 ? band * 8 + i : h / 2 - 1;
			u_rows[i] = planes + w * h + r * (w / 2);
			v_rows[i] = planes + w * h + w * h / 4 + r * (w / 2);
		}
		jpeg_write_raw_data(&c, image, 16);
	}
	jpeg_finish_compress(&c);
	jpeg_destroy_compress(&c);
	return size > 0 ? 0 : 1;
}
