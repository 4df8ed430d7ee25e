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
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "jarraydst.h"
#include "jpegenc.h"
#include "query.h"
#include "rawframe.h"
#include "sensors.h"
#include "utctime.h"
#include "yuvscale.h"

constexpr int composite_size = 614400;  // room for a 640x480 frame-placed picture and more
constexpr int work_area_size = composite_size + jpeg_area_size;
constexpr int scratch_size = 640 * 480 * 3 / 2;  // the largest reduced frame, frame-placed
constexpr int write_key_base = 12000;
constexpr int read_key_base = 12004;
// How long a request waits for a camera; a channel that delivers nothing in
// that time counts as a failed semaphore operation.
constexpr int sem_wait_seconds = 3;

static const char raw_file_format[] = "/tmp/raw.camsnap";
static const char day[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char month[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static int sem_read;                       // read semaphore of the channel pre_q last prepared
static int sem_write;                      // write semaphore of that channel
static struct sembuf operations;           // the one operation every semop here makes
static int argument;                       // semctl SETVAL argument
static uint8_t work_area[work_area_size];  // composite area, then the JPEG output area
static uint8_t scratch[scratch_size];      // a reduced frame outside the composite

static uint8_t *const composite = work_area;
static uint8_t *const jpeg_area = work_area + composite_size;

// Return the semaphore set of key base + channel, or -1 after a message.
// Key 0 is IPC_PRIVATE, for which semget makes a new set every time: a query
// such as "channel=-12000" would leave one behind per request until the
// system has none left.  No camera has that key, so it counts as missing.
static int get_raw_sem_id(int key_base, int channel)
{
	key_t key = (key_t)((long)key_base + channel);
	int id = key == IPC_PRIVATE ? -1 : semget(key, 1, 0666);
	if (id < 0)
		fprintf(stderr, "Unable to obtain semaphore for channel %d.\n", channel);
	return id;
}

// One semaphore operation on set id, given up after sem_wait_seconds.  The
// read unit is taken with SEM_UNDO, so that a request killed while it holds
// one does not close the channel for everyone after it.
static int sem_step(int id, int op, int flags)
{
	struct timespec limit = {sem_wait_seconds, 0};
	operations.sem_num = 0;
	operations.sem_op = (short)op;
	operations.sem_flg = (short)flags;
	return semtimedop(id, &operations, 1, &limit);
}

// Wait for a fresh frame of channel and take a read unit.  Return 0 when the
// frame may be read, 1 when a semaphore is missing or an operation fails or
// times out, -1 when the write semaphore cannot be reset.
static int pre_q(int channel)
{
	sem_read = get_raw_sem_id(read_key_base, channel);
	sem_write = get_raw_sem_id(write_key_base, channel);
	if (sem_read < 0 || sem_write < 0) {
		fprintf(stderr, "Cannot get semaphore id for channel %d.\n", channel);
		return 1;
	}
	argument = 0;
	if (semctl(sem_write, 0, SETVAL, argument) < 0) {
		fprintf(stderr, "Cannot set semaphore value for channel %d.\n", channel);
		return -1;
	}
	if (sem_step(sem_write, -1, 0) != 0)
		return 1;
	if (sem_step(sem_read, -1, SEM_UNDO) != 0)
		return 1;
	return 0;
}

// Give back the read unit and let one more waiting reader through.
static int post_q(int)
{
	if (sem_step(sem_read, +1, SEM_UNDO) != 0)
		return 1;
	if (sem_step(sem_write, +1, 0) != 0)
		return 1;
	return 0;
}

// Map the raw frame file if it holds a whole frame of channel; 0 when it does.
static int get_raw(int channel, uint8_t **address, int *fd, size_t *length)
{
	char path[32];
	snprintf(path, sizeof path, "%s", raw_file_format);
	raw_frame_lost = 0;
	return map_frame_file(path, channel, address, fd, length);
}

// The header block as it is being built: header lines never come near its size.
static char header[1024];
static int header_length;

static void header_char(char c)
{
	if (header_length < (int)sizeof header - 1)
		header[header_length++] = c;
}

// Append a line made from a printf format that uses only %s, %d and %0Nd, as
// every header line does.  The C library's formatting machinery costs a
// request more on its first call than the rest of the header.
static void header_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void header_line(const char *format, ...)
{
	va_list args;
	va_start(args, format);
	for (const char *f = format; *f; f++) {
		if (*f != '%') {
			header_char(*f);
			continue;
		}
		f++;
		bool zeros = *f == '0';
		if (zeros)
			f++;
		int width = 0;
		while (*f >= '1' && *f <= '9')
			width = width * 10 + (*f++ - '0');
		if (*f == 's') {
			for (const char *text = va_arg(args, const char *); *text; text++)
				header_char(*text);
		} else if (*f == 'd') {
			int value = va_arg(args, int);
			unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
			char digits[12];
			int n = 0;
			do
				digits[n++] = (char)('0' + magnitude % 10);
			while (magnitude /= 10);
			int length = n + (value < 0);
			if (!zeros)
				for (; length < width; length++)
					header_char(' ');
			if (value < 0)
				header_char('-');
			for (; length < width; length++)
				header_char('0');
			while (n > 0)
				header_char(digits[--n]);
		} else {
			break;  // no line uses any other conversion
		}
	}
	va_end(args);
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

// Build the CGI header block: the body is jpeg_length picture bytes, then
// record_length record bytes.
static void print_header(int jpeg_length, int record_length)
{
	struct tm t;
	utc_time((long long)time(NULL), &t);
	header_length = 0;
	if (jpeg_length != 0) {
		header_line("Content-Type: image/jpeg\r\n");
		header_line("Content-Length: %d\r\n", jpeg_length + record_length);
	} else {
		header_line("Content-Type: application/octet-stream\r\n");
		header_line("Content-Length: %d\r\n", record_length);
		header_line("Content-Disposition: attachment; filename=\"status.bin\"\r\n");
	}
	header_line("Expires: Mon, 26 Jul 1997 05:00:00 GMT\r\n");
	header_line("Last-Modified: %s, %d %s %d %02d:%02d:%02d GMT\r\n", day[t.tm_wday], t.tm_mday,
	            month[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
	header_line("Cache-Control: no-cache, must-revalidate\r\n");
	header_line("Pragma: no-cache\r\n");
	header_line("Sensors-Data: %d\r\n", jpeg_length);
	header_line("\r\n");
}

// Send the answer: header block, the JPEG (if any), then the sensor record if
// one was asked for.  It leaves in one write, straight from where each part
// was made: the web server then reads it whole, and nothing is copied.
static void return_data(const uint8_t *jpeg, int jpeg_length, int record)
{
	static uint8_t buffer[sensor_record_size];
	int record_length = 0;
	if (record)
		record_length = get_sensors_data(buffer);
	print_header(jpeg_length, record_length);
	struct iovec pieces[3] = {{header, (size_t)header_length},
	                          {(void *)jpeg, (size_t)jpeg_length},
	                          {buffer, (size_t)record_length}};
	write_all(pieces, 3);
}

static void semaphore_error_page()
{
	static const char page[] = "Content-Type: text/html\r\n\r\nsemaphore error!\r\n";
	struct iovec piece = {(void *)page, sizeof page - 1};
	write_all(&piece, 1);
}

// A blank raw frame: 320x240, dark grey, standing in for one that cannot be read.
static void blank_raw_frame(uint8_t *frame)
{
	frame[0] = 0;
	frame[1] = 0;
	fill_blank(frame + raw_header_bytes, 320, 240);
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
	int w = raw_width(flag), h = raw_height(flag);
	int factor;
	if (mode == 0)
		factor = 1;
	else if (mode == 1)
		factor = w / 320;
	else if (mode == 2)
		factor = w / 160;
	else
		factor = w / 80;
	if (factor == 1)
		return encode(quality, w, h, w, h, frame + raw_header_bytes);
	// Never in place: a reduction by 2 in place takes chroma into the last
	// two luma samples, a stain in the picture's corner.
	uint8_t *reduced = frame == composite ? scratch : composite;
	prepare_reduced(reduced, w, h, factor);
	yuv_avg_resize((uint8_t *)frame + raw_header_bytes, reduced, w, h, factor);
	return encode(quality, w, h, w / factor, h / factor, reduced);
}

// One channel's picture, or the error page when its semaphores fail.
static void single_view(int channel, long mode, int quality, int record)
{
	if (pre_q(channel) != 0) {
		semaphore_error_page();
		return;
	}
	uint8_t *map;
	int fd;
	size_t length;
	const uint8_t *frame = composite;
	uint8_t flag = 0;  // that of the blank frame
	if (get_raw(channel, &map, &fd, &length) == 0) {
		frame = map;
		flag = raw_frame_flag;
	} else {
		blank_raw_frame(composite);
	}
	int jpeg_length = single_picture(frame, flag, mode, quality);
	if (frame != composite && raw_frame_lost) {
		blank_raw_frame(composite);
		jpeg_length = single_picture(composite, 0, mode, quality);
	}
	release_frame_file(map, fd, length);
	if (post_q(channel) != 0) {
		semaphore_error_page();
		return;
	}
	return_data(jpeg_area, jpeg_length, record);
}

// Channels 0 to 3 in the four quarters; a channel that cannot be had leaves
// its quarter blank.
static void quad_view(long mode, int quality, int record)
{
	int qw, qh, factor;
	if (mode == 0) {
		qw = 640, qh = 480, factor = 1;
	} else if (mode == 1) {
		qw = 320, qh = 240, factor = 2;
	} else {
		qw = 160, qh = 120, factor = 4;
	}
	prepare_pages(composite, (size_t)qw * qh * 3 / 2);
	bool placed[4] = {false, false, false, false};
	bool scratch_prepared = false;
	for (int channel = 0; channel < 4; channel++) {
		if (pre_q(channel) != 0)
			continue;
		uint8_t *map;
		int fd;
		size_t length;
		if (get_raw(channel, &map, &fd, &length) == 0) {
			const uint8_t *planes = map + raw_header_bytes;
			int w = raw_width(raw_frame_flag), h = raw_height(raw_frame_flag);
			int f = raw_frame_flag ? 2 * factor : factor;
			if (f > 1) {
				if (!scratch_prepared) {
					prepare_reduced(scratch, w, h, f);
					scratch_prepared = true;
				}
				yuv_avg_resize((uint8_t *)planes, scratch, w, h, f);
				planes = scratch;
			}
			put_thumbnail(planes, composite, w, h, qw, qh, channel);
			// A file that shrank under us leaves zeros: blank instead.
			placed[channel] = !raw_frame_lost;
		}
		release_frame_file(map, fd, length);
		post_q(channel);
	}
	// Only now the quarters that stayed empty, so that a full view writes
	// each byte of the composite once.
	bool blank_made = false;
	for (int channel = 0; channel < 4; channel++) {
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
	long channel = 0, mode = 0, jq = 64, data = 0;
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
		single_view(to_int(channel), mode, to_int(jq), data != 0);
	else
		quad_view(mode, to_int(jq), data != 0);

	fclose(stdin);
	fclose(stderr);
	fclose(stdout);
	return 0;
}
