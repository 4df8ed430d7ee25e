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
#include "yuvscale.h"

constexpr int composite_size = 614400;  // room for a 640x480 frame-placed picture and more
constexpr int work_area_size = composite_size + jpeg_area_size;
constexpr int scratch_size = 640 * 480 * 3 / 2;  // the largest reduced frame, frame-placed
constexpr int write_key_base = 12000;
constexpr int read_key_base = 12004;
// How long a request waits, in all, for a frame of one channel; a channel
// that delivers nothing in that time counts as a failed semaphore operation.
constexpr int sem_wait_seconds = 3;
constexpr long retry_pause_ns = 5000000;  // after another channel's frame, before waiting again

static const char raw_file[] = "/tmp/raw.camsnap";
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

// Whether the monotonic clock is still before deadline; if so, the time
// left goes to left.
static bool time_left(const struct timespec *deadline, struct timespec *left)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	long long ns = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000 +
	               (deadline->tv_nsec - now.tv_nsec);
	if (ns <= 0)
		return false;
	left->tv_sec = (time_t)(ns / 1000000000);
	left->tv_nsec = (long)(ns % 1000000000);
	return true;
}

// One semaphore operation on set id, given up at deadline; a raise, which
// never waits, has none.  The read unit is taken with SEM_UNDO, so that a
// request killed while it holds one does not close the channel for everyone
// after it.
static int sem_step(int id, int op, int flags, const struct timespec *deadline)
{
	operations.sem_num = 0;
	operations.sem_op = (short)op;
	operations.sem_flg = (short)flags;
	if (!deadline)
		return semop(id, &operations, 1);
	struct timespec left;
	if (!time_left(deadline, &left)) {
		errno = EAGAIN;
		return -1;
	}
	return semtimedop(id, &operations, 1, &left);
}

// Wait until deadline for a fresh frame of channel and take a read unit.
// Return 0 when the frame may be read, 1 when a semaphore is missing or an
// operation fails or times out, -1 when the write semaphore cannot be reset.
static int pre_q(int channel, const struct timespec *deadline)
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
	if (sem_step(sem_write, -1, 0, deadline) != 0)
		return 1;
	if (sem_step(sem_read, -1, SEM_UNDO, deadline) != 0)
		return 1;
	return 0;
}

// Give back the read unit and let one more waiting reader through.
static int post_q(int)
{
	if (sem_step(sem_read, +1, SEM_UNDO, nullptr) != 0)
		return 1;
	if (sem_step(sem_write, +1, 0, nullptr) != 0)
		return 1;
	return 0;
}

// Map the raw frame file if it holds a whole frame of channel: 0 when it
// does, raw_other_channel when it holds another channel's frame, 1 otherwise.
static int get_raw(int channel, uint8_t **address, int *fd, size_t *length)
{
	raw_frame_lost = 0;
	return map_frame_file(raw_file, channel, address, fd, length);
}

// What take_frame got.  After frame_mapped and frame_unreadable the caller
// releases the mapping and calls post_q (give_frame); after the others
// nothing is held.
enum frame_result {
	frame_mapped,      // a whole frame of the channel is mapped
	frame_unreadable,  // the file cannot be read; the blank picture stands in
	frame_elsewhere,   // only other channels' frames within the bound: the same
	frame_none,        // no frame within the bound, or a semaphore failed
};

// Wait for a frame of channel and map it.  Between our taking the camera's
// raise and our taking the read unit, the camera may already have put the
// next channel's frame in the file.  Then the read unit goes back, but not
// the raise: that would only let another waiting reader of this channel in
// to the same file.  The request waits for its channel's next frame instead,
// so a camera that delivers is never answered with a blank.  All the tries
// for one channel share one bound, so a request still ends in time; when it
// passes, the pre_q of the next try fails at once.
static frame_result take_frame(int channel, uint8_t **address, int *fd, size_t *length)
{
	struct timespec deadline;
	clock_gettime(CLOCK_MONOTONIC, &deadline);
	deadline.tv_sec += sem_wait_seconds;
	int found = -1;  // the channel byte of the last file of another channel
	while (pre_q(channel, &deadline) == 0) {
		int result = get_raw(channel, address, fd, length);
		if (result == 0)
			return frame_mapped;
		if (result != raw_other_channel)
			return frame_unreadable;
		found = (*address)[1];
		release_frame_file(*address, *fd, *length);
		sem_step(sem_read, +1, SEM_UNDO, nullptr);
		// The channel's next frame is at least one other channel's frame
		// away: a short pause costs nothing, and a camera that raises a
		// channel without writing it does not have us spin till the bound.
		const struct timespec pause = {0, retry_pause_ns};
		nanosleep(&pause, nullptr);
	}
	if (found < 0)
		return frame_none;
	// Only the last try is worth a line: the others were the normal
	// hand-over between camera and readers.
	fprintf(stderr, "raw file is %d, needed %d.\n", found, channel);
	*address = (uint8_t *)MAP_FAILED;
	*fd = -1;
	*length = 0;
	return frame_elsewhere;
}

// Undo what take_frame made, the mapping too when unmap is set; else it stays
// till the process exits, which takes the whole address space down at once.
// Unmapping a frame by itself costs the kernel a TLB invalidation per page
// for mappings of up to 33 pages on x86 (a 320x240 frame's 29: some 600 us
// on our virtual machines, where each one traps) and a TLBI a page on ARM.
// Return post_q's result, 0 when it had nothing to give back.
static int give_frame(int channel, frame_result got, uint8_t *address, int fd, size_t length,
                      bool unmap)
{
	if (unmap)
		release_frame_file(address, fd, length);
	else
		leave_frame_file(fd);
	return got == frame_elsewhere ? 0 : post_q(channel);
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
	uint8_t *map;
	int fd;
	size_t length;
	frame_result got = take_frame(channel, &map, &fd, &length);
	if (got == frame_none) {
		semaphore_error_page();
		return;
	}
	const uint8_t *frame = composite;
	uint8_t flag = 0;  // that of the blank frame
	if (got == frame_mapped) {
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
	if (give_frame(channel, got, map, fd, length, false) != 0) {
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
		uint8_t *map;
		int fd;
		size_t length;
		frame_result got = take_frame(channel, &map, &fd, &length);
		if (got == frame_none)
			continue;
		if (got == frame_mapped) {
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
		// A 640x480 frame (or a file not taken) goes before the next is
		// mapped, so that the view never holds more than one; four 320x240
		// frames take about what one of those does.
		give_frame(channel, got, map, fd, length, got != frame_mapped || raw_frame_flag != 0);
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
