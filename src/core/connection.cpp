#include "connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "call_deadline.h"
#include "host.h"
#include "trace.h"

namespace qd {

std::mutex client_teardown_lock;

std::string rpc_failure_text(CLIENT* client, const char* prefix)
{
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> lock(one_at_a_time);
    return clnt_sperror(client, prefix);
}

ConnectionRef Connection::open(const std::string& host, bool tcp, bool* out_of_memory)
{
    trace("Making RPC connection to %s\n", host.c_str());

    in_addr address{};
    if (!resolve_ipv4(host, address)) {
        std::perror("rpc_client_open(): gethostbyname failed");
        return nullptr;
    }

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr = address;

    // The host's port mapper supplies the program's port.  The look-up and
    // the calls go through clients of our own (deadline_client.h), which
    // hold each call to its time-out whatever the reader sends.
    // A caller with less than a whole time-out left (call_deadline.h) gets
    // no more for connecting.
    const uint16_t port = deadline_getport(server, READER_RPC_PROG, READER_RPC_VERS,
                                           tcp ? IPPROTO_TCP : IPPROTO_UDP,
                                           capped_timeout(std::chrono::milliseconds(call_timeout)));
    if (port == 0)
        return nullptr;
    server.sin_port = htons(port);

    CLIENT* client = deadline_client_create(server, READER_RPC_PROG, READER_RPC_VERS, tcp, udp_retry_wait,
                                            capped_timeout(std::chrono::milliseconds(call_timeout)));
    if (!client) {
        if (out_of_memory && errno == ENOMEM)
            *out_of_memory = true;
        return nullptr;
    }
    try {
        return std::make_shared<Connection>(client, tcp);
    } catch (const std::bad_alloc&) {
        clnt_destroy(client);
        if (out_of_memory)
            *out_of_memory = true;
        return nullptr;
    }
}

bool Connection::leaves_out_of_step(clnt_stat status)
{
    switch (status) {
    case RPC_SUCCESS:
    // The reader's own answers: a whole reply came and was read.
    case RPC_PROGUNAVAIL:
    case RPC_PROGVERSMISMATCH:
    case RPC_PROCUNAVAIL:
    case RPC_CANTDECODEARGS:
    case RPC_SYSTEMERROR:
    case RPC_AUTHERROR:
    case RPC_VERSMISMATCH:
    // A reply that came whole and did not decode: the next call skips the
    // rest of its record, so the stream stays in step.
    case RPC_CANTDECODERES:
    // Nothing went out.
    case RPC_CANTENCODEARGS:
    case RPC_FAILED:
        return false;
    default:
        return true;
    }
}

Connection::~Connection()
{
    std::lock_guard<std::mutex> teardown(client_teardown_lock);
    clnt_destroy(client_);
}

void Connection::describe_failure(const char* name, Outcome& outcome)
{
    if (outcome.prefix) {
        outcome.why = rpc_failure_text(client_, outcome.prefix);
        return;
    }
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "RPC call to %s failed", name);
    outcome.why = rpc_failure_text(client_, prefix);
}

}  // namespace qd
