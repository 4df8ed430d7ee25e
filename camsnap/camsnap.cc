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
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>

#include "jarraydst.h"
#include "jpegenc.h"
#include "rawframe.h"
#include "sensors.h"
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
// Room for the largest response, so that it leaves in one write: the web
// server then reads it whole, and a small picture costs no extra calls.
static char response[1024 + jpeg_area_size + sensor_record_size];

static uint8_t *const composite = work_area;
static uint8_t *const jpeg_area = work_area + composite_size;

// Return the semaphore set of key base + channel, or -1 after a message.
static int get_raw_sem_id(int key_base, int channel)
{
	int id = semget((key_t)((long)key_base + channel), 1, 0666);
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

// Write the CGI header block: the body is jpeg_length picture bytes, then
// record_length record bytes.
static void print_header(int jpeg_length, int record_length)
{
	time_t now = time(NULL);
	struct tm t;
	gmtime_r(&now, &t);
	if (jpeg_length != 0) {
		printf("Content-Type: image/jpeg\r\n");
		printf("Content-Length: %d\r\n", jpeg_length + record_length);
	} else {
		printf("Content-Type: application/octet-stream\r\n");
		printf("Content-Length: %d\r\n", record_length);
		printf("Content-Disposition: attachment; filename=\"status.bin\"\r\n");
	}
	printf("Expires: Mon, 26 Jul 1997 05:00:00 GMT\r\n");
	printf("Last-Modified: %s, %d %s %d %02d:%02d:%02d GMT\r\n", day[t.tm_wday], t.tm_mday,
	       month[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
	printf("Cache-Control: no-cache, must-revalidate\r\n");
	printf("Pragma: no-cache\r\n");
	printf("Sensors-Data: %d\r\n", jpeg_length);
	printf("\r\n");
}

// Send the answer: header block, the JPEG (if any), then the sensor record if
// one was asked for.
static void return_data(const uint8_t *jpeg, int jpeg_length, int record)
{
	uint8_t buffer[sensor_record_size];
	int record_length = 0;
	if (record)
		record_length = get_sensors_data(buffer);
	print_header(jpeg_length, record_length);
	if (jpeg_length)
		fwrite(jpeg, 1, jpeg_length, stdout);
	if (record)
		fwrite(buffer, 1, record_length, stdout);
}

static void semaphore_error_page()
{
	printf("Content-Type: text/html\r\n\r\nsemaphore error!\r\n");
}

// A blank raw frame: 320x240, dark grey, standing in for one that cannot be read.
static void blank_raw_frame(uint8_t *frame)
{
	frame[0] = 0;
	frame[1] = 0;
	fill_blank(frame + raw_header_bytes, 320, 240);
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
// standing in for it) and return the JPEG length.
static int single_picture(const uint8_t *frame, long mode, int quality)
{
	int w = raw_width(frame[0]), h = raw_height(frame[0]);
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
	if (get_raw(channel, &map, &fd, &length) == 0)
		frame = map;
	else
		blank_raw_frame(composite);
	int jpeg_length = single_picture(frame, mode, quality);
	if (frame != composite && raw_frame_lost) {
		blank_raw_frame(composite);
		jpeg_length = single_picture(composite, mode, quality);
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
	fill_blank(composite, qw, qh);
	for (int channel = 0; channel < 4; channel++) {
		if (pre_q(channel) != 0)
			continue;
		uint8_t *map;
		int fd;
		size_t length;
		if (get_raw(channel, &map, &fd, &length) == 0) {
			const uint8_t *planes = map + raw_header_bytes;
			int w = raw_width(map[0]), h = raw_height(map[0]);
			int f = map[0] ? 2 * factor : factor;
			if (f > 1) {
				yuv_avg_resize((uint8_t *)planes, scratch, w, h, f);
				planes = scratch;
			}
			put_thumbnail(planes, composite, w, h, qw, qh, channel);
			if (raw_frame_lost) {
				// The file shrank under us: a blank quarter, not zeros.
				fill_blank(scratch, qw / 2, qh / 2);
				put_thumbnail(scratch, composite, qw / 2, qh / 2, qw, qh, channel);
			}
		}
		release_frame_file(map, fd, length);
		post_q(channel);
	}
	int jpeg_length = encode(quality, qw, qh, qw, qh, composite);
	return_data(jpeg_area, jpeg_length, record);
}

// Read the number after key, as "key%ld" would, into *value if there is one.
static void query_number(const char *query, const char *key, long *value)
{
	const char *at = strstr(query, key);
	long v;
	if (at && sscanf(at + strlen(key), "%ld", &v) == 1)
		*value = v;
}

// A query number as an int, kept at the end of the range rather than wrapped.
static int to_int(long v)
{
	return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v;
}

int main()
{
	long channel = 0, mode = 0, jq = 64, data = 0;
	const char *query = getenv("QUERY_STRING");
	setvbuf(stdout, response, _IOFBF, sizeof response);
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
