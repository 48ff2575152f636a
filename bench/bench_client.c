/* The two client loads of bench/run-bench.sh that wrk does not make.
     bench_client connect PORT N   N connections one after another, each sending one request,
                                   reading its whole reply and closing
     bench_client hold PORT N      N keep-alive connections, each sending one request and
                                   reading its reply; then prints "held N", keeps them open
                                   until standard input ends, closes them all, prints "closed"
   A reply is complete at the blank line that ends its last chunk ("0\r\n\r\n"). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char REQUEST[] = "GET /varuvezivuv/fingerprint/getImage HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

static int open_and_ask(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0), one = 1;
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a)) { perror("connect"); exit(1); }
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (write(fd, REQUEST, sizeof REQUEST - 1) != (ssize_t)(sizeof REQUEST - 1)) { perror("write"); exit(1); }
  char reply[4096];
  size_t got = 0;
  while (got < 5 || memcmp(reply + got - 5, "0\r\n\r\n", 5) != 0) {
    ssize_t r = read(fd, reply + got, sizeof reply - got);
    if (r <= 0 || (got += (size_t)r) == sizeof reply) { fprintf(stderr, "no whole reply on port %d\n", port); exit(1); }
  }
  return fd;
}

int main(int argc, char **argv) {
  if (argc != 4) { fprintf(stderr, "usage: bench_client connect|hold PORT N\n"); return 2; }
  int port = atoi(argv[2]), n = atoi(argv[3]);
  if (strcmp(argv[1], "connect") == 0) {
    for (int i = 0; i < n; i++) close(open_and_ask(port));
    return 0;
  }
  int *fds = malloc(sizeof *fds * (size_t)n);
  for (int i = 0; i < n; i++) fds[i] = open_and_ask(port);
  printf("held %d\n", n); fflush(stdout);
  char line[64];
  while (fgets(line, sizeof line, stdin)) {}
  for (int i = 0; i < n; i++) close(fds[i]);
  printf("closed\n"); fflush(stdout);
  return 0;
}
