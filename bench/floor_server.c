/* The benchmark's floor: the least an HTTP/1.1 server on 127.0.0.1 can do per request. One
   thread, one epoll set, level-triggered; every request head, found by its blank line and nothing
   else, gets the same fixed reply, the one the service gives a getImage poll before any press.
   Whatever the service costs beyond this is the cost of what it does: routing, state, timeouts.

     floor_server PORT

   A head may arrive in pieces: each connection keeps how much of "\r\n\r\n" its last bytes
   matched. Bodies, methods and paths are not looked at. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

static const char reply[] =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\n"
    "25\r\n{\"ret\":-4, \"data\":{\"enroll_index\":0}}\r\n0\r\n\r\n";
static const char blank_line[] = "\r\n\r\n";

/* How far into blank_line each connection's bytes so far reach, by descriptor. */
static unsigned char *matched;

/* The number of heads that end in `bytes`, carrying the partial match over from one read to
   the next. */
static int heads_ended(int fd, const char *bytes, ssize_t size) {
  int heads = 0;
  unsigned char state = matched[fd];
  for (ssize_t i = 0; i < size; ++i) {
    if (bytes[i] == blank_line[state]) {
      if (++state == 4) {
        ++heads;
        state = 0;
      }
    } else {
      state = bytes[i] == '\r' ? 1 : 0;
    }
  }
  matched[fd] = state;
  return heads;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  matched = calloc(limit.rlim_cur, 1);

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(atoi(argv[1]))};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (matched == NULL || listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    perror("floor_server");
    return 1;
  }
  int poller = epoll_create1(0);
  struct epoll_event event = {.events = EPOLLIN, .data.fd = listener};
  epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);

  static char input[65536];
  struct epoll_event ready[256];
  for (;;) {
    int count = epoll_wait(poller, ready, 256, -1);
    for (int i = 0; i < count; ++i) {
      int fd = ready[i].data.fd;
      if (fd == listener) {
        int client;
        while ((client = accept4(listener, NULL, NULL, SOCK_NONBLOCK)) >= 0) {
          if ((rlim_t)client >= limit.rlim_cur) { /* cannot happen: the table covers the limit */
            close(client);
            continue;
          }
          setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          matched[client] = 0;
          struct epoll_event readable = {.events = EPOLLIN, .data.fd = client};
          epoll_ctl(poller, EPOLL_CTL_ADD, client, &readable);
        }
        continue;
      }
      ssize_t size = read(fd, input, sizeof input);
      if (size < 0 && (errno == EAGAIN || errno == EINTR))
        continue;
      if (size <= 0) {
        close(fd); /* also leaves the epoll set */
        continue;
      }
      for (int heads = heads_ended(fd, input, size); heads > 0; --heads)
        if (write(fd, reply, sizeof reply - 1) < 0)
          break;
    }
  }
}
