// yuv_to_jpeg hands the planes to libjpeg as raw, already subsampled rows:
// no colour conversion, no downsampling and no copy of the picture.
//
// A picture whose stream outgrows the area must be made again at a lower
// quality, and an encoding is most of what a request costs.  So the first
// encoding is watched band by band: once its stream heads for more than half
// the area, the rest of the picture is estimated from a sample of its
// macroblocks, and an encoding that will not fit stops there.  The lower
// quality is then found with more such estimates, each a tenth of an
// encoding or less, and only the picture that is sent is encoded whole.
#include "jpegenc.h"

#include <stdio.h>

#include "jarraydst.h"

// libjpeg takes raw data in bands of one MCU row: 16 luma and 8 chroma rows.
constexpr int band_rows = 16;
// Luma columns of one MCU, the unit that estimates sample.
constexpr int mcu_columns = 16;
// Estimates encode one MCU in so many.  Whether a stream will fit is told
// from one in 23, a twentieth of an encoding's work, within 10 % on camera
// pictures; the lower quality is aimed from one in 11, mostly within 3 %,
// always within 8 % on the pictures tried.
constexpr int fit_sample_step = 23;
constexpr int aim_sample_step = 11;
// A stream on course for more than this is estimated before it is done.
// The course is the bands to come at the pace of those after the first
// (which carries the headers), judged once that pace is of two bands at least.
constexpr long watch_bytes = jpeg_area_size / 2;
constexpr int watch_from_band = 2;
// What a lowered quality aims at: below the area by about what an estimate
// errs, so that the next encoding fits in the usual case.
constexpr long retry_target = jpeg_area_size * 15 / 16;
// Guesses at a lower quality aim further down, so that the first one is
// mostly below the target and the quality can be found between two points.
constexpr long guess_target = jpeg_area_size * 7 / 8;
constexpr int max_guesses = 3;

// A frame-placed picture: where its planes start, and its size.
struct placed_picture {
	const JSAMPLE *y, *u, *v;
	int width, height;
};

// How an encoding into the area ended.
enum area_outcome { fitted, overflowed, will_not_fit };

// A destination that keeps only the number of bytes, for estimates: they
// go round and round a small scratch area.
struct counting_destination_mgr {
	struct jpeg_destination_mgr pub;  // libjpeg's part; must come first
	long counted;                     // bytes that went round before the current turn
	JOCTET scratch[1024];
};

static placed_picture place(int frame_width, int frame_height, int width, int height,
                            const uint8_t *planes)
{
	int frame_area = frame_width * frame_height;
	placed_picture pic;
	pic.y = planes;
	pic.u = pic.y + frame_area;
	pic.v = pic.u + (frame_area >> 2);
	pic.width = width;
	pic.height = height;
	return pic;
}

static int band_count(int height)
{
	return (height + band_rows - 1) / band_rows;
}

// Create a compressor for a width x height picture with camsnap's settings;
// the caller installs a destination, then starts it.
static void set_up(j_compress_ptr cinfo, struct jpeg_error_mgr *jerr, int width, int height)
{
	cinfo->err = jpeg_std_error(jerr);
	jpeg_create_compress(cinfo);
	cinfo->image_width = width;
	cinfo->image_height = height;
	cinfo->input_components = 3;
	cinfo->in_color_space = JCS_YCbCr;
	jpeg_set_defaults(cinfo);
	cinfo->dct_method = JDCT_IFAST;
	cinfo->raw_data_in = TRUE;
	cinfo->comp_info[0].h_samp_factor = 2;
	cinfo->comp_info[0].v_samp_factor = 2;
	cinfo->comp_info[1].h_samp_factor = 1;
	cinfo->comp_info[1].v_samp_factor = 1;
	cinfo->comp_info[2].h_samp_factor = 1;
	cinfo->comp_info[2].v_samp_factor = 1;
}

static void start(j_compress_ptr cinfo, int quality)
{
	jpeg_set_quality(cinfo, quality, TRUE);
	jpeg_start_compress(cinfo, TRUE);
}

// Point image's rows at band of pic from luma column on.  libjpeg reads
// whole bands, so a picture whose height is not a multiple of 16 would have
// it read rows below the picture: whatever the buffer holds there, past its
// end even, and the decoder's smoothing of chroma would carry those rows
// into the picture's last lines.  Below the picture the pointers repeat its
// last row instead, as libjpeg itself pads.
static void point_band(const placed_picture *pic, int band, int column, JSAMPIMAGE image)
{
	int chroma_width = pic->width / 2, last = pic->height - 1, chroma_last = pic->height / 2 - 1;
	for (int i = 0; i < band_rows; i++) {
		int row = band * band_rows + i;
		row = row < last ? row : last;
		image[0][i] = (JSAMPROW)pic->y + (long)row * pic->width + column;  // read only
	}
	for (int i = 0; i < band_rows / 2; i++) {
		int row = band * band_rows / 2 + i;
		long at = (long)(row < chroma_last ? row : chroma_last) * chroma_width + column / 2;
		image[1][i] = (JSAMPROW)pic->u + at;
		image[2][i] = (JSAMPROW)pic->v + at;
	}
}

int yuv_to_jpeg(int quality, int frame_width, int frame_height, int width, int height,
                const uint8_t *planes, uint8_t *jpeg_buffer)
{
	placed_picture pic = place(frame_width, frame_height, width, height, planes);
	struct jpeg_compress_struct cinfo;
	struct jpeg_error_mgr jerr;
	set_up(&cinfo, &jerr, width, height);
	jpeg_array_dest(&cinfo, jpeg_buffer, jpeg_area_size);
	start(&cinfo, quality);

	JSAMPROW y_rows[band_rows], u_rows[band_rows / 2], v_rows[band_rows / 2];
	JSAMPARRAY image[3] = {y_rows, u_rows, v_rows};
	for (int band = 0; band < band_count(height); band++) {
		point_band(&pic, band, 0, image);
		jpeg_write_raw_data(&cinfo, image, band_rows);
	}
	jpeg_finish_compress(&cinfo);

	int length = ((array_destination_mgr *)cinfo.dest)->datacount;
	jpeg_destroy_compress(&cinfo);
	return length;
}

static void count_init(j_compress_ptr cinfo)
{
	counting_destination_mgr *dest = (counting_destination_mgr *)cinfo->dest;
	dest->pub.next_output_byte = dest->scratch;
	dest->pub.free_in_buffer = sizeof dest->scratch;
	dest->counted = 0;
}

// The scratch area is full: the coder stood at its end, whatever stale
// pointers it left in pub (see jarraydst.cc).
static boolean count_empty(j_compress_ptr cinfo)
{
	counting_destination_mgr *dest = (counting_destination_mgr *)cinfo->dest;
	dest->counted += sizeof dest->scratch;
	dest->pub.next_output_byte = dest->scratch;
	dest->pub.free_in_buffer = sizeof dest->scratch;
	return TRUE;
}

static void count_term(j_compress_ptr)
{
}

// Bytes written so far; exact between MCUs, where libjpeg's coder updates pub.
static long count_of(const counting_destination_mgr *dest)
{
	return dest->counted + (long)(sizeof dest->scratch - dest->pub.free_in_buffer);
}

// Estimate the length of pic's stream at quality, when its bands before
// first_band took before bytes (headers included), or from nothing when
// first_band is 0.  The MCUs of the other bands are sampled, one in step
// spread evenly over them, and encoded as a picture one MCU wide; what the
// sample took is scaled up to all of them.
static long estimate_stream(int quality, const placed_picture *pic, int first_band, long before,
                            int step)
{
	long columns = pic->width / mcu_columns;
	long first = first_band * columns, end = band_count(pic->height) * columns;
	if (end <= first)
		return before;
	long offset = (end - first) % step / 2;
	long samples = (end - first - 1 - offset) / step + 1;

	struct jpeg_compress_struct cinfo;
	struct jpeg_error_mgr jerr;
	counting_destination_mgr dest;
	set_up(&cinfo, &jerr, mcu_columns, (int)(band_rows * (samples + 1)));
	dest.pub.init_destination = count_init;
	dest.pub.empty_output_buffer = count_empty;
	dest.pub.term_destination = count_term;
	cinfo.dest = &dest.pub;
	start(&cinfo, quality);

	JSAMPROW y_rows[band_rows], u_rows[band_rows / 2], v_rows[band_rows / 2];
	JSAMPARRAY image[3] = {y_rows, u_rows, v_rows};
	// The first MCU goes in twice: the first time it takes the headers out
	// with it, so that the count after it parts them from the sample.
	long headers = 0;
	for (long i = -1; i < samples; i++) {
		long mcu = first + offset + (i < 0 ? 0 : i) * step;
		point_band(pic, (int)(mcu / columns), (int)(mcu % columns * mcu_columns), image);
		jpeg_write_raw_data(&cinfo, image, band_rows);
		if (i < 0)
			headers = count_of(&dest);
	}
	long sampled = count_of(&dest) - headers;
	jpeg_destroy_compress(&cinfo);

	long rest = sampled * (end - first) / samples;
	if (first_band == 0)
		before = headers - sampled / samples;  // the headers without their MCU
	return before + rest;
}

// Encode pic at quality into the area band by band, stopping as soon as the
// stream overflows it; with watch set, also once an estimate made when the
// stream heads for more than watch_bytes says that the whole will not fit.
// Sets *stream to the stream's length if it fitted, its length projected
// from the bands done if it overflowed, or the estimate.
static area_outcome encode_into_area(int quality, const placed_picture *pic, uint8_t *area,
                                     bool watch, long *stream)
{
	struct jpeg_compress_struct cinfo;
	struct jpeg_error_mgr jerr;
	set_up(&cinfo, &jerr, pic->width, pic->height);
	jpeg_array_dest(&cinfo, area, jpeg_area_size);
	start(&cinfo, quality);
	array_destination_mgr *dest = (array_destination_mgr *)cinfo.dest;

	JSAMPROW y_rows[band_rows], u_rows[band_rows / 2], v_rows[band_rows / 2];
	JSAMPARRAY image[3] = {y_rows, u_rows, v_rows};
	int bands = band_count(pic->height);
	long first_band_bytes = 0;  // the headers and the first band
	area_outcome outcome = fitted;
	for (int band = 0; band < bands && outcome == fitted; band++) {
		point_band(pic, band, 0, image);
		jpeg_write_raw_data(&cinfo, image, band_rows);
		long written = (long)(dest->bufsize - dest->pub.free_in_buffer) + jpeg_overrun_bytes;
		long course = written + (written - first_band_bytes) * (bands - 1 - band) /
		                            (band > 0 ? band : 1);
		if (JpegOutputTooBig) {
			*stream = course;
			outcome = overflowed;
		} else if (band == 0) {
			first_band_bytes = written;
		} else if (watch && band >= watch_from_band && band + 1 < bands &&
		           course > watch_bytes) {
			watch = false;
			*stream = estimate_stream(quality, pic, band + 1, written, fit_sample_step);
			if (*stream >= jpeg_area_size)
				outcome = will_not_fit;
		}
	}
	if (outcome == fitted) {
		jpeg_finish_compress(&cinfo);
		*stream = dest->datacount;
		if (JpegOutputTooBig) {  // the stream's last bytes were too many
			*stream += jpeg_overrun_bytes;
			outcome = overflowed;
		}
	}
	jpeg_destroy_compress(&cinfo);
	return outcome;
}

// libjpeg's own mapping from quality to the percentage its tables are scaled
// by, and back, rounded down to the quality with the larger scale.
static double quality_scale(int quality)
{
	if (quality < 1)
		quality = 1;
	if (quality > 100)
		quality = 100;
	return quality < 50 ? 5000.0 / quality : 200.0 - 2 * quality;
}

static int scale_quality(double scale)
{
	return scale <= 100 ? (int)((200 - scale) / 2) : (int)(5000 / scale);
}

// The natural logarithm of x > 0 and the exponential function, in place of
// log and exp: loading the maths library would cost every request some
// 26,000 instructions (5 % of an 80x60 snapshot's, 3 % of the smallest quad
// view's) for the rare one whose stream overflows.  Both bring the argument
// near to where their series converge fast: by powers of 2 for the
// logarithm, by halving for the exponential, squaring the result after.
static double natural_log(double x)
{
	double twos = 0;
	for (; x >= 1.5; x /= 2)
		twos++;
	for (; x < 0.75; x *= 2)
		twos--;
	// ln x = 2 atanh z, z = (x - 1) / (x + 1), |z| < 0.2 here
	double z = (x - 1) / (x + 1), power = z, sum = 0;
	for (int k = 1; k < 30; k += 2) {
		sum += power / k;
		power *= z * z;
	}
	return 2 * sum + twos * 0.69314718055994531;
}

static double natural_exp(double y)
{
	int halvings = 0;
	for (; y > 0.5 || y < -0.5; y /= 2)
		halvings++;
	double sum = 1, term = 1;
	for (int k = 1; k < 14; k++) {
		term *= y / k;
		sum += term;
	}
	while (halvings-- > 0)
		sum *= sum;
	return sum;
}

// A stream shrinks about as the quantisation scale grows to the power -0.75
// on detailed camera pictures, so the scale must grow by ratio^(4/3) to
// shrink a stream by ratio.
int lower_quality(int quality, long stream_bytes, long wanted_bytes)
{
	if (quality > 100)
		quality = 100;
	if (quality <= 1)
		return 1;
	double ratio = (double)stream_bytes / (double)(wanted_bytes > 0 ? wanted_bytes : 1);
	if (ratio < 1)
		ratio = 1;
	int next = scale_quality(quality_scale(quality) * natural_exp(natural_log(ratio) * 4 / 3));
	if (next >= quality)
		next = quality - 1;
	return next < 1 ? 1 : next;
}

// The quality at which a stream should come to wanted_bytes, from its
// lengths at qualities high and low: the power of the scale that a stream's
// length goes as is the one through these two points.  Below high, at
// least 1.
static int quality_between(int high, long high_bytes, int low, long low_bytes, long wanted_bytes)
{
	if (low >= high || high_bytes <= low_bytes)  // no slope to go by: keep the lower
		return low;
	double high_scale = quality_scale(high), low_scale = quality_scale(low);
	double power = natural_log((double)high_bytes / (double)low_bytes) /
	               natural_log(low_scale / high_scale);
	double ratio = (double)low_bytes / (double)wanted_bytes;
	int next = scale_quality(low_scale * natural_exp(natural_log(ratio) / power));
	if (next >= high)
		next = high - 1;
	return next < 1 ? 1 : next;
}

int yuv_to_jpeg_fitting(int quality, int frame_width, int frame_height, int width, int height,
                        const uint8_t *planes, uint8_t *jpeg_buffer)
{
	// libjpeg's limits, applied here so that the qualities compare.
	quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
	placed_picture pic = place(frame_width, frame_height, width, height, planes);
	long stream;
	area_outcome outcome = encode_into_area(quality, &pic, jpeg_buffer, true, &stream);
	if (outcome == fitted)
		return (int)stream;
	if (outcome == will_not_fit) {
		// Estimates at lower qualities, guessed from the usual shape of the
		// curve, until one comes below the target; then the quality between
		// that one and the last above it.
		int high = quality, low = quality;
		long high_bytes = stream, low_bytes = stream;
		for (int guesses = 0; low_bytes > retry_target && low > 1 && guesses < max_guesses;
		     guesses++) {
			high = low;
			high_bytes = low_bytes;
			low = lower_quality(high, high_bytes, guess_target);
			low_bytes = estimate_stream(low, &pic, 0, 0, aim_sample_step);
		}
		quality = quality_between(high, high_bytes, low, low_bytes, retry_target);
	} else {
		quality = lower_quality(quality, stream, retry_target);
	}
	for (;;) {
		outcome = encode_into_area(quality, &pic, jpeg_buffer, false, &stream);
		if (outcome == fitted)
			return (int)stream;
		if (quality == 1)
			return 0;
		quality = lower_quality(quality, stream, retry_target);
	}
}
