// The raw frame file is mapped, never copied.  A camera that truncates the
// file while a request reads it would make the kernel raise SIGBUS; the guard
// below puts zero pages in place of the lost ones instead, so a request never
// dies of it.
#include "rawframe.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include "deadline.h"

constexpr int wait_slice_ms = 20;            // one channel waited on while others are wanted too
constexpr long camera_slice_ns = 200000000;   // the camera's waits look at its stop flag this often
constexpr int write_value_cap = 1024;         // keeps an unread channel's raises below SEMVMX

static struct sembuf operations;      // the one operation every semop of a reader makes
static int argument;                  // semctl SETVAL argument
static frame_map *volatile guarded;   // the mapping the SIGBUS guard covers

static void on_sigbus(int sig, siginfo_t *info, void *)
{
	uint8_t *at = (uint8_t *)info->si_addr;
	frame_map *map = guarded;
	if (map && at >= map->address && at < map->address + map->length &&
	    mmap(map->address, map->length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
	         0) != MAP_FAILED) {
		map->lost = 1;
		return;  // the faulting read now finds a zero page
	}
	signal(sig, SIG_DFL);  // not ours: die of it as usual on return
}

static void guard_mapping(frame_map *map)
{
	static bool installed;  // the handler is set once per process
	if (!installed) {
		struct sigaction sa;
		memset(&sa, 0, sizeof sa);
		sa.sa_sigaction = on_sigbus;
		sa.sa_flags = SA_SIGINFO;
		sigemptyset(&sa.sa_mask);
		sigaction(SIGBUS, &sa, NULL);
		installed = true;
	}
	guarded = map;
}

int map_frame_file(const char *path, int channel, frame_map *map)
{
	*map = {(uint8_t *)MAP_FAILED, 0, -1, 0, 0};
	// Without O_NONBLOCK a FIFO put in the file's place would hold the
	// request in open() for as long as nobody writes to it, its read unit
	// taken; with it the open returns at once and fstat turns it away.
	map->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (map->fd < 0) {
		fprintf(stderr, "cannot open raw file! (%s)\n", path);
		return 1;
	}
	struct stat st;
	if (fstat(map->fd, &st) != 0)
		return 1;
	if (!S_ISREG(st.st_mode)) {
		fprintf(stderr, "raw file is not a regular file! (%s)\n", path);
		return 1;
	}
	if (st.st_size < RAW_HEADER_BYTES) {
		fprintf(stderr, "raw file is too short! (%s, %ld bytes)\n", path, (long)st.st_size);
		return 1;
	}
	void *address = mmap(NULL, st.st_size, PROT_READ, MAP_SHARED, map->fd, 0);
	if (address == MAP_FAILED)
		return 1;
	map->address = (uint8_t *)address;
	map->length = st.st_size;
	guard_mapping(map);
	if (map->address[RAW_CHANNEL_BYTE] != channel)
		return raw_other_channel;
	uint8_t flag = ((volatile uint8_t *)map->address)[RAW_FLAG_BYTE];
	long needed = raw_frame_bytes(flag);
	if ((long)map->length < needed) {
		fprintf(stderr, "raw file is too short! (%s, %ld bytes, frame needs %ld)\n", path,
		        (long)map->length, needed);
		return 1;
	}
	map->flag = flag;
	return 0;
}

void release_frame_file(frame_map *map, bool unmap)
{
	guarded = NULL;
	if (map->fd >= 0)
		close(map->fd);
	if (unmap && map->address != MAP_FAILED)
		munmap(map->address, map->length);
	map->fd = -1;
	map->address = (uint8_t *)MAP_FAILED;
}

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

// One reader's semaphore operation on set id, given up at deadline; a raise,
// which never waits, has none.  The read unit is taken with SEM_UNDO, so that
// a request killed while it holds one does not close the channel for everyone
// after it.
static int sem_step(int id, int op, int flags, const struct timespec *deadline)
{
	operations = {0, (short)op, (short)flags};
	if (!deadline)
		return semop(id, &operations, 1);
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	long long ns = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000 +
	               (deadline->tv_nsec - now.tv_nsec);
	if (ns <= 0) {
		errno = EAGAIN;
		return -1;
	}
	struct timespec left = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
	return semtimedop(id, &operations, 1, &left);
}

int ready_frame(frame_hold *hold, int channel)
{
	hold->channel = channel;
	hold->seen = -1;
	hold->map = {(uint8_t *)MAP_FAILED, 0, -1, 0, 0};
	hold->sem_read = get_raw_sem_id(RAW_READ_KEY_BASE, channel);
	hold->sem_write = get_raw_sem_id(RAW_WRITE_KEY_BASE, channel);
	if (hold->sem_read < 0 || hold->sem_write < 0) {
		fprintf(stderr, "Cannot get semaphore id for channel %d.\n", channel);
		return 1;
	}
	argument = 0;
	if (semctl(hold->sem_write, 0, SETVAL, argument) < 0) {
		fprintf(stderr, "Cannot set semaphore value for channel %d.\n", channel);
		return -1;
	}
	return 0;
}

// Whether the monotonic clock has not yet reached deadline.
static bool before(const struct timespec *deadline)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec < deadline->tv_sec ||
	       (now.tv_sec == deadline->tv_sec && now.tv_nsec < deadline->tv_nsec);
}

// Take hold's raise, waiting for it until wait_until at most (not at all when
// null), then the read unit, until deadline at most, and map the file.
// frame_elsewhere: nothing to map this time, as no raise came in time or the
// camera had already put another channel's frame in the file; frame_none: a
// semaphore failed.
//
// Between the reader's taking the raise and its taking the read unit, the
// camera may have put the next channel's frame in the file.  Then the read
// unit goes back, but not the raise, which would only let another reader of
// this channel in to the same file, and the channel is readied again: the
// reader waits for its channel's next frame, so that a camera that delivers
// is never answered with a blank.
static frame_result try_channel(frame_hold *hold, const struct timespec *wait_until,
                                const struct timespec *deadline)
{
	int taken = wait_until ? sem_step(hold->sem_write, -1, 0, wait_until)
	                       : sem_step(hold->sem_write, -1, IPC_NOWAIT, nullptr);
	if (taken == 0)
		taken = sem_step(hold->sem_read, -1, SEM_UNDO, deadline);
	if (taken != 0)
		return errno == EAGAIN || errno == EINTR ? frame_elsewhere : frame_none;
	int result = map_frame_file(RAW_FRAME_PATH, hold->channel, &hold->map);
	if (result == 0)
		return frame_mapped;
	if (result != raw_other_channel)
		return frame_unreadable;
	int seen = hold->map.address[RAW_CHANNEL_BYTE];
	release_frame_file(&hold->map, true);
	sem_step(hold->sem_read, +1, SEM_UNDO, nullptr);
	if (ready_frame(hold, hold->channel) != 0)
		return frame_none;
	hold->seen = seen;
	return frame_elsewhere;
}

frame_result take_first_frame(frame_hold *holds, const bool *wanted, int count, int first,
                              const struct timespec *deadline, int *which)
{
	int turn = first;  // the channel to wait on while none has a frame
	for (;;) {
		// First the raises that came while another channel was waited on:
		// the file may still hold their frames.
		int left = 0;
		for (int k = 0; k < count; k++) {
			int i = (first + k) % count;
			if (!wanted[i])
				continue;
			left++;
			frame_result got = try_channel(&holds[i], nullptr, deadline);
			if (got != frame_elsewhere) {
				*which = i;
				return got;
			}
		}
		if (left == 0 || !before(deadline))
			break;
		// Then one channel for a slice, or till the deadline when it is the
		// only one: a semaphore operation waits on one set alone.
		while (!wanted[turn % count])
			turn++;
		int i = turn % count;
		struct timespec until = *deadline;
		if (left > 1) {
			struct timespec slice = deadline_in_ms(wait_slice_ms);
			if (before(&slice))
				until = slice;
		}
		frame_result got = try_channel(&holds[i], &until, deadline);
		if (got != frame_elsewhere) {
			*which = i;
			return got;
		}
		turn = i + 1;
	}
	// Only the last try is worth a line: the others were the normal
	// hand-over between camera and readers.
	for (int i = 0; i < count; i++)
		if (wanted[i] && holds[i].seen >= 0)
			fprintf(stderr, "raw file is %d, needed %d.\n", holds[i].seen, holds[i].channel);
	*which = -1;
	return frame_none;
}

frame_result take_frame(frame_hold *hold, const struct timespec *deadline)
{
	const bool wanted = true;
	int which;
	return take_first_frame(hold, &wanted, 1, 0, deadline, &which);
}

int give_frame(frame_hold *hold, frame_result got, bool unmap)
{
	if (got != frame_mapped && got != frame_unreadable)
		return 0;
	release_frame_file(&hold->map, unmap);
	// post_q: the read unit back, then one more waiting reader let through.
	return sem_step(hold->sem_read, +1, SEM_UNDO, nullptr) != 0 ||
	       sem_step(hold->sem_write, +1, 0, nullptr) != 0;
}

// One of the camera's operations on channel's read unit, its wait cut into
// slices so that *stop (when given) ends it.
static bool camera_step(int channel, int delta, const volatile sig_atomic_t *stop)
{
	int id = get_raw_sem_id(RAW_READ_KEY_BASE, channel);
	struct sembuf op = {0, (short)delta, SEM_UNDO};
	const struct timespec slice = {0, camera_slice_ns};
	while (id >= 0 && semtimedop(id, &op, 1, &slice) != 0) {
		if (errno != EAGAIN && errno != EINTR) {
			perror("semop");
			return false;
		}
		if (stop && *stop)
			return false;
	}
	return id >= 0;
}

bool hold_frame_readers(int in_file, int channel, const volatile sig_atomic_t *stop)
{
	if (in_file >= 0 && !camera_step(in_file, -1, stop))
		return false;
	if (channel != in_file && !camera_step(channel, -1, stop)) {
		if (in_file >= 0)
			camera_step(in_file, +1, stop);
		return false;
	}
	return true;
}

void release_frame_readers(int in_file, int channel)
{
	if (channel != in_file)
		camera_step(channel, +1, nullptr);
	if (in_file >= 0)
		camera_step(in_file, +1, nullptr);
}

bool raise_frame(int channel, int units)
{
	int id = get_raw_sem_id(RAW_WRITE_KEY_BASE, channel);
	if (id < 0)
		return false;
	if (semctl(id, 0, GETVAL) >= write_value_cap)
		return semctl(id, 0, SETVAL, units) == 0;
	struct sembuf op = {0, (short)units, 0};
	return semop(id, &op, 1) == 0;
}
