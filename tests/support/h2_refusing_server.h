// A DNS over HTTPS server double on nghttp2's server API, over TLS with a
// key and certificate made at start (clients check nothing: --insecure).
// It refuses the first stream of every question with RST_STREAM
// (REFUSED_STREAM), so that half of all streams are refused, answers the
// second, and after `answers_per_connection` answers on one connection
// says GOAWAY with that last stream's ID, refusing the streams above it.
// Listens on one loopback address of the sandbox, port 443.
#ifndef TESTS_SUPPORT_H2_REFUSING_SERVER_H
#define TESTS_SUPPORT_H2_REFUSING_SERVER_H

struct h2_refusing_server;

// Null when it cannot listen.
h2_refusing_server *h2_refusing_start(const char *ip,
                                      int answers_per_connection);
struct h2_refusing_counts {
  int streams;     // requests whose body came whole
  int refused;     // reset with REFUSED_STREAM
  int answered;    // with status 200 and a reply
  int connections; // accepted
  int goaways;     // sent
};
// Stops serving, joins and frees; what it did.
h2_refusing_counts h2_refusing_stop(h2_refusing_server *server);

#endif
