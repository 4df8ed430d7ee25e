// kel_stress: many libkel clients at once against keld-sim.
//
//   kel_stress threads|procs N ROUNDS
//
// Each of N workers (threads of this process, or forked processes) logs in
// on its own connection and makes ROUNDS rounds of a setting, a reading and a
// no-op, checking every result.  Prints one line of totals; exit status 0
// when every call of every worker succeeded.
#include "kel.h"
#include "keld_login.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int rounds;  // rounds per worker

// Return the number of calls that failed.
static int work(int id)
{
	int handle, failed = 0;
	if (keld_login_community(stderr, &handle) != keld_logged_in)
		return rounds * 3 + 1;
	for (int r = 0; r < rounds; r++) {
		char name[64];
		snprintf(name, sizeof name, "worker %d round %d", id, r);
		failed += !kel_set_manuf_name(handle, name, (int)strlen(name) + 1);
		uint32_t addr = 0;
		failed += !kel_get_network_ip(handle, 0, &addr);
		failed += !kel_noop(handle);
	}
	kel_disconnect(handle);
	return failed;
}

static void *thread_main(void *arg)
{
	return (void *)(long)work((int)(long)arg);
}

int main(int argc, char **argv)
{
	if (argc != 4)
		return 2;
	int n = atoi(argv[2]);
	rounds = atoi(argv[3]);
	long failed = 0;
	if (!strcmp(argv[1], "threads")) {
		pthread_t t[256];
		if (n > 256) {
			fprintf(stderr, "at most 256 threads\n");
			return 2;
		}
		for (int i = 0; i < n; i++)
			if (pthread_create(&t[i], nullptr, thread_main, (void *)(long)i) != 0) {
				fprintf(stderr, "thread %d could not start\n", i);
				return 1;
			}
		for (int i = 0; i < n; i++) {
			void *r;
			pthread_join(t[i], &r);
			failed += (long)r;
		}
	} else {
		for (int i = 0; i < n; i++)
			if (fork() == 0)
				_exit(work(i) ? 1 : 0);
		int st;
		while (wait(&st) > 0)
			failed += !WIFEXITED(st) || WEXITSTATUS(st) != 0;
	}
	printf("%d %s x %d rounds: %ld failed\n", n, argv[1], rounds, failed);
	return failed ? 1 : 0;
}
