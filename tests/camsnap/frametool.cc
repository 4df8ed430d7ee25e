// frametool: a camera producer that the camsnap tests and benchmarks steer
// exactly.
//
//   frametool create            make the eight semaphores (write 0, read 1)
//   frametool remove KEY...     remove the semaphore sets of these keys
//   frametool stat              per key 12000..12007: "key value otime ctime"
//                               or "key -" when there is none
//   frametool serve SECONDS CH:FILE|CH:- ...
//       for SECONDS, whenever a reader waits on channel CH's write semaphore,
//       put FILE (a whole raw frame file) into /tmp/raw.camsnap unless the
//       file already holds it, holding the read unit of the channel in the
//       file while it writes, then raise CH's write semaphore.  "-" raises
//       without touching the file.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char raw_path[] = "/tmp/raw.camsnap";
constexpr int write_key = 12000, read_key = 12004, channels = 4;
constexpr long max_frame = 2 + 640 * 480 * 3 / 2 + 4096;

static int sem_id(int key)
{
	return semget(key, 1, 0666);
}

static int step(int id, int op)
{
	struct sembuf b = {0, (short)op, 0};
	struct timespec limit = {5, 0};
	return semtimedop(id, &b, 1, &limit);
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

struct source {
	int channel;
	unsigned char *frame;  // NULL: raise only
	long length;
};

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

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

static int serve(double seconds, int count, char **specs)
{
	struct source src[channels * 2];
	int n = 0;
	for (int i = 0; i < count && n < channels * 2; i++, n++) {
		src[n].channel = atoi(specs[i]);
		const char *file = strchr(specs[i], ':');
		src[n].frame = NULL;
		if (file && strcmp(file + 1, "-") != 0)
			src[n].frame = read_whole(file + 1, &src[n].length);
	}
	prctl(PR_SET_TIMERSLACK, 1);
	int in_file = -1;  // channel whose frame this producer last wrote
	double end = now() + seconds;
	while (now() < end) {
		for (int i = 0; i < n; i++) {
			int w = sem_id(write_key + src[i].channel);
			if (w < 0 || semctl(w, 0, GETNCNT) <= 0)
				continue;
			if (src[i].frame && in_file != src[i].channel) {
				int lock = in_file >= 0 ? sem_id(read_key + in_file) : -1;
				if (lock >= 0 && step(lock, -1) != 0)
					continue;
				int fd = open(raw_path, O_WRONLY | O_CREAT, 0666);
				if (fd >= 0) {
					if (pwrite(fd, src[i].frame, src[i].length, 0) != src[i].length ||
					    ftruncate(fd, src[i].length) != 0)
						perror("write");
					close(fd);
				}
				if (lock >= 0)
					step(lock, +1);
				in_file = src[i].channel;
			}
			step(w, +1);
		}
		struct timespec pause = {0, 20000};
		nanosleep(&pause, NULL);
	}
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
	if (argc >= 4 && strcmp(argv[1], "serve") == 0)
		return serve(atof(argv[2]), argc - 3, argv + 3);
	fprintf(stderr, "usage: frametool create|remove KEY...|stat|serve SECONDS CH:FILE...\n");
	return 2;
}
