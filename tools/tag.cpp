// qdctl HOST tag ...: tag memory operations.
#include "cli.h"

namespace qdctl {

const char tag_synopsis[] = "tag read|write|lock|kill|passwd ...";
const char tag_help[] = "      Tag memory operations (not available yet).\n";

int run_tag(const Invocation&)
{
    throw UsageError("tag: not available yet");
}

}  // namespace qdctl
