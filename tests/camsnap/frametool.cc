// frametool: a camera producer that the camsnap tests and benchmarks steer
// exactly.
//
//   frametool create            make the eight semaphores (write 0, read 1)
//   frametool remove KEY...     remove the semaphore sets of these keys
//   frametool stat              per semaphore key, writes first: "key value
//                               otime ctime", or "key -" when there is none
//   frametool serve SECONDS CH:FILE|CH:- ...
//       for SECONDS, whenever a reader waits on channel CH's write semaphore,
//       put FILE (a whole raw frame file) into the raw frame file unless the
//       file already holds it, holding off the readers of the channel in the
//       file and of CH while it writes, then raise CH's write semaphore.
//       "-" raises without touching the file.
//   frametool spin SECONDS CH:FILE ...
//       the same for a benchmark, from one process that polls every
//       channel's write semaphore without sleeping and raises it as soon as
//       a reader resets it, each channel's frame linked into place from a
//       copy of its own, /tmp/frametool.CH.frame; once a reader is done with
//       a channel, the next channel's frame is put in place at once.  A
//       sleeping producer's wake-up, and a copy of the frame, would
//       otherwise be timed as part of every request.  Give it a CPU of its
//       own: it yields that CPU on every turn of its loop, but never sleeps.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "rawframe.h"

constexpr int write_key = RAW_WRITE_KEY_BASE, read_key = RAW_READ_KEY_BASE;
constexpr int channels = RAW_CHANNELS;
constexpr long max_frame = RAW_HEADER_BYTES + RAW_LARGEST_IMAGE_BYTES + 4096;

static int sem_id(int key)
{
	return semget(key, 1, 0666);
}

static int create()
{
	for (int ch = 0; ch < channels; ch++) {
		int w = semget(write_key + ch, 1, IPC_CREAT | 0666);
		int r = semget(read_key + ch, 1, IPC_CREAT | 0666);
		if (w < 0 || r < 0 || semctl(w, 0, SETVAL, 0) < 0 || semctl(r, 0, SETVAL, 1) < 0) {
			perror("semget");
			return 1;
		}
	}
	return 0;
}

static int stat_all()
{
	for (int key = write_key; key < read_key + channels; key++) {
		int id = sem_id(key);
		if (id < 0) {
			printf("%d -\n", key);
			continue;
		}
		struct semid_ds ds;
		semctl(id, 0, IPC_STAT, &ds);
		printf("%d %d %ld %ld\n", key, semctl(id, 0, GETVAL), (long)ds.sem_otime,
		       (long)ds.sem_ctime);
	}
	return 0;
}

static unsigned char *read_whole(const char *path, long *length)
{
	FILE *f = fopen(path, "rb");
	if (!f) {
		perror(path);
		exit(1);
	}
	unsigned char *buf = (unsigned char *)malloc(max_frame);
	*length = (long)fread(buf, 1, max_frame, f);
	fclose(f);
	return buf;
}

static volatile sig_atomic_t stop_serving;  // SIGTERM came

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

static volatile pid_t *last_writer;  // shared by one serve's channels: who wrote the file last

// Put channel's frame into the raw file unless this channel's producer was
// the last to write it (checked without a system call, so that a benchmark
// measures the reader).  The channels take turns through a lock file.
static void put_frame(int channel, const unsigned char *frame, long length)
{
	pid_t me = getpid();
	if (*last_writer == me)
		return;
	int lock = open("/tmp/frametool.lock", O_RDWR | O_CREAT, 0600);
	flock(lock, LOCK_EX);
	*last_writer = 0;
	unsigned char head[RAW_HEADER_BYTES];
	int fd = open(RAW_FRAME_PATH, O_RDWR | O_CREAT, 0666);
	int in_file = -1;
	if (fd >= 0 && pread(fd, head, sizeof head, 0) == (ssize_t)sizeof head &&
	    head[RAW_CHANNEL_BYTE] < channels)
		in_file = head[RAW_CHANNEL_BYTE];
	bool held = hold_frame_readers(in_file, channel, &stop_serving);
	if (fd >= 0 && (pwrite(fd, frame, length, 0) != length || ftruncate(fd, length) != 0))
		perror("write");
	if (held)
		release_frame_readers(in_file, channel);
	if (fd >= 0)
		close(fd);
	*last_writer = me;
	close(lock);
}

// Wait, briefly, until a reader blocks on the write semaphore w.
static bool reader_waiting(int w)
{
	for (int i = 0; i < 20000; i++) {
		if (semctl(w, 0, GETNCNT) > 0)
			return true;
		if (i < 100) {
			sched_yield();
		} else {
			struct timespec pause = {0, 10000};
			nanosleep(&pause, NULL);
		}
	}
	return false;
}

// One channel's producer.  It keeps one spare unit in the write semaphore
// and waits for zero: a reader starts by resetting the semaphore to 0, which
// wakes us at once, without polling.  Once the reader blocks for the raise,
// the frame goes into the file if another channel's is there, and the reader
// is let through with the spare unit put back in the same operation.
static void serve_channel(int channel, const unsigned char *frame, long length, double end)
{
	int w = sem_id(write_key + channel);
	if (w < 0) {
		fprintf(stderr, "frametool: no semaphore for channel %d\n", channel);
		exit(1);
	}
	while (now() < end) {
		struct sembuf zero = {0, 0, 0};
		struct timespec limit = {1, 0};
		if (semtimedop(w, &zero, 1, &limit) != 0)
			continue;
		if (reader_waiting(w)) {
			if (frame)
				put_frame(channel, frame, length);
			// The reader's unit and the spare in one operation: a spare
			// raised on its own could land after the next reader's reset
			// and let that reader through to a frame nobody put in place.
			raise_frame(channel, 2);
		} else {
			raise_frame(channel, 1);  // the spare unit
		}
	}
	exit(0);
}

// The spinning producer of all the channels given.  A rename puts a frame in
// place at the same cost whatever its size, and a reader that still maps the
// old file keeps its pages.
static int spin(double seconds, int count, char **specs)
{
	int ids[channels], numbers[channels];
	char own[channels][64];
	int n = 0;
	for (int i = 0; i < count && n < channels; i++) {
		int channel = atoi(specs[i]);
		const char *file = strchr(specs[i], ':');
		numbers[n] = channel;
		ids[n] = sem_id(write_key + channel);
		if (ids[n] < 0 || sem_id(read_key + channel) < 0) {
			fprintf(stderr, "frametool: no semaphore for channel %d\n", channel);
			return 1;
		}
		own[n][0] = '\0';
		if (file && strcmp(file + 1, "-") != 0) {
			long length;
			unsigned char *frame = read_whole(file + 1, &length);
			snprintf(own[n], sizeof own[n], "/tmp/frametool.%d.frame", channel);
			FILE *f = fopen(own[n], "wb");
			if (!f || fwrite(frame, 1, length, f) != (size_t)length || fclose(f) != 0) {
				perror(own[n]);
				return 1;
			}
			free(frame);
		}
		n++;
	}
	int in_file = -1;  // index of the channel whose frame is the raw file
	// Put channel i's frame into the raw file.
	auto put_frame = [&](int i) {
		if (!own[i][0] || in_file == i)
			return;
		int old = in_file >= 0 ? numbers[in_file] : -1;
		if (!hold_frame_readers(old, numbers[i], &stop_serving))
			return;
		// rename() leaves both names when they are links of one file
		// already, so the spare name goes either way.
		unlink("/tmp/frametool.new");
		if (link(own[i], "/tmp/frametool.new") != 0 ||
		    rename("/tmp/frametool.new", RAW_FRAME_PATH) != 0)
			perror("frametool: put frame");
		unlink("/tmp/frametool.new");
		release_frame_readers(old, numbers[i]);
		in_file = i;
	};
	// A reader that is done with channel i raises its write semaphore last:
	// the value is back above 0 and the last operation is not ours.  The
	// frame of the channel after it then goes into the file at once, so that
	// the quad view's next wait finds its frame ready, as from a camera that
	// delivers all channels in turn.
	pid_t self = getpid();
	int returning = -1;  // the channel raised last, until its reader is done
	double end = now() + seconds;
	while (!stop_serving && now() < end) {
		for (int i = 0; i < n; i++) {
			if (semctl(ids[i], 0, GETVAL) != 0)
				continue;
			put_frame(i);
			raise_frame(numbers[i], 1);
			returning = i;
		}
		if (returning >= 0 && n > 1 && semctl(ids[returning], 0, GETPID) != self &&
		    semctl(ids[returning], 0, GETVAL) > 0) {
			put_frame((returning + 1) % n);
			returning = -1;
		}
		sched_yield();  // the CPU is shared with other work, if not with the readers
	}
	return 0;
}

static int serve(double seconds, int count, char **specs)
{
	double end = now() + seconds;
	pid_t parent = getpid();
	last_writer = (volatile pid_t *)mmap(NULL, sizeof(pid_t), PROT_READ | PROT_WRITE,
	                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	*last_writer = 0;
	pid_t children[channels * 2];
	int started = 0;
	for (int i = 0; i < count && started < channels * 2; i++) {
		int channel = atoi(specs[i]);
		const char *file = strchr(specs[i], ':');
		unsigned char *frame = NULL;
		long length = 0;
		if (file && strcmp(file + 1, "-") != 0)
			frame = read_whole(file + 1, &length);
		pid_t pid = fork();
		if (pid == 0) {
			signal(SIGTERM, SIG_DFL);
			prctl(PR_SET_PDEATHSIG, SIGTERM);
			if (getppid() != parent)
				exit(0);
			serve_channel(channel, frame, length, end);
		}
		if (pid > 0)
			children[started++] = pid;
		free(frame);
	}
	// Until told to stop; then end every channel's producer before ending, so
	// that a producer started next has the semaphores to itself.
	while (!stop_serving && wait(NULL) > 0)
		;
	for (int i = 0; i < started; i++)
		kill(children[i], SIGTERM);
	while (wait(NULL) > 0)
		;
	return 0;
}

int main(int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "create") == 0)
		return create();
	if (argc >= 2 && strcmp(argv[1], "stat") == 0)
		return stat_all();
	if (argc >= 2 && strcmp(argv[1], "remove") == 0) {
		for (int i = 2; i < argc; i++)
			semctl(sem_id(atoi(argv[i])), 0, IPC_RMID);
		return 0;
	}
	if (argc >= 4 && strcmp(argv[1], "serve") == 0) {
		struct sigaction sa;
		memset(&sa, 0, sizeof sa);
		sa.sa_handler = [](int) { stop_serving = 1; };
		sigaction(SIGTERM, &sa, NULL);  // no SA_RESTART: wait() returns
		return serve(atof(argv[2]), argc - 3, argv + 3);
	}
	if (argc >= 4 && strcmp(argv[1], "spin") == 0) {
		signal(SIGTERM, [](int) { stop_serving = 1; });
		return spin(atof(argv[2]), argc - 3, argv + 3);
	}
	fprintf(stderr, "usage: frametool create|remove KEY...|stat|serve|spin SECONDS CH:FILE...\n");
	return 2;
}
