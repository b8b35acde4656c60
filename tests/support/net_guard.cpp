#include "support/net_guard.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <set>
#include <string>

namespace trv::test {

testing::AssertionResult onlyLoopbackIsUp() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return testing::AssertionFailure() << "getifaddrs failed";
    std::set<std::string> others;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if ((it->ifa_flags & IFF_UP) != 0 && (it->ifa_flags & IFF_LOOPBACK) == 0)
            others.insert(it->ifa_name);
    }
    freeifaddrs(list);
    if (others.empty()) return testing::AssertionSuccess();
    auto failure = testing::AssertionFailure() << "interfaces up besides loopback:";
    for (const auto& name : others) failure << ' ' << name;
    return failure;
}

} // namespace trv::test
