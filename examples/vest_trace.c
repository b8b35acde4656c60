/* POSIX under strict C99: poll, nanosleep, fstat. */
#define _POSIX_C_SOURCE 200809L

#include "vest_trace.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* The columns of the heat map: the vest's four rows of actuators from the
 * top down, each from the front round one side to the back and round the
 * other side to the front again. */
enum { GROUPS = 4 };
static const int kGroupSizes[GROUPS] = {4, 6, 6, 4};
static const char* const kGroupNames[GROUPS] = {"top", "upper ring", "lower ring", "bottom"};
static const int kColumns[VEST_ACTUATORS] = {17, 9, 5, 16, 14, 11, 13, 6, 4, 2,
                                             10, 18, 8, 7, 19, 1, 15, 12, 3, 0};
static const char kSides[VEST_ACTUATORS] = {'F', 'B', 'B', 'F', 'F', 'S', 'B', 'B', 'S', 'F',
                                            'F', 'S', 'B', 'B', 'S', 'F', 'F', 'B', 'B', 'F'};
/* Shades from silent to full scale, in ninths. */
static const char kShades[] = " .:-=+*#%@";

static char shadeOf(float peak) {
    if (!(peak > 0.0005f)) return kShades[0];
    int level = (int)ceilf(peak * 9.0f);
    if (level < 1) level = 1;
    if (level > 9) level = 9;
    return kShades[level];
}

bool vestTraceOpen(VestTrace* trace, const char* path, FILE* out) {
    memset(trace, 0, sizeof *trace);
    trace->out = out;
    trace->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (trace->fd < 0) return false;
    struct stat info;
    trace->fifo = fstat(trace->fd, &info) == 0 && S_ISFIFO(info.st_mode);
    return true;
}

void vestTraceClose(VestTrace* trace) {
    if (trace->fd >= 0) close(trace->fd);
    trace->fd = -1;
}

static void printRule(FILE* out) {
    fprintf(out, "%8s", "");
    for (int g = 0; g < GROUPS; ++g) {
        fputs(g == 0 ? " " : "-+", out);
        for (int i = 0; i < kGroupSizes[g] * 3; ++i) fputc('-', out);
    }
    fputc('\n', out);
}

static void printHeader(FILE* out) {
    fprintf(out, "%8s", "");
    for (int g = 0; g < GROUPS; ++g) {
        const int width = kGroupSizes[g] * 3;
        const int name = (int)strlen(kGroupNames[g]);
        const int left = (width - name) / 2;
        fprintf(out, "%s%*s%s%*s", g == 0 ? " " : " |", left, "", kGroupNames[g], width - name - left, "");
    }
    fputc('\n', out);
    for (int line = 0; line < 2; ++line) {
        fprintf(out, "%-8s", line == 0 ? "  time" : "");
        int column = 0;
        for (int g = 0; g < GROUPS; ++g) {
            fputs(g == 0 ? " " : " |", out);
            for (int i = 0; i < kGroupSizes[g]; ++i, ++column) {
                if (line == 0)
                    fprintf(out, "  %c", kSides[column]);
                else
                    fprintf(out, " %2d", kColumns[column]);
            }
        }
        fputc('\n', out);
    }
    printRule(out);
}

static void printRow(VestTrace* trace) {
    FILE* out = trace->out;
    fprintf(out, "%6.2f s", trace->row * (VEST_ROW_MICROS / 1e6));
    if (trace->rowFrames == 0) {
        fputs("   (no frame received)\n", out);
    } else {
        int column = 0;
        for (int g = 0; g < GROUPS; ++g) {
            fputs(g == 0 ? " " : " |", out);
            for (int i = 0; i < kGroupSizes[g]; ++i, ++column) {
                const char shade = shadeOf(trace->rowPeaks[kColumns[column]]);
                fprintf(out, " %c%c", shade, shade);
            }
        }
        fputc('\n', out);
    }
    fflush(out);
    ++trace->rowsPrinted;
    trace->rowFrames = 0;
    for (int a = 0; a < VEST_ACTUATORS; ++a) trace->rowPeaks[a] = 0.0f;
}

void vestTraceStartRecording(VestTrace* trace) {
    trace->recording = true;
    trace->haveOrigin = false;
    trace->row = 0;
    trace->rowFrames = 0;
    for (int a = 0; a < VEST_ACTUATORS; ++a) trace->rowPeaks[a] = trace->overallPeaks[a] = 0.0f;
    fprintf(trace->out,
            "\nWhat the vest received, one row per 50 ms. Each cell is one actuator (F front, S side,\n"
            "B back; the numbers are the actuator indices): its peak |sample| in the row, in ninths\n"
            "of full scale: '%s'.\n\n",
            kShades);
    printHeader(trace->out);
}

void vestTraceStopRecording(VestTrace* trace) {
    if (!trace->recording) return;
    if (trace->haveOrigin) printRow(trace);
    printRule(trace->out);
    trace->recording = false;
}

static void record(VestTrace* trace, uint32_t timestamp, const float* peaks) {
    if (!trace->haveOrigin) {
        trace->haveOrigin = true;
        trace->origin = timestamp;
    }
    /* Vest time wraps at 2^32 us; a frame from before the origin (a request
     * answered out of order) counts in the first row. */
    const uint32_t elapsed = timestamp - trace->origin;
    const uint32_t row = elapsed >= 0x80000000u ? 0 : elapsed / VEST_ROW_MICROS;
    while (row > trace->row) {
        printRow(trace);
        ++trace->row;
    }
    bool active = false;
    for (int a = 0; a < VEST_ACTUATORS; ++a) {
        if (peaks[a] > trace->rowPeaks[a]) trace->rowPeaks[a] = peaks[a];
        if (peaks[a] > trace->overallPeaks[a]) trace->overallPeaks[a] = peaks[a];
        if (peaks[a] > 0.0f) active = true;
    }
    ++trace->rowFrames;
    ++trace->recordedFrames;
    if (active) ++trace->activeFrames;
}

static void handleData(VestTrace* trace, const char* text) {
    char* end = NULL;
    const unsigned long serial = strtoul(text, &end, 10);
    const unsigned long timestamp = strtoul(end, &end, 10);
    const float rate = strtof(end, &end);
    const unsigned long steps = strtoul(end, &end, 10);
    float peaks[VEST_ACTUATORS];
    for (int a = 0; a < VEST_ACTUATORS; ++a) {
        char* next = NULL;
        peaks[a] = strtof(end, &next);
        if (next == end) return; /* a short line: not ours */
        end = next;
    }
    if (trace->serialFilter != 0 && serial != trace->serialFilter) return;
    ++trace->frames;
    trace->lastRateHz = rate;
    trace->lastSteps = (unsigned)steps;
    if (trace->recording) record(trace, (uint32_t)timestamp, peaks);
}

static bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static void handleLine(VestTrace* trace, const char* text) {
    if (startsWith(text, "data ")) {
        handleData(trace, text + 5);
    } else if (strcmp(text, "ready") == 0) {
        trace->ready = true;
    } else if (startsWith(text, "vest ")) {
        fprintf(trace->out, "Vest emulator: %s\n", text);
    } else if (startsWith(text, "stream-start ")) {
        ++trace->starts;
    } else if (startsWith(text, "stream-stop ")) {
        ++trace->stops;
    } else if (startsWith(text, "lost ")) {
        trace->lostLines += strtoull(text + 5, NULL, 10);
    }
}

static void consume(VestTrace* trace, const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c == '\n') {
            if (!trace->overlong) {
                trace->line[trace->used] = '\0';
                handleLine(trace, trace->line);
            }
            trace->used = 0;
            trace->overlong = false;
        } else if (trace->used + 1 < sizeof trace->line) {
            trace->line[trace->used++] = c;
        } else {
            trace->overlong = true;
        }
    }
}

static void sleepMs(int ms) {
    const struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

bool vestTracePump(VestTrace* trace, int timeoutMs) {
    if (trace->fd < 0 || trace->closed) return false;
    struct pollfd entry = {trace->fd, POLLIN, 0};
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    char bytes[4096];
    for (;;) {
        const ssize_t n = read(trace->fd, bytes, sizeof bytes);
        if (n > 0) {
            consume(trace, bytes, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n == 0 && !trace->fifo) {
            /* A file: the writer may add more; wait a little, not in a spin. */
            sleepMs(timeoutMs < 20 ? timeoutMs : 20);
            return true;
        }
        trace->closed = true;
        return false;
    }
}

void vestTracePrintSummary(const VestTrace* trace) {
    FILE* out = trace->out;
    fprintf(out, "Peak |sample| per actuator over the whole effect:\n");
    for (int a = 0; a < VEST_ACTUATORS; ++a)
        fprintf(out, "  %2d %4.2f%s", a, trace->overallPeaks[a], a % 5 == 4 ? "\n" : "");
}
