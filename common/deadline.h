// deadline.h: waits bounded by a point on the monotonic clock, which no
// change of the wall clock moves.
#ifndef COMMON_DEADLINE_H
#define COMMON_DEADLINE_H

#include <time.h>

// The monotonic time ms milliseconds from now.
inline struct timespec deadline_in_ms(int ms)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	t.tv_sec += ms / 1000;
	t.tv_nsec += (long)(ms % 1000) * 1000000;
	if (t.tv_nsec >= 1000000000) {
		t.tv_sec++;
		t.tv_nsec -= 1000000000;
	}
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
