// The requests keld-sim answers and the state they are answered from, apart
// from its sockets and threads, so that both can be driven directly.
#ifndef KELD_SIM_CALLS_H
#define KELD_SIM_CALLS_H

#include <nlohmann/json.hpp>
#include <string>

#include "kel_wire.h"

using json = nlohmann::ordered_json;

struct conn {
	int fd;
	int id;            // number that tells connections apart in the log
	bool snmp;         // came in on the community socket
	bool authed;       // its login was accepted
};

extern json state;     // the daemon's whole state; the caller serialises access

// JSON text of j; a text that is not UTF-8 shows each bad byte as U+FFFD.
std::string dump(const json &j, int indent = -1);

// Parse the text of a state file. Return false and set why on failure.
bool parse_state(const std::string &text, json *out, std::string *why);

// Answer the request whose payload m holds, replacing it by the reply.
// Return false when the payload is not a request; otherwise set *changed
// when the state must be saved and *logged to the call's log line.
bool answer_request(conn &c, kel_msg *m, bool *changed, json *logged);

#endif
