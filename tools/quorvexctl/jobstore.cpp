// The one place the job opens the record store: the default store unless told otherwise.

#include "jobcommand.h"
#include "store.h"

namespace ctl {

std::unique_ptr<Store> OpenJobStore(const Options& options, std::string* error)
{
    return Store::Open(options.storeUrl.empty() ? Store::DefaultPath() : options.storeUrl, error);
}

} // namespace ctl
