// DNS over UDP: a small pool of sockets, each query a datagram to the
// nameserver, each reply judged by its socket, sender, ID and question.
#ifndef NET_UDP_TRANSPORT_H
#define NET_UDP_TRANSPORT_H

#include "net/engine.h"
#include "net/ns_address.h"

// Runs `job` against `ns` over UDP. 0 when every probe was reported (or
// the job was stopped); -1 when no socket or poller could be had, with
// sock_error()'s code in *sys_error; nothing is reported then.
int udp_run(const ns_address *ns, const engine_settings *settings,
            const engine_job *job, int *sys_error);

#endif
