#define _GNU_SOURCE /* ppoll */
/* The baseline for the command path: a hand-written C client doing the system calls of one
 * exchange (discard what already waits, send the command, then per received frame a wait and
 * a non-blocking read) and nothing else.
 * Usage: c_client IFACE COUNT */
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s IFACE COUNT\n", argv[0]);
        return 2;
    }
    const long count = strtol(argv[2], NULL, 10);
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    struct sockaddr_can address = {.can_family = AF_CAN,
                                   .can_ifindex = (int)if_nametoindex(argv[1])};
    const int on = 1;
    if (fd < 0 || bind(fd, (struct sockaddr*)&address, sizeof address) != 0 ||
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0) {
        perror("socket");
        return 1;
    }
    const struct can_frame command = {
        .can_id = 0x001, .len = 8, .data = {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}};
    const struct timespec timeout = {.tv_sec = 1, .tv_nsec = 0};
    long replies = 0;
    for (long i = 0; i < count; ++i) {
        /* A frame already waiting is stale (a reply to a command that gave up on it): drop it
         * without blocking; with nothing queued this is one read that fails with EAGAIN. */
        struct canfd_frame stale;
        while (recv(fd, &stale, sizeof stale, MSG_DONTWAIT) >= 0) {
        }
        if (send(fd, &command, sizeof command, 0) != sizeof command) return 1;
        for (;;) {
            struct canfd_frame reply;
            struct pollfd readable = {.fd = fd, .events = POLLIN, .revents = 0};
            if (ppoll(&readable, 1, &timeout, NULL) <= 0) break;
            const ssize_t n = recv(fd, &reply, sizeof reply, MSG_DONTWAIT);
            if (n < 0) break;
            if (reply.can_id == 0x011) {
                ++replies;
                break;
            }
        }
    }
    printf("%ld replies\n", replies);
    close(fd);
    return replies == count ? 0 : 1;
}
