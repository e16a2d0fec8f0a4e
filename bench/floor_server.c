/* A minimal blocking server for the Qeno Server protocol, the yardstick for
 * qeno-host. Reads a request until two line-break bytes in a row, replies
 * "<reply>,x" and closes.
 *   protocol floor: the listening socket stays open.
 *   design floor (--design): the listening socket is closed on accept and
 *   opened anew after each client, as Qeno Server does.
 *   tuned design floor (--tuned): the design floor with the two socket-level
 *   remedies qeno-host's host layer uses: SO_REUSEPORT on the listener, and
 *   end of stream sent only once the new listener is up (then it reads until
 *   the peer closes, and closes).
 * Usage: floor_server PORT REPLY [--design|--tuned] */
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int open_listener(int port, int reuse_port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  struct sockaddr_in address;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (reuse_port) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 1) != 0) {
    perror("floor_server: listen");
    exit(1);
  }
  return fd;
}

static int has_pair(const char* text, size_t length) {
  int run = 0;
  for (size_t i = 0; i < length; ++i) {
    run = (text[i] == '\r' || text[i] == '\n') ? run + 1 : 0;
    if (run == 2) return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: floor_server PORT REPLY [--design|--tuned]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const int tuned = argc > 3 && strcmp(argv[3], "--tuned") == 0;
  const int design = tuned || (argc > 3 && strcmp(argv[3], "--design") == 0);
  char reply[32];
  snprintf(reply, sizeof reply, "%d,x", atoi(argv[2]));
  int listener = open_listener(port, tuned);
  for (;;) {
    int client = accept(listener, NULL, NULL);
    if (client < 0) continue;
    if (design) close(listener);
    char request[5000];
    size_t length = 0;
    ssize_t n;
    while (length < sizeof request &&
           (n = recv(client, request + length, sizeof request - length, 0)) > 0) {
      length += (size_t)n;
      if (has_pair(request, length)) break;
    }
    send(client, reply, strlen(reply), MSG_NOSIGNAL);
    if (tuned) {
      /* The reconnecting client finds a listener; reading to the peer's end
       * of stream keeps unread bytes from turning the close into a reset. */
      listener = open_listener(port, 1);
      shutdown(client, SHUT_WR);
      while (recv(client, request, sizeof request, 0) > 0) {
      }
      close(client);
      continue;
    }
    close(client);
    if (design) listener = open_listener(port, 0);
  }
}
