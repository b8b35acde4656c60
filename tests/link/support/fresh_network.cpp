#include "support/fresh_network.h"

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/network_interfaces.h"

namespace trv::test {

testing::AssertionResult enterFreshLoopbackNetwork() {
    if (!onlyLoopbackInterfacesUp())
        return testing::AssertionFailure() << "not inside a private loopback namespace";
    if (::unshare(CLONE_NEWNET) != 0)
        return testing::AssertionFailure() << "unshare(CLONE_NEWNET): " << std::strerror(errno);
    const int status = std::system(
        "ip link set lo up && ip addr add 127.10.0.1/16 brd + dev lo");
    if (status != 0) return testing::AssertionFailure() << "ip failed with status " << status;
    return testing::AssertionSuccess();
}

} // namespace trv::test
