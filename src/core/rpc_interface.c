/* Three variables of the RPC interface that the library publishes for
 * programs written against that interface.  They are zero at load and the
 * library itself never reads or writes them.  They have the RPC library's own
 * types, so a process that also links the RPC library's server side sees one
 * consistent object whichever definition the dynamic linker binds.
 *
 * qdapi.h lists them (QDAPI_RPC_INTERFACE_VARIABLES) instead of declaring
 * them; each is declared here through the export marker, which gives the
 * definition after it default visibility. */
#include <rpc/rpc.h>

/* The RPC library's accessor macro would otherwise replace the name. */
#undef rpc_createerr

#include "qdapi.h"

#define QD_DEFINE_RPC_VARIABLE(type, name) \
    QDAPI_EXTERN(type) name;               \
    type name;

QDAPI_RPC_INTERFACE_VARIABLES(QD_DEFINE_RPC_VARIABLE)
