// The nameserver probe: UDP to port 53, two attempts, 2000 ms each.
#include "net/probe.h"

#include "net/console.h"
#include "net/dns_message.h"

#include <chrono>
#include <cstdio>
#include <cstring>

sock_t open_probe_socket(sockaddr_in *address, const char *ns_text) {
  std::memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(DNS_PORT);
  address->sin_addr.s_addr = inet_addr(ns_text);
  if (address->sin_addr.s_addr == INADDR_NONE) {
    console_perror("inet_addr failed");
    return -1;
  }
  // A socket that could not be created fails here too.
  sock_t sock = sock_udp();
  if (sock_set_timeout(sock, REPLY_TIMEOUT_MS) != 0) {
    console_perror("set sock opt failed");
    sock_close(sock);
    return -1;
  }
  return sock;
}

void close_probe_socket(sock_t sock) {
  sock_close(sock);
}

int send_query(const char *name, int qtype, sock_t sock,
               const sockaddr_in *address, sent_ids *sent) {
  unsigned char query[QUERY_BUFFER_SIZE];
  std::memset(query, 0, sizeof query);
  int length = build_query(name, qtype, query, sizeof query);
  if (length <= 0) {
    console_error("make dns package failed\n");
    return -1;
  }
  if (sock_sendto(sock, query, length, address) < 0) {
    console_perror("sendto failed");
    return -1;
  }
  if (sent->count < PROBE_ATTEMPTS) {
    sent->id[sent->count++] =
        static_cast<std::uint16_t>(message_id(length, query));
  }
  return read_reply(sock, address, sent);
}

static bool is_reply(const sockaddr_in *from, const sockaddr_in *address,
                     long id, const sent_ids *sent) {
  if (from->sin_family != AF_INET ||
      from->sin_addr.s_addr != address->sin_addr.s_addr ||
      from->sin_port != address->sin_port) {
    return false;
  }
  for (int i = 0; i < sent->count; i++) {
    if (id == sent->id[i]) {
      return true;
    }
  }
  return false;
}

int read_reply(sock_t sock, const sockaddr_in *address, const sent_ids *sent) {
  typedef std::chrono::steady_clock clock;
  clock::time_point deadline =
      clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
  unsigned char reply[REPLY_BUFFER_SIZE];
  int kind = REPLY_SHORT;
  bool rearmed = false;
  for (;;) {
    std::memset(reply, 0, sizeof reply);
    sockaddr_in from;
    long n = sock_recvfrom(sock, reply, sizeof reply, &from);
    if (n < 0) {
      break; // timeout or error: nothing usable
    }
    if (is_reply(&from, address, message_id(n, reply), sent)) {
      // A reply too long for the buffer is as good as none.
      kind = n > REPLY_BUFFER_SIZE ? REPLY_SHORT : classify_reply(n, reply);
      break;
    }
    // Not an answer to this name from this nameserver: drop it and wait out
    // what is left of this attempt's time, not a fresh timeout.
    long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - clock::now())
                         .count();
    if (left <= 0) {
      break;
    }
    sock_set_timeout(sock, static_cast<int>(left));
    rearmed = true;
  }
  if (rearmed) {
    sock_set_timeout(sock, REPLY_TIMEOUT_MS);
  }
  return kind;
}

int probe_name(const char *name, sock_t sock, sockaddr_in address,
               probe_timing *timing) {
  typedef std::chrono::steady_clock clock;
  const clock::time_point start = clock::now();
  sent_ids sent;
  sent.count = 0;
  int outcome = PROBE_FAILED;
  int attempt = 0;
  while (attempt < PROBE_ATTEMPTS && outcome == PROBE_FAILED) {
    attempt++;
    int kind = send_query(name, DNS_TYPE_A, sock, &address, &sent);
    if (kind == REPLY_ANSWERED) {
      outcome = PROBE_OK;
    } else if (kind == REPLY_NEGATIVE) {
      outcome = PROBE_NEGATIVE; // a negative answer is not retried
    }
  }
  if (timing) {
    // The datagrams that left: a name with no wire form, or a send that
    // failed, asked nothing.
    timing->attempts = sent.count;
    timing->reply_us = -1;
    if (outcome != PROBE_FAILED) {
      long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                         clock::now() - start)
                         .count();
      timing->reply_us = static_cast<std::int32_t>(us);
    }
  }
  return outcome;
}
