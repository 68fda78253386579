// Stands in for dfu-util on the PATH of bench/upgrade/startup_cpu.sh to measure the CPU the tool spends
// before its first listing. "-V" runs the real dfu-util as a child and adds that child's CPU to
// $PROBE_DIR/version_cpu; the first "-l" writes to $PROBE_DIR/first_listing the tool's own CPU so far (every
// thread, in milliseconds, from the scheduler's counters) and the -V runs' CPU, then becomes the real
// dfu-util ($PROBE_REAL), as does every other run.
#define _GNU_SOURCE
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static double threads_cpu_ms(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", (int)pid);
    DIR* tasks = opendir(path);
    double ns = 0;
    for (struct dirent* task; tasks && (task = readdir(tasks));) {
        char stat_path[400];
        unsigned long long run_ns = 0;
        snprintf(stat_path, sizeof stat_path, "%s/%s/schedstat", path, task->d_name);
        FILE* stat = task->d_name[0] == '.' ? NULL : fopen(stat_path, "r");
        if (stat && fscanf(stat, "%llu", &run_ns) == 1)
            ns += (double)run_ns;
        if (stat)
            fclose(stat);
    }
    if (tasks)
        closedir(tasks);
    return ns / 1e6;
}

static double rusage_ms(struct rusage const* usage) {
    return usage->ru_utime.tv_sec * 1e3 + usage->ru_utime.tv_usec / 1e3 + usage->ru_stime.tv_sec * 1e3 +
           usage->ru_stime.tv_usec / 1e3;
}

static int has_argument(int argc, char** argv, char const* wanted) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], wanted) == 0)
            return 1;
    return 0;
}

int main(int argc, char** argv) {
    char const* real = getenv("PROBE_REAL");
    char const* dir = getenv("PROBE_DIR");
    if (!real || !dir)
        return 127;
    char version_file[4096], listing_file[4096];
    snprintf(version_file, sizeof version_file, "%s/version_cpu", dir);
    snprintf(listing_file, sizeof listing_file, "%s/first_listing", dir);
    if (has_argument(argc, argv, "-V")) {
        pid_t const child = fork();
        if (child == 0) {
            execv(real, argv);
            _exit(127);
        }
        int status = 0;
        struct rusage usage;
        if (child < 0 || wait4(child, &status, 0, &usage) != child)
            return 127;
        FILE* out = fopen(version_file, "a");
        if (out) {
            fprintf(out, "%.3f\n", rusage_ms(&usage));
            fclose(out);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
    }
    if (has_argument(argc, argv, "-l") && access(listing_file, F_OK) != 0) {
        double const own = threads_cpu_ms(getppid());
        double version = 0, run;
        FILE* in = fopen(version_file, "r");
        while (in && fscanf(in, "%lf", &run) == 1)
            version += run;
        if (in)
            fclose(in);
        FILE* out = fopen(listing_file, "w");
        if (out) {
            fprintf(out, "%.3f %.3f\n", own, version);
            fclose(out);
        }
    }
    execv(real, argv);
    return 127;
}
