// The one place the job opens the record store: the default store unless told otherwise.

#include "jobcommand.h"
#include "store.h"

namespace ctl {

std::unique_ptr<Store> OpenJobStore(const Options&, std::string* error)
{
    return Store::Open(Store::DefaultPath(), error);
}

} // namespace ctl
