// deadline.h: waits bounded by a point on the monotonic clock, which no
// change of the wall clock moves.
#ifndef COMMON_DEADLINE_H
#define COMMON_DEADLINE_H

#include <time.h>

// Move t on by ns (0 or more) nanoseconds.
inline void add_ns(struct timespec *t, long long ns)
{
	ns += t->tv_nsec;
	t->tv_sec += (time_t)(ns / 1000000000);
	t->tv_nsec = (long)(ns % 1000000000);
}

// The monotonic time ms milliseconds from now.
inline struct timespec deadline_in_ms(int ms)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	add_ns(&t, ms * 1000000LL);
	return t;
}

// The milliseconds left until deadline, 0 once it has passed.
inline int ms_left(const struct timespec *deadline)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	long ms = (deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
	return ms > 0 ? (int)ms : 0;
}

#endif
