// A second process for the store tests: records results into a store as a bench would, so
// that two of them write at once, or one is killed in the middle.
//
//   storewriter URL COUNT TAG   records COUNT results (0: until killed) with serial number TAG,
//                               printing each one's id once it is committed, then
//                               "pending N" with what waits in the spool

#include "store.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 2;
    }
    std::string error;
    const auto store = Store::Open(argv[1], &error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const long count = std::atol(argv[2]);
    for (long i = 0; count == 0 || i < count; ++i) {
        StoredResult result;
        result.id =
            static_cast<std::int64_t>(std::strtoll(argv[3], nullptr, 10)) * 1'000'000 + i + 1;
        result.time = std::chrono::system_clock::now();
        result.host = "writer";
        result.port = "/dev/pts/9";
        result.command = "job";
        result.ok = true;
        result.serialNumber = argv[3];
        result.row = static_cast<int>(i + 1);
        result.properties = {{"address", "5", true}, {"baud", "9600", true}, {"sn", argv[3], true}};
        result.reading = {{"active_kwh", "1.00"},
                          {"voltage_l1", "230"},
                          {"current_l1", "5"},
                          {"frequency", "50"},
                          {"power_factor", "0.980"}};
        store->record(result);
        std::printf("%lld\n", static_cast<long long>(result.id));
        std::fflush(stdout);
    }
    std::printf("pending %zu\n", store->pending());
    return 0;
}
