#include "port_mapper.h"

#include <rpc/pmap_prot.h>

#include <vector>

#include "xdr_filter.h"

namespace qdsim::detail {

namespace {

u_long lookup(const ProgramPorts& ports, const pmap& query)
{
    const bool udp = query.pm_prot == IPPROTO_UDP, tcp = query.pm_prot == IPPROTO_TCP;
    if (!udp && !tcp)
        return 0;
    if (query.pm_prog == READER_RPC_PROG && query.pm_vers == READER_RPC_VERS)
        return udp ? ports.udp : ports.tcp;
    if (query.pm_prog == PMAPPROG && query.pm_vers == PMAPVERS)
        return PMAPPORT;
    return 0;
}

void dump(const ProgramPorts& ports, SVCXPRT* xprt)
{
    std::vector<pmaplist> entries = {
        {{PMAPPROG, PMAPVERS, IPPROTO_TCP, PMAPPORT}, nullptr},
        {{PMAPPROG, PMAPVERS, IPPROTO_UDP, PMAPPORT}, nullptr},
        {{READER_RPC_PROG, READER_RPC_VERS, IPPROTO_UDP, ports.udp}, nullptr},
        {{READER_RPC_PROG, READER_RPC_VERS, IPPROTO_TCP, ports.tcp}, nullptr},
    };
    for (std::size_t i = 0; i + 1 < entries.size(); ++i)
        entries[i].pml_next = &entries[i + 1];
    pmaplist* head = entries.data();
    svc_sendreply(xprt, xdr_filter(xdr_pmaplist), reinterpret_cast<caddr_t>(&head));
}

}  // namespace

std::function<void()> port_mapper_reply(const ProgramPorts& ports, svc_req* rq, SVCXPRT* xprt)
{
    switch (rq->rq_proc) {
    case PMAPPROC_NULL:
        return [xprt] { svc_sendreply(xprt, xdr_filter(xdr_void), nullptr); };
    case PMAPPROC_GETPORT: {
        pmap query{};
        if (!svc_getargs(xprt, xdr_filter(xdr_pmap), reinterpret_cast<caddr_t>(&query)))
            return [xprt] { svcerr_decode(xprt); };
        u_long port = lookup(ports, query);
        svc_freeargs(xprt, xdr_filter(xdr_pmap), reinterpret_cast<caddr_t>(&query));
        return [xprt, port]() mutable {
            svc_sendreply(xprt, xdr_filter(xdr_u_long), reinterpret_cast<caddr_t>(&port));
        };
    }
    case PMAPPROC_DUMP:
        return [ports, xprt] { dump(ports, xprt); };
    default:
        // SET, UNSET and CALLIT: this port mapper knows one reader only.
        return [xprt] { svcerr_noproc(xprt); };
    }
}

}  // namespace qdsim::detail
