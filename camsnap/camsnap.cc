// camsnap: the CGI program behind every picture of the web interface.
//
// One run answers one request, read from QUERY_STRING: a JPEG snapshot of one
// camera channel at its own size or reduced to 320x240, 160x120 or 80x60, or a
// quad view of channels 0 to 3; either may be followed in the same body by the
// sensor status record, which can also be fetched alone as "status.bin".
// Frames come from the capture process through "/tmp/raw.camsnap", guarded by
// a write and a read semaphore per channel.  The shared frame is only ever
// read: reduced pictures go into camsnap's own fixed buffers, so any number of
// requests can read one frame at the same time.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"
#include "jarraydst.h"
#include "jpegenc.h"
#include "query.h"
#include "rawframe.h"
#include "sensors.h"
#include "yuvscale.h"

constexpr int composite_size = 614400;  // room for a 640x480 frame-placed picture and more
constexpr int work_area_size = composite_size + jpeg_area_size;
constexpr int scratch_size = RAW_LARGEST_IMAGE_BYTES;  // the largest reduced frame, frame-placed
// How long a request waits, in all, for its cameras: one channel's frame, or
// the quad view's four.  A channel that delivers nothing in that time counts
// as a failed semaphore operation.
constexpr int sem_wait_seconds = 3;

// The picture each mode asks for, one row a mode of one view, the quad view
// holding the four channels each in a quarter.  A frame is reduced by the
// whole factor that takes it to its picture's width, never enlarged; 0 x 0
// is the frame's own size.
struct picture_mode {
	bool quad;         // a row of the quad view, not of one channel
	long mode;         // the query's mode
	bool other_modes;  // also the row of every mode its view does not list
	int width, height;
};
constexpr picture_mode picture_modes[] = {
	{false, 0, false, 0, 0},
	{false, 1, false, 320, 240},
	{false, 2, false, 160, 120},
	{false, 3, true, 80, 60},
	{true, 0, false, 640, 480},
	{true, 1, false, 320, 240},
	{true, 2, true, 160, 120},
};

static const char day[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char month[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static uint8_t work_area[work_area_size];  // composite area, then the JPEG output area
static uint8_t scratch[scratch_size];      // a reduced frame outside the composite

static uint8_t *const composite = work_area;
static uint8_t *const jpeg_area = work_area + composite_size;

static_assert([] {
	for (const picture_mode &m : picture_modes)
		if (m.quad && (long)m.width * m.height * 3 / 2 > composite_size)
			return false;
	return true;
}(), "the composite area must hold every quad view");

// The row of picture_modes for mode in the quad view or the single one.
static const picture_mode *picture_mode_of(bool quad, long mode)
{
	const picture_mode *other = picture_modes;
	for (const picture_mode &m : picture_modes) {
		if (m.quad == quad && m.mode == mode)
			return &m;
		if (m.quad == quad && m.other_modes)
			other = &m;
	}
	return other;
}

// Write every byte of the pieces to standard output, through short writes
// and interrupted ones; give up only on an error.
static void write_all(struct iovec *pieces, int count)
{
	while (count > 0) {
		ssize_t n = writev(STDOUT_FILENO, pieces, count);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		while (count > 0 && (size_t)n >= pieces->iov_len) {
			n -= pieces->iov_len;
			pieces++;
			count--;
		}
		if (count > 0) {
			pieces->iov_base = (char *)pieces->iov_base + n;
			pieces->iov_len -= n;
		}
	}
}

// Format the CGI header block into header (size bytes) and return its length,
// or -1 when the clock cannot be broken down or the block does not fit: the
// body is jpeg_length picture bytes, then record_length record bytes.
static int print_header(char *header, size_t size, int jpeg_length, int record_length)
{
	time_t now = time(NULL);
	struct tm t;
	if (!gmtime_r(&now, &t))
		return -1;
	int length = snprintf(header, size,
	                      "Content-Type: %s\r\n"
	                      "Content-Length: %d\r\n"
	                      "%s"
	                      "Expires: Mon, 26 Jul 1997 05:00:00 GMT\r\n"
	                      "Last-Modified: %s, %d %s %d %02d:%02d:%02d GMT\r\n"
	                      "Cache-Control: no-cache, must-revalidate\r\n"
	                      "Pragma: no-cache\r\n"
	                      "Sensors-Data: %d\r\n"
	                      "\r\n",
	                      jpeg_length ? "image/jpeg" : "application/octet-stream",
	                      jpeg_length + record_length,
	                      jpeg_length ? ""
	                                  : "Content-Disposition: attachment; "
	                                    "filename=\"status.bin\"\r\n",
	                      day[t.tm_wday], t.tm_mday, month[t.tm_mon], t.tm_year + 1900, t.tm_hour,
	                      t.tm_min, t.tm_sec, jpeg_length);
	return length >= 0 && (size_t)length < size ? length : -1;
}

// Send the answer: header block, the JPEG (if any), then the sensor record if
// one was asked for.  It leaves in one write, straight from where each part
// was made: the web server then reads it whole, and nothing is copied.  A
// header that cannot be made whole sends nothing, so that the web server
// reports a failed request rather than pass on a broken answer.
static void return_data(const uint8_t *jpeg, int jpeg_length, int record)
{
	static uint8_t buffer[sensor_record_size];
	char header[512];  // the longest block takes some 310 bytes
	int record_length = 0;
	if (record)
		record_length = get_sensors_data(buffer);
	int header_length = print_header(header, sizeof header, jpeg_length, record_length);
	if (header_length < 0) {
		fprintf(stderr, "Cannot format the header block.\n");
		return;
	}
	struct iovec pieces[3] = {{header, (size_t)header_length},
	                          {(void *)jpeg, (size_t)jpeg_length},
	                          {buffer, (size_t)record_length}};
	write_all(pieces, 3);
}

// The answer when a camera gave no frame in time or its semaphores are
// missing.  The status says so to caches, monitors and scripts, which would
// take a page sent as 200 for a success; the web server turns it into the
// status line, and busybox httpd reads it only as the first header.
static void semaphore_error_page()
{
	static const char page[] = "Status: 503 Service Unavailable\r\n"
	                           "Retry-After: 1\r\n"
	                           "Content-Type: text/html\r\n"
	                           "\r\n"
	                           "semaphore error!\r\n";
	struct iovec piece = {(void *)page, sizeof page - 1};
	write_all(&piece, 1);
}

// A blank raw frame of the small size, dark grey, standing in for one that
// cannot be read.
static void blank_raw_frame(uint8_t *frame)
{
	raw_frame_size s = raw_size(0);
	frame[RAW_FLAG_BYTE] = 0;
	frame[RAW_CHANNEL_BYTE] = 0;
	fill_blank(frame + RAW_HEADER_BYTES, s.width, s.height);
}

// About to write all of [start, start + length) of the process's own fixed
// memory: have the kernel make its pages in one call, rather than trap once
// per page on the first writes.  A kernel that cannot leaves it to the traps.
static void prepare_pages(uint8_t *start, size_t length)
{
#ifdef MADV_POPULATE_WRITE
	const uintptr_t page = 4096;
	uintptr_t first = (uintptr_t)start & ~(page - 1);
	uintptr_t end = ((uintptr_t)start + length + page - 1) & ~(page - 1);
	madvise((void *)first, end - first, MADV_POPULATE_WRITE);
#else
	(void)start, (void)length;
#endif
}

// The same for the planes of a w x h frame reduced by factor into
// destination, placed as the frame's own: each plane starts where the
// frame's does.
static void prepare_reduced(uint8_t *destination, int w, int h, int factor)
{
	size_t area = (size_t)w * h, reduced = (size_t)(w / factor) * (h / factor);
	prepare_pages(destination, reduced);
	prepare_pages(destination + area, reduced / 4);
	prepare_pages(destination + area + area / 4, reduced / 4);
}

// Encode, lowering the quality until the stream fits; if even that fails,
// send a blank picture of the same size rather than a damaged one.
static int encode(int quality, int frame_width, int frame_height, int width, int height,
                  const uint8_t *planes)
{
	int length = yuv_to_jpeg_fitting(quality, frame_width, frame_height, width, height, planes,
	                                 jpeg_area);
	if (length == 0) {
		// A blank picture of the same size takes the place of the one that
		// does not fit, wherever that one lies.
		fill_blank(composite, width, height);
		length = yuv_to_jpeg(quality, width, height, width, height, composite, jpeg_area);
	}
	return length;
}

// Make the single-channel picture from frame (the mapping, or the composite
// standing in for it) of resolution flag and return the JPEG length.
static int single_picture(const uint8_t *frame, uint8_t flag, long mode, int quality)
{
	const picture_mode *picture = picture_mode_of(false, mode);
	raw_frame_size size = raw_size(flag);
	int w = size.width, h = size.height;
	int factor = picture->width ? w / picture->width : 1;
	if (factor <= 1)
		return encode(quality, w, h, w, h, frame + RAW_HEADER_BYTES);
	// Never in place: a reduction by 2 in place takes chroma into the last
	// two luma samples, a stain in the picture's corner.
	uint8_t *reduced = frame == composite ? scratch : composite;
	prepare_reduced(reduced, w, h, factor);
	yuv_avg_resize(frame + RAW_HEADER_BYTES, reduced, w, h, factor);
	return encode(quality, w, h, w / factor, h / factor, reduced);
}

// One channel's picture, or the error page when its semaphores fail.
static void single_view(int channel, long mode, int quality, int record)
{
	frame_hold hold;
	struct timespec deadline = deadline_in_ms(sem_wait_seconds * 1000);
	frame_result got = frame_none;
	if (ready_frame(&hold, channel) == 0)
		got = take_frame(&hold, &deadline);
	// Also when the camera delivered, but never this channel's frame to us
	// in time: that is no dead camera, as a blank picture would say.
	if (got == frame_none) {
		semaphore_error_page();
		return;
	}
	const uint8_t *frame = composite;
	uint8_t flag = 0;  // that of the blank frame
	if (got == frame_mapped) {
		frame = hold.map.address;
		flag = hold.map.flag;
	} else {
		blank_raw_frame(composite);
	}
	int jpeg_length = single_picture(frame, flag, mode, quality);
	if (frame != composite && hold.map.lost) {
		blank_raw_frame(composite);
		jpeg_length = single_picture(composite, 0, mode, quality);
	}
	if (give_frame(&hold, got, false) != 0) {
		semaphore_error_page();
		return;
	}
	return_data(jpeg_area, jpeg_length, record);
}

// Channels 0 to 3 in the four quarters; a channel that cannot be had leaves
// its quarter blank.
static void quad_view(long mode, int quality, int record)
{
	const picture_mode *picture = picture_mode_of(true, mode);
	int qw = picture->width, qh = picture->height;
	prepare_pages(composite, (size_t)qw * qh * 3 / 2);
	bool placed[RAW_CHANNELS] = {};
	bool scratch_prepared = false;
	// The four channels are waited for together, under one bound: in the
	// order their frames come, four dead cameras cost one wait, not four.
	struct timespec deadline = deadline_in_ms(sem_wait_seconds * 1000);
	frame_hold holds[RAW_CHANNELS];
	bool wanted[RAW_CHANNELS];
	for (int channel = 0; channel < RAW_CHANNELS; channel++)
		wanted[channel] = ready_frame(&holds[channel], channel) == 0;
	int channel = -1;
	for (;;) {
		frame_result got = take_first_frame(holds, wanted, RAW_CHANNELS,
		                                    (channel + 1) % RAW_CHANNELS, &deadline, &channel);
		if (channel < 0)
			break;
		wanted[channel] = false;
		frame_hold *hold = &holds[channel];
		raw_frame_size size = raw_size(hold->map.flag);
		int w = size.width, h = size.height, factor = w / (qw / 2);
		// A frame smaller than its quarter leaves the quarter blank.
		if (got == frame_mapped && factor >= 1) {
			const uint8_t *planes = hold->map.address + RAW_HEADER_BYTES;
			if (factor > 1) {
				if (!scratch_prepared) {
					prepare_reduced(scratch, w, h, factor);
					scratch_prepared = true;
				}
				yuv_avg_resize(planes, scratch, w, h, factor);
				planes = scratch;
			}
			put_thumbnail(planes, composite, w, h, qw, qh, channel);
			// A file that shrank under us leaves zeros: blank instead.
			placed[channel] = !hold->map.lost;
		}
		// A large frame (or a file not taken) goes before the next is
		// mapped, so that the view never holds more than one; four frames
		// of a quarter of the largest take about what one of those does.
		give_frame(hold, got,
		           got != frame_mapped || (long)w * h * 3 / 2 > RAW_LARGEST_IMAGE_BYTES / 4);
	}
	// Only now the quarters that stayed empty, so that a full view writes
	// each byte of the composite once.
	bool blank_made = false;
	for (int channel = 0; channel < RAW_CHANNELS; channel++) {
		if (placed[channel])
			continue;
		if (!blank_made) {
			fill_blank(scratch, qw / 2, qh / 2);
			blank_made = true;
		}
		put_thumbnail(scratch, composite, qw / 2, qh / 2, qw, qh, channel);
	}
	int jpeg_length = encode(quality, qw, qh, qw, qh, composite);
	return_data(jpeg_area, jpeg_length, record);
}

int main()
{
	int channel = 0, mode = 0, jq = 64, data = 0;
	const char *query = getenv("QUERY_STRING");
	if (query) {
		query_number(query, "channel=", &channel);
		query_number(query, "mode=", &mode);
		query_number(query, "jq=", &jq);
		query_number(query, "data=", &data);
	}

	if (data == 2)
		return_data(NULL, 0, 1);
	else if (channel <= 3)
		single_view(channel, mode, jq, data != 0);
	else
		quad_view(mode, jq, data != 0);

	fclose(stdin);
	fclose(stderr);
	fclose(stdout);
	return 0;
}
