/* Three variables of the RPC interface that the library publishes for
 * programs written against that interface.  They are zero at load and the
 * library itself never reads or writes them.  They have the RPC library's own
 * types, so a process that also links the RPC library's server side sees one
 * consistent object whichever definition the dynamic linker binds. */
#include <rpc/rpc.h>

#include "export.h"

#undef rpc_createerr

QD_EXPORT struct opaque_auth _null_auth;
QD_EXPORT struct rpc_createerr rpc_createerr;
QD_EXPORT fd_set svc_fdset;
