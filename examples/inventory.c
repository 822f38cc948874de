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
        reader_perror("open_reader");
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
        reader_perror("search");
        close_reader(h);
        return 1;
    }
    tags_available(h, 0);
    popped_tag_record rec = {0};
    while (tagdb_pop(h, &rec) == 0 && rec.status == 1)
        printf("tag of %u bits, first word %04X\n", (unsigned)rec.id_bits, (unsigned)rec.id[0]);
    close_reader(h);
    return 0;
}
