// spawntime: the median wall time of running a command.
//
//   spawntime [-c] N CMD [ARG...]
//
// Runs CMD N times one after another (posix_spawn, then wait), its standard
// streams on /dev/null, and prints the median wall time of a run in
// microseconds.  With -c the same line goes on with the median CPU time of a
// run (user and system time of the run's own process, from its rusage: time
// it spent waiting is not in it) in microseconds and its median count of
// page faults (minor and major).  Exit status 1 when any run failed to start
// or ended with a signal; a run's own exit status is not judged, since some
// benchmarks time failures on purpose.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

constexpr int max_runs = 100000;   // most runs one call times
static double times[max_runs];     // wall time of each run, microseconds
static double cpu[max_runs];       // user + system time of each run, microseconds
static double faults[max_runs];    // minor + major page faults of each run

static int by_value(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;
	return (x > y) - (x < y);
}

static double now_us()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static double median(double *values, int n)
{
	qsort(values, (size_t)n, sizeof values[0], by_value);
	return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int main(int argc, char **argv)
{
	bool costs = argc > 1 && strcmp(argv[1], "-c") == 0;
	if (costs) {
		argc--;
		argv++;
	}
	if (argc < 3) {
		fprintf(stderr, "usage: spawntime [-c] N CMD [ARG...]\n");
		return 2;
	}
	int n = atoi(argv[1]);
	if (n < 1 || n > max_runs) {
		fprintf(stderr, "spawntime: N from 1 to %d\n", max_runs);
		return 2;
	}
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	for (int fd = 0; fd < 3; fd++)
		posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
	for (int i = 0; i < n; i++) {
		pid_t pid;
		double start = now_us();
		if (posix_spawn(&pid, argv[2], &fa, nullptr, argv + 2, environ) != 0) {
			perror(argv[2]);
			return 1;
		}
		int st;
		struct rusage ru;
		wait4(pid, &st, 0, &ru);
		times[i] = now_us() - start;
		cpu[i] = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec +
		         ru.ru_stime.tv_usec;
		faults[i] = (double)(ru.ru_minflt + ru.ru_majflt);
		if (WIFSIGNALED(st)) {
			fprintf(stderr, "%s: ended by signal %d\n", argv[2], WTERMSIG(st));
			return 1;
		}
	}
	if (costs)
		printf("%.1f %.1f %.1f\n", median(times, n), median(cpu, n), median(faults, n));
	else
		printf("%.1f\n", median(times, n));
	return 0;
}
