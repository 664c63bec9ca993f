/* The pcscd benchmark's client: SCardTransmit in a loop on one reader, timed, with pcscd's CPU time read from /proc.
 *   pcsc_client rate READER PCSCD_PID SECONDS APDU
 *       prints "apdus N wall_s W pcscd_cpu_s C"
 *   pcsc_client latency READER COUNT APDU...
 *       prints, per APDU, "latency APDU_LENGTH ANSWER_LENGTH min_us median_us p90_us"
 * READER is the start of the reader's name; APDU is hex without spaces. Exits 1 on any failed call. */
#include <PCSC/winscard.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* CPU time of every thread of a process, in seconds (each thread's run time in nanoseconds, from schedstat). */
static double process_cpu_s(const char *pid) {
    char path[300];
    snprintf(path, sizeof path, "/proc/%s/task", pid);
    DIR *tasks = opendir(path);
    if (!tasks) return -1;
    double total = 0;
    for (struct dirent *task; (task = readdir(tasks)) != NULL;) {
        if (task->d_name[0] == '.') continue;
        snprintf(path, sizeof path, "/proc/%s/task/%s/schedstat", pid, task->d_name);
        FILE *f = fopen(path, "r");
        unsigned long long ns = 0;
        if (f && fscanf(f, "%llu", &ns) == 1) total += (double)ns * 1e-9;
        if (f) fclose(f);
    }
    closedir(tasks);
    return total;
}

/* Every thread of a process: id, CPU seconds and context switches (voluntary and not). */
#define MAX_THREADS 64
struct thread_stat {
    long id;
    double cpu_s;
    long switches;
};

static int thread_stats(const char *pid, struct thread_stat *out) {
    char path[300], line[256];
    int n = 0;
    snprintf(path, sizeof path, "/proc/%s/task", pid);
    DIR *tasks = opendir(path);
    if (!tasks) return 0;
    for (struct dirent *task; (task = readdir(tasks)) != NULL && n < MAX_THREADS;) {
        if (task->d_name[0] == '.') continue;
        struct thread_stat *t = &out[n];
        unsigned long long ns = 0;
        t->id = atol(task->d_name);
        t->switches = 0;
        snprintf(path, sizeof path, "/proc/%s/task/%s/schedstat", pid, task->d_name);
        FILE *f = fopen(path, "r");
        if (!f) continue;
        if (fscanf(f, "%llu", &ns) != 1) ns = 0;
        fclose(f);
        t->cpu_s = (double)ns * 1e-9;
        snprintf(path, sizeof path, "/proc/%s/task/%s/status", pid, task->d_name);
        f = fopen(path, "r");
        if (!f) continue;
        while (fgets(line, sizeof line, f)) {
            const char *at = strstr(line, "ctxt_switches:");
            if (at) t->switches += atol(at + strlen("ctxt_switches:"));
        }
        fclose(f);
        ++n;
    }
    closedir(tasks);
    return n;
}

static size_t parse_hex(const char *hex, unsigned char *out, size_t room) {
    size_t n = 0;
    for (; hex[0] && hex[1] && n < room; hex += 2) sscanf(hex, "%2hhx", &out[n++]);
    return n;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: pcsc_client rate READER PCSCD_PID SECONDS APDU | latency READER COUNT APDU...\n");
        return 2;
    }
    SCARDCONTEXT context;
    SCARDHANDLE card;
    DWORD protocol, size = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context);
    if (rv == SCARD_S_SUCCESS) rv = SCardListReaders(context, NULL, NULL, &size);
    char *names = rv == SCARD_S_SUCCESS ? malloc(size) : NULL;
    if (names) rv = SCardListReaders(context, NULL, names, &size);
    const char *name = NULL;
    for (char *p = names; names && rv == SCARD_S_SUCCESS && *p; p += strlen(p) + 1) {
        if (strncmp(p, argv[2], strlen(argv[2])) == 0) name = p;
    }
    if (!name) {
        fprintf(stderr, "pcsc_client: no reader '%s' (%s)\n", argv[2], pcsc_stringify_error(rv));
        return 1;
    }
    rv = SCardConnect(context, name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        fprintf(stderr, "pcsc_client: SCardConnect: %s\n", pcsc_stringify_error(rv));
        return 1;
    }
    const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    unsigned char apdu[300], answer[300];
    DWORD answer_length;
    if (strcmp(argv[1], "rate") == 0 && argc == 6) {
        size_t length = parse_hex(argv[5], apdu, sizeof apdu);
        struct thread_stat before[MAX_THREADS], after[MAX_THREADS];
        int threads_before = thread_stats(argv[3], before);
        double seconds = atof(argv[4]), cpu_start = process_cpu_s(argv[3]), start = now_s(), end = start;
        long count = 0;
        while (end - start < seconds) {
            answer_length = sizeof answer;
            rv = SCardTransmit(card, pci, apdu, (DWORD)length, NULL, answer, &answer_length);
            if (rv != SCARD_S_SUCCESS) {
                fprintf(stderr, "pcsc_client: SCardTransmit: %s\n", pcsc_stringify_error(rv));
                return 1;
            }
            ++count;
            end = now_s();
        }
        double cpu_end = process_cpu_s(argv[3]);
        int threads_after = thread_stats(argv[3], after);
        printf("apdus %ld wall_s %.6f pcscd_cpu_s %.6f\n", count, end - start, cpu_end - cpu_start);
        /* The threads that ran meanwhile (pcscd's thread for this client is new: it counts from zero). */
        for (int i = 0; i < threads_after; ++i) {
            double cpu = after[i].cpu_s;
            long switches = after[i].switches;
            for (int j = 0; j < threads_before; ++j) {
                if (before[j].id == after[i].id) {
                    cpu -= before[j].cpu_s;
                    switches -= before[j].switches;
                }
            }
            if (cpu > 0 || switches > 0) printf("thread %ld cpu_s %.6f switches %ld\n", after[i].id, cpu, switches);
        }
    } else if (strcmp(argv[1], "latency") == 0 && argc >= 5) {
        int count = atoi(argv[3]);
        double *samples = malloc(sizeof(double) * (size_t)count);
        for (int a = 4; a < argc; ++a) {
            size_t length = parse_hex(argv[a], apdu, sizeof apdu);
            for (int i = -2; i < count; ++i) {  /* two rounds first that are not counted */
                answer_length = sizeof answer;
                double start = now_s();
                rv = SCardTransmit(card, pci, apdu, (DWORD)length, NULL, answer, &answer_length);
                double took = now_s() - start;
                if (rv != SCARD_S_SUCCESS) {
                    fprintf(stderr, "pcsc_client: SCardTransmit: %s\n", pcsc_stringify_error(rv));
                    return 1;
                }
                if (i >= 0) samples[i] = took * 1e6;
            }
            qsort(samples, (size_t)count, sizeof(double), compare);
            printf("latency %zu %lu %.1f %.1f %.1f\n", length, (unsigned long)answer_length, samples[0],
                   samples[count / 2], samples[count * 9 / 10]);
        }
        free(samples);
    } else {
        fprintf(stderr, "pcsc_client: bad arguments\n");
        return 2;
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    free(names);
    return 0;
}
