// Storing needs the client library, which this build does not have yet.
#include "vxsh.h"

namespace vxsh {

int cmdStore(Context&, const Args&)
{
    throw Failure("not available: this build has no client library (vxclient)");
}

int cmdStoreBlob(Context&, const Args&)
{
    throw Failure("not available: this build has no client library (vxclient)");
}

}  // namespace vxsh
