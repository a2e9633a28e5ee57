// TEMPORARY: stands in for the record store's library until it is in the tree, so that
// quorvexctl and the job's tests link. Keeps results in memory, for the one run only, and
// says so. Built only while there is no qvx_store target (tools/quorvexctl/CMakeLists.txt).

#include "memorystore.h"

std::unique_ptr<Store> Store::Open(const std::string&, std::string*)
{
    auto store = std::make_unique<MemoryStore>();
    store->setWarning("nothing is kept after this run: this build has no record store");
    return store;
}

std::string Store::DefaultPath()
{
    return {};
}
