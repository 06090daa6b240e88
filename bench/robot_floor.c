#define _GNU_SOURCE /* ppoll */
/* The floor for a robot tick: one thread drives every bus, pipelined. Each tick sends the
 * M command frames of every bus back to back (classic 8-byte frames to standard ids 1..M, a
 * zero-gain MIT payload), then waits for all B * M replies (from 0x10 + id) with one ppoll
 * over every bus's socket and non-blocking reads, until each motor of each bus has answered
 * or the tick's deadline passed. No discard before a tick, no decoding, no clock read but the
 * deadline's: the system calls of a pipelined tick and nothing else.
 *
 * Usage: robot_floor MOTORS SECONDS TIMEOUT_MS IFACE...
 * Prints one line: ticks, seconds, ticks/s, CPU (user + system of the whole process, from
 * getrusage) in us per tick, and the replies missed. Exits 1 when any reply was missed or a
 * system call failed, 2 on a usage error. Runs unchanged on real vcan or under ../shared/canshim
 * (CANSHIM_IFACES naming the interfaces). */
#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_BUSES 16
#define MAX_MOTORS 8

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static long long cpu_ns(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s MOTORS SECONDS TIMEOUT_MS IFACE...\n", argv[0]);
        return 2;
    }
    const int motors = atoi(argv[1]);
    const double seconds = atof(argv[2]);
    const long long timeout_ns = atoll(argv[3]) * 1000000LL;
    const int buses = argc - 4;
    if (motors < 1 || motors > MAX_MOTORS || buses > MAX_BUSES || seconds <= 0 || timeout_ns <= 0) {
        fprintf(stderr, "robot_floor: 1 to %d motors, at most %d buses, positive times\n",
                MAX_MOTORS, MAX_BUSES);
        return 2;
    }
    struct pollfd fds[MAX_BUSES];
    for (int b = 0; b < buses; ++b) {
        const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
        struct sockaddr_can address = {.can_family = AF_CAN,
                                       .can_ifindex = (int)if_nametoindex(argv[4 + b])};
        if (fd < 0 || address.can_ifindex == 0 ||
            bind(fd, (struct sockaddr*)&address, sizeof address) != 0) {
            fprintf(stderr, "robot_floor: cannot open %s: %s\n", argv[4 + b], strerror(errno));
            return 1;
        }
        fds[b] = (struct pollfd){.fd = fd, .events = POLLIN, .revents = 0};
    }
    struct can_frame commands[MAX_MOTORS];
    for (int m = 0; m < motors; ++m) {
        commands[m] = (struct can_frame){.can_id = (canid_t)(m + 1),
                                         .len = 8,
                                         .data = {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}};
    }
    const unsigned all = (1U << motors) - 1U; /* bit m: motor m + 1 answered */

    long ticks = 0, missed = 0;
    const long long start = now_ns(), start_cpu = cpu_ns();
    const long long end = start + (long long)(seconds * 1e9);
    long long now = start;
    while (now < end) {
        unsigned answered[MAX_BUSES] = {0};
        int pending = buses * motors;
        for (int b = 0; b < buses; ++b) {
            for (int m = 0; m < motors; ++m) {
                if (send(fds[b].fd, &commands[m], sizeof commands[m], 0) !=
                    (ssize_t)sizeof commands[m]) {
                    fprintf(stderr, "robot_floor: send on %s: %s\n", argv[4 + b], strerror(errno));
                    return 1;
                }
            }
        }
        const long long deadline = now_ns() + timeout_ns;
        while (pending > 0) {
            const long long left = deadline - now_ns();
            if (left <= 0) break;
            const struct timespec wait = {.tv_sec = left / 1000000000LL,
                                          .tv_nsec = left % 1000000000LL};
            const int ready = ppoll(fds, (nfds_t)buses, &wait, NULL);
            if (ready < 0 && errno != EINTR) {
                perror("robot_floor: ppoll");
                return 1;
            }
            for (int b = 0; b < buses && ready > 0; ++b) {
                if (fds[b].revents == 0) continue;
                /* Read what waits, but stop once this bus is complete: no read that is bound
                 * to find the queue empty. */
                while (answered[b] != all) {
                    struct canfd_frame reply;
                    const ssize_t n = recv(fds[b].fd, &reply, sizeof reply, MSG_DONTWAIT);
                    if (n < 0) {
                        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                        fprintf(stderr, "robot_floor: recv on %s: %s\n", argv[4 + b],
                                strerror(errno));
                        return 1;
                    }
                    const unsigned id = reply.can_id & CAN_SFF_MASK;
                    if (n < (ssize_t)CAN_MTU ||
                        (reply.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0 ||
                        id <= 0x10 || id > 0x10U + (unsigned)motors) {
                        continue;
                    }
                    const unsigned bit = 1U << (id - 0x11);
                    if ((answered[b] & bit) == 0) {
                        answered[b] |= bit;
                        --pending;
                    }
                }
            }
        }
        missed += pending;
        ++ticks;
        now = now_ns();
    }
    const double elapsed = (double)(now - start) / 1e9;
    const double cpu_us = (double)(cpu_ns() - start_cpu) / 1e3;
    printf("ticks=%ld seconds=%.3f ticks_per_s=%.1f cpu_us_per_tick=%.2f missed=%ld\n", ticks,
           elapsed, (double)ticks / elapsed, cpu_us / (double)ticks, missed);
    for (int b = 0; b < buses; ++b) close(fds[b].fd);
    return missed == 0 && ticks > 0 ? 0 : 1;
}
