// Starts a program and prints the seconds from its start to the first map of a top-level window on the X
// display, then ends it with SIGTERM and waits for it. The clock starts just before the fork; the display
// connection and the event selection are made before, so they are not counted.
//
//   map_wait [-t SECONDS] PROGRAM [ARGUMENTS ...]
//
// Exit status: 0 a window was mapped; 1 none within the bound (default 20 s) or the program ended first;
// 2 unusable arguments or no display.
#define _GNU_SOURCE
#include <X11/Xlib.h>

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds_since(struct timespec const* start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

// True when a top-level window was mapped; false when the bound passed or the program ended first.
static int wait_for_map(Display* display, pid_t child, struct timespec const* start, double bound) {
    struct pollfd connection = {.fd = ConnectionNumber(display), .events = POLLIN};
    while (seconds_since(start) < bound) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect)
                return 1;
        }
        if (waitpid(child, NULL, WNOHANG) == child)
            return 0;
        poll(&connection, 1, 50);
    }
    return 0;
}

static void end_child(pid_t child) {
    kill(child, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(child, NULL, WNOHANG) == child)
            return;
        usleep(50000);
    }
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
}

int main(int argc, char** argv) {
    double bound = 20;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-t") == 0) {
        bound = atof(argv[2]);
        first = 3;
    }
    if (first >= argc || bound <= 0) {
        fprintf(stderr, "usage: %s [-t SECONDS] PROGRAM [ARGUMENTS ...]\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "%s: cannot open the display\n", argv[0]);
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t const child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        close(ConnectionNumber(display));
        execvp(argv[first], argv + first);
        _exit(127);
    }
    int const mapped = wait_for_map(display, child, &start, bound);
    double const elapsed = seconds_since(&start);
    end_child(child);
    if (!mapped) {
        fprintf(stderr, "%s: no window mapped within %.1f s\n", argv[0], elapsed);
        return 1;
    }
    printf("%.4f\n", elapsed);
    return 0;
}
