// Resource figures: what a long-running application holds after many calls.
//  - resident memory after 10^6 calls that return a text (the firmware
//    version: the reader's record keeps the latest) equals the figure after
//    10^3;
//  - open descriptors stay flat over 10^4 opens and closes, on UDP and TCP.
// A plain program (the figures are the result, not a timing); run in a
// private network namespace, as scripts/bench does.  Exits non-zero when a
// figure grows.
//   qdapi_resource_bench [CALLS]   (default 1000000)
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "qdapi.h"
#include "virtual_reader.h"

namespace {

constexpr const char* host = "127.0.14.240";

long resident_kib()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Resident memory may move by a few pages (the allocator's arenas, stdio):
// more than this is growth.
constexpr long noise_kib = 256;

bool texts(long calls)
{
    reader_handle h = open_reader(host);
    if (!h)
        return false;
    for (long i = 0; i < 1000; ++i)
        (void)get_firmware_version(h);
    const long after_thousand = resident_kib();
    const auto started = std::chrono::steady_clock::now();
    for (long i = 1000; i < calls; ++i)
        if (!get_firmware_version(h))
            std::printf("call %ld failed: reader_errno %d\n", i, reader_errno);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long after_all = resident_kib();
    close_reader(h);
    std::printf("texts: resident %ld KiB after 10^3 calls, %ld KiB after %ld (%.1f s, %.0f calls/s)\n",
                after_thousand, after_all, calls, seconds, double(calls - 1000) / seconds);
    return after_all - after_thousand <= noise_kib;
}

bool descriptors(bool tcp)
{
    use_tcp = tcp ? 1 : 0;
    const int before = open_descriptors();
    int failed = 0;
    for (int i = 0; i < 10000; ++i) {
        reader_handle h = open_reader(host);
        if (!h) {
            ++failed;
            continue;
        }
        close_reader(h);
    }
    const int after = open_descriptors();
    std::printf("descriptors (%s): %d before 10^4 opens and closes, %d after (%d opens failed)\n",
                tcp ? "tcp" : "udp", before, after, failed);
    use_tcp = 0;
    return after == before && failed == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const long calls = argc > 1 ? std::atol(argv[1]) : 1000000;
    qdsim::Options options;
    options.address = host;
    options.log_limit = 16;   // the reader shares the process: its log must not grow either
    qdsim::VirtualReader reader(options);
    reader.start();
    bool ok = texts(calls);
    ok = descriptors(false) && ok;
    ok = descriptors(true) && ok;
    std::printf("%s\n", ok ? "resource figures: flat" : "resource figures: GREW");
    return ok ? 0 : 1;
}
