/* One inventory: every tag the reader at HOST (default 127.0.0.2) finds. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <time.h>

#include <qdapi.h>

int main(int argc, char **argv)
{
    const char *host = argc > 1 ? argv[1] : "127.0.0.2";
    /* use_tcp = 1;         connect over TCP instead of UDP
       trace_enabled = 1;   the library's debug trace on standard error */
    reader_handle h = open_reader(host);
    if (!h) {
        /* This thread's own failure, naming the operation and the host
           (reader_errno is shared by every thread of the process). */
        fprintf(stderr, "%s\n", qdapi_last_error()->message);
        return 1;
    }
    search_params params = {0};            /* all zero: every tag */
    int id = search_start(h, &params);
    int status;
    do {
        const struct timespec pause = {0, 10000000};   /* 10 ms */
        nanosleep(&pause, NULL);
        status = operation_status(h, id);
    } while (status == READER_OPERATION_WAITING_TO_RUN ||
             status == READER_OPERATION_IN_PROGRESS);
    if (id == -1 || status == READER_OPERATION_BUILD_IN_PROGRESS) {
        fprintf(stderr, "%s\n", qdapi_last_error()->message);
        close_reader(h);
        return 1;
    }
    /* The tags, a window of calls in flight at a time, until a chunk
       comes back short: the reader has no more. */
    popped_tag_record tags[64];
    int n, unanswered = 0;
    do {
        n = tagdb_pop_many(h, tags, 64, &unanswered);
        for (int i = 0; i < n; ++i)
            printf("tag of %u bits, first word %04X\n", (unsigned)tags[i].id_bits, (unsigned)tags[i].id[0]);
    } while (n == 64);
    if (n < 0 || unanswered > 0) {
        fprintf(stderr, "%s (%d calls unanswered)\n", qdapi_last_error()->message, unanswered);
        close_reader(h);
        return 1;
    }
    close_reader(h);
    return 0;
}
