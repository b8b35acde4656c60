// Gives one test process a network namespace of its own.
#pragma once

#include <gtest/gtest.h>

namespace trv::test {

// Moves this process into a new network namespace with loopback alone
// (127.0.0.1/8 and 127.10.0.1/16 with its broadcast address 127.10.255.255),
// so that tests running at the same time never see each other's emulated
// vests on the discovery ports. Call it right after
// TRV_REQUIRE_PRIVATE_NETWORK(), before any thread starts.
testing::AssertionResult enterFreshLoopbackNetwork();

} // namespace trv::test

#define TRV_ENTER_FRESH_NETWORK() ASSERT_TRUE(::trv::test::enterFreshLoopbackNetwork())
