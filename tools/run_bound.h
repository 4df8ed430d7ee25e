// run_bound.h: the one bound on a tool's whole run.
//
// libkel bounds each call, not a run: a daemon that answers every call just
// in time would hold a tool making nine calls for nearly half a minute.
// Each tool states in its manual how long a run may take; past that it
// stops with its failure status, whatever call it is in.
#ifndef RUN_BOUND_H
#define RUN_BOUND_H

// End the process with status once seconds have passed from now, after
// writing "keld took more than N s; gave up" on descriptor fd (nothing when
// fd is negative).  Anything the tool has buffered on that stream must be
// flushed by then: the line is written past stdio.
void end_run_after(unsigned seconds, int fd, int status);

#endif
